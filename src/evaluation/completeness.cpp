#include "evaluation/completeness.h"

#include "base/fit_error.h"
#include "paramdb/database.h"

#include <QSqlQuery>
#include <cmath>

namespace {

// What a simulated value that is no result holds, in words.
QString described(const QVariant& v, const QString& type) {
    if (type == QLatin1String("null"))
        return QStringLiteral("NULL");
    if (type == QLatin1String("text"))
        return QStringLiteral("the text '%1'").arg(v.toString().left(40));
    if (type == QLatin1String("blob"))
        return QStringLiteral("a blob");
    const double d = v.toDouble();
    if (d == -99)
        return QStringLiteral("-99");
    if (std::isinf(d))
        return d > 0 ? QStringLiteral("Infinity") : QStringLiteral("-Infinity");
    return v.toString();
}

} // namespace

RunCompleteness runCompleteness(Database& db, const QString& t, const QString& c,
                                const QString& mod, qint64 chosenBefore) {
    // NaN is stored as NULL by SQLite; abs() of an infinity exceeds the largest double.
    const QString bad =
        QStringLiteral("typeof(") + mod + QStringLiteral(") not in ('integer','real') or ") + mod +
        QStringLiteral(" = -99 or abs(") + mod + QStringLiteral(") > 1.7976931348623157e308");
    qint64 rows = 0, badRows = 0, marks = 0;
    {
        QSqlQuery q = db.query(QStringLiteral("select count(*), count(case when ") + bad +
                               QStringLiteral(" then 1 end), count(case when ") + mod +
                               QStringLiteral(" = -99 then 1 end) from ") + t +
                               QStringLiteral(" where (") + c + QStringLiteral(")"));
        if (q.next()) {
            rows = q.value(0).toLongLong();
            badRows = q.value(1).toLongLong();
            marks = q.value(2).toLongLong();
        }
    }
    const qint64 gone = chosenBefore > rows ? chosenBefore - rows : 0;
    RunCompleteness r;
    if (badRows == 0 && gone == 0)
        return r;
    r.complete = false;
    r.onlyMarks = gone == 0 && marks == badRows;

    QStringList parts;
    if (badRows > 0) {
        // The first few rows by rowid; a table without rowids is described by counts only.
        QStringList examples;
        try {
            QSqlQuery q = db.query(QStringLiteral("select rowid, ") + mod +
                                   QStringLiteral(", typeof(") + mod + QStringLiteral(") from ") +
                                   t + QStringLiteral(" where (") + c + QStringLiteral(") and (") +
                                   bad + QStringLiteral(") order by rowid limit 6"));
            while (q.next())
                examples << QStringLiteral("rowid %1: %2")
                                .arg(q.value(0).toString(),
                                     described(q.value(1), q.value(2).toString()));
        } catch (const FitError&) {
        }
        QString text =
            QStringLiteral("%1 %2 no simulated value in %3")
                .arg(badRows)
                .arg(badRows == 1 ? QStringLiteral("holds") : QStringLiteral("hold"), mod);
        if (marks == badRows)
            text = QStringLiteral("%1 %2 still at -99 in %3")
                       .arg(badRows)
                       .arg(badRows == 1 ? QStringLiteral("is") : QStringLiteral("are"), mod);
        if (!examples.isEmpty()) {
            if (badRows > examples.size() && examples.size() == 6)
                examples.last() = QStringLiteral("...");
            text +=
                QStringLiteral(" (") + examples.join(QStringLiteral("; ")) + QStringLiteral(")");
        }
        parts << text;
    }
    if (gone > 0)
        parts << QStringLiteral("%1 %2 gone (deleted during the run)")
                     .arg(gone)
                     .arg(gone == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    r.reason = QStringLiteral("of the %1 rows of %2 that the condition chose, %3")
                   .arg(chosenBefore >= 0 ? chosenBefore : rows)
                   .arg(t, parts.join(QStringLiteral(" and ")));
    return r;
}
