// Backup and restore of the model's parameter tables around an optimisation or
// a sensitivity analysis: each table named in PARM_INT is copied to <name>_bop.
#include "paramdb/backup.h"

#include "base/fit_error.h"
#include "paramdb/database.h"
#include "paramdb/journal.h"
#include "paramdb/run_marker.h"

#include <QSqlQuery>

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

// Drops `target` (a missing table is no error) and copies `source` into it, in
// one transaction: a failing copy leaves `target` as it was. The indexes and
// triggers of `target` are made again on the copy: a restored model table keeps
// its unique keys, its lookup speed and its triggers. (Backup tables have none.)
void replaceByCopy(Database& db, const QString& target, const QString& source) {
    db.inTransaction([&] {
        QStringList attached;
        {
            QSqlQuery q = db.query(QStringLiteral("select sql from sqlite_master where tbl_name = "
                                                  "? collate nocase and type in "
                                                  "('index','trigger') and sql is not null"),
                                   {target});
            while (q.next())
                attached << q.value(0).toString();
        }
        try {
            db.exec(QStringLiteral(" drop table ") + target);
        } catch (const FitError&) {
            // Usually: the table does not exist yet.
        }
        db.copyTable(target, source);
        for (const QString& sql : attached)
            db.exec(sql);
    });
}

QString joinedNames(const QStringList& names) {
    return names.join(QStringLiteral(", "));
}

} // namespace

void backupClosed(RunMarker& runMarker) {
    runMarker.remove();
}

void backup(Database& db, RunMarker& runMarker, const LogLine& log) {
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
                               "tables are restored from their backups first."),
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
            keepMarker = false;
        }
        if (found != RunMarker::Found::Ours)
            runMarker.setBackingUp();
        for (const QString& n : names) {
            replaceByCopy(db, n + QStringLiteral("_bop"), n);
            log(n + QStringLiteral(" copied into ") + n + QStringLiteral("_bop"), false);
        }
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
        } catch (const FitError& e) {
            failures << QStringLiteral("%1 was not restored: %2").arg(n, e.message());
            continue;
        }
        restored << n;
        log(n + QStringLiteral(" restored from ") + n + QStringLiteral("_bop"), false);
    }
}

void restore(Database& db, RunMarker& runMarker, const LogLine& log) {
    QStringList restored, failures;
    restoreTables(db, restored, failures, log);
    if (!failures.isEmpty())
        throw FitError(
            failures.join(QLatin1Char('\n')) + QLatin1Char('\n') +
            (restored.isEmpty()
                 ? QStringLiteral("No model table was restored.")
                 : QStringLiteral("Restored from their backups: %1.").arg(joinedNames(restored))));
    backupClosed(runMarker);
}

void restoreAfterFailure(Database& db, RunMarker& runMarker, const LogLine& log,
                         const QString& why) {
    log(why, true);
    try {
        restore(db, runMarker, log);
    } catch (const FitError& r) {
        log(QStringLiteral("The restore failed as well: ") + r.message(), true);
    }
}
