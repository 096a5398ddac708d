// Parameter write-back: AVAL of every PARM_INT record into the model's tables.
#include "paramdb/writeback.h"

#include "base/fit_error.h"
#include "paramdb/database.h"

#include <QFile>
#include <QSqlQuery>
#include <QSqlRecord>
#include <vector>

namespace {
struct Target {
    QString fname;
    QString pname;
    QString selection;
    QVariant aval;
};
} // namespace

void writeParameterValues(Database& db) {
    // The records are read completely before the first update: a statement still
    // reading PARM_INT would keep it locked.
    std::vector<Target> targets;
    {
        QSqlQuery q = db.query(QStringLiteral("select * from parm_int order by rowid"));
        const QSqlRecord rec = q.record();
        const int f = rec.indexOf(QStringLiteral("FNAME"));
        const int p = rec.indexOf(QStringLiteral("PNAME"));
        const int s = rec.indexOf(QStringLiteral("SELECTION"));
        const int a = rec.indexOf(QStringLiteral("AVAL"));
        if (f < 0 || p < 0 || s < 0 || a < 0)
            throw FitError(QStringLiteral(
                "PARM_INT lacks one of the columns FNAME, PNAME, SELECTION and AVAL."));
        while (q.next())
            targets.push_back(
                {textOf(q.value(f)), textOf(q.value(p)).trimmed(), textOf(q.value(s)), q.value(a)});
    }
    // Set-based, but with the result of visiting every selected row in turn: the
    // records are applied in table order, so a later record wins on a shared cell.
    // A selection that matches no row simply writes nothing.
    int recordNo = 0;
    for (const Target& t : targets) {
        ++recordNo;
        QString sql = QStringLiteral("UPDATE ") + t.fname + QStringLiteral(" SET ") + t.pname +
                      QStringLiteral(" = ?");
        if (!t.selection.trimmed().isEmpty())
            sql += QStringLiteral(" WHERE ") + t.selection;
        try {
            db.exec(sql, {t.aval});
        } catch (const FitError& e) {
            throw FitError(QStringLiteral("Writing parameter %1 (%2 of table %3) failed: %4")
                               .arg(recordNo)
                               .arg(t.pname, t.fname.trimmed(), e.message()));
        }
    }
}

void removeWaitMarker() {
    QFile::remove(QStringLiteral("wait_now.dvk"));
}
