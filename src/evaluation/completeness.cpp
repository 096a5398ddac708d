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

ChosenRows chosenRows(Database& db, const QString& t, const QString& c) {
    const QString where =
        QStringLiteral(" from ") + t + QStringLiteral(" where (\n") + c + QStringLiteral("\n)");
    ChosenRows r;
    try {
        QSqlQuery q = db.query(QStringLiteral("select count(*), total(rowid), min(rowid), "
                                              "max(rowid)") +
                               where);
        if (q.next()) {
            r.count = q.value(0).toLongLong();
            r.rowidTotal = q.value(1).toDouble();
            r.firstRowid = q.value(2).toLongLong();
            r.lastRowid = q.value(3).toLongLong();
        }
        return r;
    } catch (const FitError&) {
        // A table without rowids: its rows are known by their number only.
    }
    r.hasRowids = false;
    QSqlQuery q = db.query(QStringLiteral("select count(*)") + where);
    r.count = q.next() ? q.value(0).toLongLong() : 0;
    return r;
}

RunCompleteness runCompleteness(Database& db, const QString& t, const QString& c,
                                const QString& mod, const ChosenRows& reference,
                                const QString& alsoCompute) {
    // NaN is stored as NULL by SQLite; abs() of an infinity exceeds the largest double.
    const QString bad =
        QStringLiteral("typeof(") + mod + QStringLiteral(") not in ('integer','real') or ") + mod +
        QStringLiteral(" = -99 or abs(") + mod + QStringLiteral(") > 1.7976931348623157e308");
    const bool rowids = !reference.known() || reference.hasRowids;
    qint64 rows = 0, badRows = 0, marks = 0, firstRowid = 0, lastRowid = 0;
    double rowidTotal = 0;
    RunCompleteness r;
    {
        // One scan: the counts, the rowids and the caller's aggregate together.
        QString sql = QStringLiteral("select count(*), count(case when ") + bad +
                      QStringLiteral(" then 1 end), count(case when ") + mod +
                      QStringLiteral(" = -99 then 1 end), ") +
                      (rowids ? QStringLiteral("total(rowid), min(rowid), max(rowid)")
                              : QStringLiteral("0, 0, 0"));
        if (!alsoCompute.isEmpty())
            sql += QStringLiteral(", ") + alsoCompute;
        sql +=
            QStringLiteral(" from ") + t + QStringLiteral(" where (\n") + c + QStringLiteral("\n)");
        QSqlQuery q = db.query(sql);
        if (q.next()) {
            rows = q.value(0).toLongLong();
            badRows = q.value(1).toLongLong();
            marks = q.value(2).toLongLong();
            rowidTotal = q.value(3).toDouble();
            firstRowid = q.value(4).toLongLong();
            lastRowid = q.value(5).toLongLong();
            if (!alsoCompute.isEmpty())
                r.value = numberOf(q.value(6));
        }
    }
    const qint64 chosen = reference.known() ? reference.count : rows;
    const qint64 gone = chosen > rows ? chosen - rows : 0;
    const qint64 added = rows > chosen ? rows - chosen : 0;
    // The same number of rows, but not the same rows: some were deleted and
    // others inserted in their place.
    const bool replaced = gone == 0 && added == 0 && reference.known() && reference.hasRowids &&
                          (rowidTotal != reference.rowidTotal ||
                           firstRowid != reference.firstRowid || lastRowid != reference.lastRowid);
    if (badRows == 0 && gone == 0 && added == 0 && !replaced && chosen > 0)
        return r;
    r.complete = false;
    r.value = 0;
    if (chosen == 0 && rows == 0) {
        r.reason = QStringLiteral("the condition chooses no rows of %1: a criterion over no rows "
                                  "is no result")
                       .arg(t);
        return r;
    }
    r.onlyMarks = gone == 0 && added == 0 && !replaced && marks == badRows;

    QStringList parts;
    if (badRows > 0) {
        // The first few rows by rowid; a table without rowids is described by counts only.
        QStringList examples;
        try {
            QSqlQuery q = db.query(
                QStringLiteral("select rowid, ") + mod + QStringLiteral(", typeof(") + mod +
                QStringLiteral(") from ") + t + QStringLiteral(" where (\n") + c +
                QStringLiteral("\n) and (") + bad + QStringLiteral(") order by rowid limit 6"));
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
    if (added > 0)
        parts << QStringLiteral("%1 more %2 chosen now (added during the run)")
                     .arg(added)
                     .arg(added == 1 ? QStringLiteral("row is") : QStringLiteral("rows are"));
    if (replaced)
        parts << QStringLiteral("some were deleted and other rows put in their place");
    r.reason = QStringLiteral("of the %1 rows of %2 that the condition chose, %3")
                   .arg(chosen)
                   .arg(t, parts.join(QStringLiteral(" and ")));
    return r;
}
