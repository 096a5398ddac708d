// Backup and restore of the model's parameter tables around an optimisation or
// a sensitivity analysis: each table named in PARM_INT is copied to <name>_bop.
#include "paramdb/backup.h"

#include "base/fit_error.h"
#include "paramdb/database.h"
#include "paramdb/journal.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <cerrno>
#include <signal.h>

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
        db.exec(QStringLiteral("select * into ") + target + QStringLiteral(" from ") + source);
        for (const QString& sql : attached)
            db.exec(sql);
    });
}

// Beside the database while its model tables may hold trial values: from the
// backup until they are restored or a result is accepted. Finding it at the next
// backup means the program was ended in between (killed, a crash, power loss).
// It holds the process id of the program that wrote it.
QString runMarkerPath(const Database& db) {
    return db.path() + QStringLiteral(".fitmara-run");
}

qint64 markerOwner(const QString& marker) {
    QFile f(marker);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const qint64 pid = f.readLine().trimmed().toLongLong(&ok);
    return ok ? pid : -1; // a marker without an owner counts as left behind
}

bool processAlive(qint64 pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

} // namespace

void backupClosed(Database& db) {
    QFile::remove(runMarkerPath(db));
}

void backup(Database& db, const LogLine& log) {
    const QStringList names = modelTables(db);
    if (names.isEmpty())
        throw FitError(
            QStringLiteral("PARM_INT holds no parameters: there are no model tables to back up."));
    const QString marker = runMarkerPath(db);
    const qint64 owner = markerOwner(marker);
    if (owner != 0 && owner != QCoreApplication::applicationPid()) {
        if (processAlive(owner))
            throw FitError(QStringLiteral("Another running program (process %1) has backed up the "
                                          "model tables of this database and not yet restored "
                                          "them. Wait until it has finished; if it is no longer "
                                          "running, delete the file \"%2\".")
                               .arg(owner)
                               .arg(marker));
        // The last run never finished (the program was killed or crashed): the
        // model's tables may still hold its trial values, and its backups are the
        // only copy of the state before it. Put that back before the new backup
        // would overwrite it.
        log(QStringLiteral("The last run on this database did not finish: the model's "
                           "tables are restored from their backups first."),
            true);
        try {
            restore(db, log);
        } catch (const FitError& e) {
            throw FitError(
                QStringLiteral("The last run on this database did not finish, and its backups "
                               "could not be restored: %1\nNothing was overwritten. Check the "
                               "model's tables and their _bop copies; when the tables are as "
                               "they should be, delete the file \"%2\" and start again.")
                    .arg(e.message(), marker));
        }
    }
    {
        QFile f(marker);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw FitError(
                QStringLiteral("Cannot write the file '%1': %2").arg(marker, f.errorString()));
        f.write(QByteArray::number(QCoreApplication::applicationPid()) +
                "\nThis program has backed up the model tables of this database and not yet "
                "restored them.\n");
    }
    for (const QString& n : names) {
        if (n.isEmpty())
            throw FitError(QStringLiteral("A record of PARM_INT names no model table (FNAME)."));
        replaceByCopy(db, n + QStringLiteral("_bop"), n);
        log(n + QStringLiteral(" copied into ") + n + QStringLiteral("_bop"), false);
    }
}

void restore(Database& db, const LogLine& log) {
    // Every table is restored on its own: one that cannot be (its backup is
    // gone) stays as it is and must not keep the others at trial values.
    QStringList failures;
    for (const QString& n : modelTables(db)) {
        if (n.isEmpty())
            continue; // nothing was backed up for it
        try {
            replaceByCopy(db, n, n + QStringLiteral("_bop"));
        } catch (const FitError& e) {
            failures << e.message();
            continue;
        }
        log(n + QStringLiteral(" restored from ") + n + QStringLiteral("_bop"), false);
    }
    if (!failures.isEmpty())
        throw FitError(failures.join(QLatin1Char('\n')));
    backupClosed(db);
}

void restoreAfterFailure(Database& db, const LogLine& log, const QString& why) {
    log(why, true);
    try {
        restore(db, log);
    } catch (const FitError& r) {
        log(QStringLiteral("The restore failed as well: ") + r.message(), true);
    }
}
