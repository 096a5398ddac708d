// Backup and restore of the model's parameter tables around an optimisation or
// a sensitivity analysis: each table named in PARM_INT is copied to <name>_bop.
#include "paramdb/backup.h"

#include "base/fit_error.h"
#include "paramdb/database.h"
#include "paramdb/journal.h"
#include "paramdb/run_marker.h"
#include "paramdb/stored_results.h"

#include <QSqlQuery>
#include <exception>
#include <vector>

namespace {

// The model tables named in PARM_INT, blanks removed, each once, in the order
// the engine returns them.
QStringList modelTables(Database& db) {
    QStringList names;
    QSqlQuery q = db.query(QStringLiteral("select distinct fname from parm_int"));
    while (q.next()) {
        const QString n = textOf(q.value(0)).trimmed();
        // The run journal is ours, not the model's: writing trial values into it,
        // or restoring it from a backup, would falsify the history it keeps.
        if (journal::isJournalTable(n))
            throw FitError(QStringLiteral("PARM_INT names the table %1 as a model table (FNAME), "
                                          "but it is this program's run journal. Correct FNAME.")
                               .arg(n));
        // Names that differ only by padding or letter case are the same table.
        if (!names.contains(n, Qt::CaseInsensitive))
            names << n;
    }
    return names;
}

// Drops `target` (when it exists) and copies `source` into it. The indexes and
// triggers of `target` are made again on the copy: a restored model table keeps
// its unique keys, its lookup speed and its triggers. (Backup tables have none.)
// Only a missing table is passed over: any other failure of the drop (a lock
// held by another program) is the error, not the "already exists" of the copy.
void copyOver(Database& db, const QString& target, const QString& source) {
    QStringList attached;
    {
        QSqlQuery q = db.query(QStringLiteral("select sql from sqlite_master where tbl_name = "
                                              "? collate nocase and type in "
                                              "('index','trigger') and sql is not null"),
                               {target});
        while (q.next())
            attached << q.value(0).toString();
    }
    if (db.hasTable(target))
        db.exec(QStringLiteral(" drop table ") + target);
    db.copyTable(target, source);
    for (const QString& sql : attached)
        db.exec(sql);
}

// copyOver in one transaction: a failing copy leaves `target` as it was.
void replaceByCopy(Database& db, const QString& target, const QString& source) {
    db.inTransaction([&] { copyOver(db, target, source); });
}

const QString kValues = QString::fromLatin1(kBackupValuesTable);
const QString kStored = QStringLiteral("stored");
const QString kSimulated = QStringLiteral("simulated");

// Replaces what the table of kept values holds by PARM_INT's stored results
// and the simulated column as they are now. Inside the backup's transaction.
void keepValues(Database& db, const SimulatedColumn& simulated) {
    db.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (WHAT TEXT NOT NULL, TABLE_NAME TEXT "
                           "NOT NULL, COLUMN_NAME TEXT NOT NULL, ROW_ID INTEGER NOT NULL, VALUE)")
                .arg(kValues));
    db.exec(QStringLiteral("DELETE FROM %1").arg(kValues));
    const QString insert = QStringLiteral("INSERT INTO %1 (WHAT, TABLE_NAME, COLUMN_NAME, ROW_ID, "
                                          "VALUE) VALUES (?, ?, ?, ?, ?)")
                               .arg(kValues);
    const StoredResults stored = readStoredResults(db);
    for (const StoredResults::Row& row : stored.rows)
        for (int i = 0; i < stored.columns.size(); ++i)
            db.exec(insert, {kStored, QStringLiteral("PARM_INT"), stored.columns[i], row.rowid,
                             row.values.value(i)});
    if (simulated.table.isEmpty() || simulated.column.isEmpty() ||
        !db.columns(simulated.table).contains(simulated.column, Qt::CaseInsensitive))
        return;
    // Rows are told by rowid, which only a table has (a view has none).
    QSqlQuery kind = db.query(QStringLiteral("select type from sqlite_master where name = ? "
                                             "collate nocase"),
                              {simulated.table});
    if (!kind.next() || kind.value(0).toString() != QLatin1String("table"))
        return;
    kind.finish();
    // The result table's own names, as the marks of the runs use them.
    db.exec(QStringLiteral("INSERT INTO %1 (WHAT, TABLE_NAME, COLUMN_NAME, ROW_ID, VALUE) SELECT "
                           "?, ?, ?, rowid, %2 FROM %3")
                .arg(kValues, simulated.column, simulated.table),
            {kSimulated, simulated.table, simulated.column});
}

// Names the columns of one kind of kept values, each with its table.
struct KeptColumn {
    QString table, column;
};
std::vector<KeptColumn> keptColumns(Database& db, const QString& what) {
    std::vector<KeptColumn> out;
    QSqlQuery q =
        db.query(QStringLiteral("SELECT DISTINCT TABLE_NAME, COLUMN_NAME FROM %1 WHERE WHAT = ?")
                     .arg(kValues),
                 {what});
    while (q.next())
        out.push_back({q.value(0).toString(), q.value(1).toString()});
    return out;
}

QString quotedName(const QString& name) {
    QString n = name;
    n.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + n + QLatin1Char('"');
}

QString joinedNames(const QStringList& names) {
    return names.join(QStringLiteral(", "));
}

} // namespace

void backupClosed(RunMarker& runMarker) {
    runMarker.remove();
}

void backup(Database& db, RunMarker& runMarker, const LogLine& log,
            const SimulatedColumn& simulated) {
    const QStringList names = modelTables(db);
    if (names.isEmpty())
        throw FitError(
            QStringLiteral("PARM_INT holds no parameters: there are no model tables to back up."));
    if (names.contains(QString()))
        throw FitError(QStringLiteral("A record of PARM_INT names no model table (FNAME)."));

    // Taken before anything is copied: a second program on this database is
    // refused here, before it changes anything.
    const RunMarker::Found found = runMarker.acquire(db.path());
    const QString marker = runMarker.path();
    // The marker stands for a backup only once the backup exists: whatever fails
    // before that takes a marker of our own away again.
    bool keepMarker = found == RunMarker::Found::Ours;
    try {
        if (found == RunMarker::Found::AfterBackup) {
            // The last run never finished (the program was killed or crashed): the
            // model's tables may still hold its trial values, and its backups are
            // the only copy of the state before it. Put that back before the new
            // backup would overwrite it.
            keepMarker = true;
            log(QStringLiteral("The last run on this database did not finish: the model's "
                               "tables, the stored results of PARM_INT (AVAL, ERROR, r_k) and "
                               "the simulated column are restored from their backups first."),
                true);
            QStringList restored, failures;
            restoreTables(db, restored, failures, log);
            if (!failures.isEmpty())
                throw FitError(
                    QStringLiteral("The last run on this database did not finish, and not all of "
                                   "its backups could be restored.\n%1\n%2The backups were not "
                                   "overwritten. Check the model's tables and their _bop copies; "
                                   "when the tables are as they should be, delete the file "
                                   "\"%3\" and start again.")
                        .arg(failures.join(QLatin1Char('\n')),
                             restored.isEmpty() ? QStringLiteral("No model table was replaced. ")
                                                : QStringLiteral("Replaced by their backups: %1. ")
                                                      .arg(joinedNames(restored)),
                             marker));
            restoreKeptValues(db, log);
            keepMarker = false;
        }
        if (found != RunMarker::Found::Ours)
            runMarker.setBackingUp();
        // One transaction for every copy and the kept values: the backup is
        // whole or not there, whenever the program is ended.
        db.inTransaction([&] {
            for (const QString& n : names)
                copyOver(db, n + QStringLiteral("_bop"), n);
            keepValues(db, simulated);
        });
        for (const QString& n : names)
            log(n + QStringLiteral(" copied into ") + n + QStringLiteral("_bop"), false);
        runMarker.setBackedUp();
    } catch (...) {
        if (keepMarker)
            runMarker.release();
        else
            runMarker.remove();
        throw;
    }
}

void restoreTables(Database& db, QStringList& restored, QStringList& failures, const LogLine& log) {
    // Every table is restored on its own: one that cannot be (its backup is
    // gone) stays as it is and must not keep the others at trial values.
    for (const QString& n : modelTables(db)) {
        if (n.isEmpty())
            continue; // nothing was backed up for it
        try {
            replaceByCopy(db, n, n + QStringLiteral("_bop"));
        } catch (const DatabaseLocked& e) {
            // The others would wait for the same lock: said once, for all of them.
            failures << QStringLiteral("%1 was not restored: %2").arg(n, e.message());
            break;
        } catch (const FitError& e) {
            failures << QStringLiteral("%1 was not restored: %2").arg(n, e.message());
            continue;
        }
        restored << n;
        log(n + QStringLiteral(" restored from ") + n + QStringLiteral("_bop"), false);
    }
}

namespace {
// restoreTables, with a FitError naming the tables that failed and those restored.
void restoreEveryTable(Database& db, const LogLine& log) {
    QStringList restored, failures;
    restoreTables(db, restored, failures, log);
    if (!failures.isEmpty())
        throw FitError(
            failures.join(QLatin1Char('\n')) + QLatin1Char('\n') +
            (restored.isEmpty()
                 ? QStringLiteral("No model table was restored.")
                 : QStringLiteral("Restored from their backups: %1.").arg(joinedNames(restored))));
}
} // namespace

void restore(Database& db, RunMarker& runMarker, const LogLine& log) {
    restoreEveryTable(db, log);
    backupClosed(runMarker);
}

void restoreKeptValues(Database& db, const LogLine& log) {
    if (!db.hasTable(kValues))
        return;
    bool storedBack = false;
    QStringList simulatedBack;
    db.inTransaction([&] {
        // Stored results: cell by cell, in the records and columns PARM_INT still has.
        const QStringList parmIntColumns = db.columns(QStringLiteral("parm_int"));
        QSqlQuery q = db.query(QStringLiteral("SELECT COLUMN_NAME, ROW_ID, VALUE FROM %1 WHERE "
                                              "WHAT = ? ORDER BY ROW_ID")
                                   .arg(kValues),
                               {kStored});
        while (q.next()) {
            const QString column = q.value(0).toString();
            if (!parmIntColumns.contains(column, Qt::CaseInsensitive))
                continue;
            db.exec(QStringLiteral("update parm_int set %1 = ? where rowid = ?")
                        .arg(quotedName(column)),
                    {q.value(2), q.value(1)});
            storedBack = true;
        }
        // The simulated column: the rows that are still there get their value back.
        for (const KeptColumn& c : keptColumns(db, kSimulated)) {
            if (!db.columns(c.table).contains(c.column, Qt::CaseInsensitive))
                continue;
            db.exec(QStringLiteral("update %1 set %2 = (select VALUE from %3 where WHAT = ? and "
                                   "TABLE_NAME = ? and COLUMN_NAME = ? and ROW_ID = %1.rowid) "
                                   "where rowid in (select ROW_ID from %3 where WHAT = ? and "
                                   "TABLE_NAME = ? and COLUMN_NAME = ?)")
                        .arg(c.table, c.column, kValues),
                    {kSimulated, c.table, c.column, kSimulated, c.table, c.column});
            simulatedBack << c.table + QLatin1Char('.') + c.column;
        }
    });
    if (storedBack)
        log(QStringLiteral("AVAL, ERROR and the correlations of PARM_INT are as they were before "
                           "the run."),
            false);
    for (const QString& c : simulatedBack)
        log(QStringLiteral("The simulated values of %1 are as they were before the run.").arg(c),
            false);
}

void restoreAll(Database& db, RunMarker& runMarker, const LogLine& log) {
    restoreEveryTable(db, log);
    restoreKeptValues(db, log);
    backupClosed(runMarker);
}

namespace {
// True inside the handler of a DatabaseLocked.
bool handlingLockError() {
    const std::exception_ptr current = std::current_exception();
    if (!current)
        return false;
    try {
        std::rethrow_exception(current);
    } catch (const DatabaseLocked&) {
        return true;
    } catch (...) {
        return false;
    }
}
} // namespace

void restoreAfterFailure(Database& db, RunMarker& runMarker, const LogLine& log,
                         const QString& why) {
    log(why, true);
    if (handlingLockError()) {
        // Every restore statement would wait for the same lock and fail again.
        // The marker stays on disk: the next run on the database restores.
        runMarker.release();
        log(QStringLiteral("The database is locked by another program, so nothing could be "
                           "restored now; the next run on this database restores the model's "
                           "tables and PARM_INT first."),
            true);
        return;
    }
    try {
        if (!db.isOpen() && !db.path().isEmpty())
            db.open(db.path());
        restoreAll(db, runMarker, log);
    } catch (const FitError& r) {
        log(QStringLiteral("The restore failed as well: ") + r.message(), true);
    }
}
