// Backup and restore of the model's parameter tables around an optimisation or
// a sensitivity analysis: each table named in PARM_INT is copied to <name>_bop.
#include "app/fit_error.h"
#include "app/session.h"

#include <QSqlQuery>

namespace {

// The model tables named in PARM_INT, blanks removed, each once, in the order
// the engine returns them.
QStringList modelTables(Database& db) {
    QStringList names;
    QSqlQuery q = db.query(QStringLiteral("select distinct fname from parm_int"));
    while (q.next()) {
        const QString n = textOf(q.value(0)).trimmed();
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
    db.transaction();
    try {
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
        db.commit();
    } catch (...) {
        db.rollback();
        throw;
    }
}

} // namespace

void Session::backup() {
    const QStringList names = modelTables(db);
    if (names.isEmpty())
        throw FitError(
            QStringLiteral("PARM_INT holds no parameters: there are no model tables to back up."));
    for (const QString& n : names) {
        if (n.isEmpty())
            throw FitError(QStringLiteral("A record of PARM_INT names no model table (FNAME)."));
        replaceByCopy(db, n + QStringLiteral("_bop"), n);
        lb.append(n + QStringLiteral(" copied into ") + n + QStringLiteral("_bop"));
    }
}

void Session::restore() {
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
        lb.append(n + QStringLiteral(" restored from ") + n + QStringLiteral("_bop"));
    }
    if (!failures.isEmpty())
        throw FitError(failures.join(QLatin1Char('\n')));
}
