#include "evaluation/completeness.h"

#include "base/fit_error.h"
#include "paramdb/database.h"

#include <QSqlDriver>
#include <QSqlQuery>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sqlite3.h>

namespace {

// The tally of the chosen rows, taken by one aggregate function in the same
// scan as the criterion: a few compares per row in C instead of half a dozen
// SQL expressions and aggregates, which cost the scan three times its time at a
// million rows. The rowids are summed modulo 2^64, exactly, however large.
struct RowTally {
    std::int64_t rows = 0, badRows = 0, marks = 0;
    std::uint64_t rowidSum = 0;
    std::int64_t firstRowid = 0, lastRowid = 0;
};

constexpr const char* kTallyFunction = "fitmara_row_tally";

void tallyStep(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    auto* t = static_cast<RowTally*>(sqlite3_aggregate_context(ctx, sizeof(RowTally)));
    if (!t)
        return sqlite3_result_error_nomem(ctx);
    // The simulated value: a result is a finite number other than -99; NULL
    // (NaN is stored as NULL), text and blobs are none.
    const int type = sqlite3_value_type(argv[0]);
    if (type == SQLITE_INTEGER) {
        if (sqlite3_value_int64(argv[0]) == -99) {
            ++t->marks;
            ++t->badRows;
        }
    } else if (type == SQLITE_FLOAT) {
        const double d = sqlite3_value_double(argv[0]);
        if (d == -99) {
            ++t->marks;
            ++t->badRows;
        } else if (std::isinf(d)) {
            ++t->badRows;
        }
    } else {
        ++t->badRows;
    }
    if (argc > 1) {
        const std::int64_t rowid = sqlite3_value_int64(argv[1]);
        if (t->rows == 0 || rowid < t->firstRowid)
            t->firstRowid = rowid;
        if (t->rows == 0 || rowid > t->lastRowid)
            t->lastRowid = rowid;
        t->rowidSum += static_cast<std::uint64_t>(rowid);
    }
    ++t->rows;
}

void tallyFinal(sqlite3_context* ctx) {
    RowTally none;
    auto* t = static_cast<RowTally*>(sqlite3_aggregate_context(ctx, 0));
    sqlite3_result_blob(ctx, t ? t : &none, sizeof(RowTally), SQLITE_TRANSIENT);
}

// Makes the tally known to the connection as it is open now (it is opened
// again after every model run).
void registerTally(Database& db) {
    sqlite3* h = sqliteHandle(db);
    for (int args : {1, 2})
        sqlite3_create_function_v2(h, kTallyFunction, args, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                   nullptr, nullptr, tallyStep, tallyFinal, nullptr);
}

RowTally tallyOf(const QVariant& v) {
    RowTally t;
    const QByteArray bytes = v.toByteArray();
    if (bytes.size() == sizeof(RowTally))
        std::memcpy(&t, bytes.constData(), sizeof(RowTally));
    return t;
}

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

sqlite3* sqliteHandle(Database& db) {
    const QVariant v = db.handle().driver()->handle();
    sqlite3* h = v.isValid() && qstrcmp(v.typeName(), "sqlite3*") == 0
                     ? *static_cast<sqlite3* const*>(v.constData())
                     : nullptr;
    if (!h)
        throw FitError(QStringLiteral("The database connection gives no SQLite handle."));
    return h;
}

ChosenRows chosenRows(Database& db, const QString& t, const QString& c) {
    registerTally(db);
    const QString where =
        QStringLiteral(" from ") + t + QStringLiteral(" where (\n") + c + QStringLiteral("\n)");
    ChosenRows r;
    try {
        QSqlQuery q = db.query(QStringLiteral("select ") + QLatin1String(kTallyFunction) +
                               QStringLiteral("(0, rowid)") + where);
        if (q.next()) {
            const RowTally tally = tallyOf(q.value(0));
            r.count = tally.rows;
            r.rowidSum = tally.rowidSum;
            r.firstRowid = tally.firstRowid;
            r.lastRowid = tally.lastRowid;
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

namespace {

// One scan of the chosen rows: the tally of the simulated column and, when
// `alsoCompute` is given, the caller's aggregate into `value`.
RowTally scanChosenRows(Database& db, const QString& t, const QString& c, const QString& mod,
                        bool rowids, const QString& alsoCompute, double& value) {
    RowTally tally;
    registerTally(db);
    QString sql = QStringLiteral("select ") + QLatin1String(kTallyFunction) + QStringLiteral("(") +
                  mod + (rowids ? QStringLiteral(", rowid)") : QStringLiteral(")"));
    if (!alsoCompute.isEmpty())
        sql += QStringLiteral(", ") + alsoCompute;
    sql += QStringLiteral(" from ") + t + QStringLiteral(" where (\n") + c + QStringLiteral("\n)");
    QSqlQuery q = db.query(sql);
    if (q.next()) {
        tally = tallyOf(q.value(0));
        if (!alsoCompute.isEmpty())
            value = numberOf(q.value(1));
    }
    return tally;
}

// How the chosen rows differ from those of the reference.
struct RowChanges {
    qint64 chosen = 0; // the rows chosen at the start (or now, without a reference)
    qint64 gone = 0;
    qint64 added = 0;
    // The same number of rows, but not the same rows: some were deleted and
    // others inserted in their place.
    bool replaced = false;

    bool any() const { return gone != 0 || added != 0 || replaced; }
};

RowChanges rowChanges(const RowTally& tally, const ChosenRows& reference) {
    RowChanges d;
    const qint64 rows = tally.rows;
    d.chosen = reference.known() ? reference.count : rows;
    d.gone = d.chosen > rows ? d.chosen - rows : 0;
    d.added = rows > d.chosen ? rows - d.chosen : 0;
    d.replaced =
        d.gone == 0 && d.added == 0 && reference.known() && reference.hasRowids &&
        (tally.rowidSum != reference.rowidSum || tally.firstRowid != reference.firstRowid ||
         tally.lastRowid != reference.lastRowid);
    return d;
}

// The rows that hold no result, counted, with the first few by rowid as
// examples; a table without rowids is described by counts only.
QString badRowsText(Database& db, const QString& t, const QString& c, const QString& mod,
                    qint64 badRows, qint64 marks) {
    // What the rows that hold no result are, for the examples. NaN is stored
    // as NULL by SQLite; abs() of an infinity exceeds the largest double.
    const QString bad =
        QStringLiteral("typeof(") + mod + QStringLiteral(") not in ('integer','real') or ") + mod +
        QStringLiteral(" = -99 or abs(") + mod + QStringLiteral(") > 1.7976931348623157e308");
    QStringList examples;
    try {
        QSqlQuery q = db.query(QStringLiteral("select rowid, ") + mod +
                               QStringLiteral(", typeof(") + mod + QStringLiteral(") from ") + t +
                               QStringLiteral(" where (\n") + c + QStringLiteral("\n) and (") +
                               bad + QStringLiteral(") order by rowid limit 6"));
        while (q.next())
            examples << QStringLiteral("rowid %1: %2")
                            .arg(q.value(0).toString(),
                                 described(q.value(1), q.value(2).toString()));
    } catch (const FitError&) {
    }
    QString text = QStringLiteral("%1 %2 no simulated value in %3")
                       .arg(badRows)
                       .arg(badRows == 1 ? QStringLiteral("holds") : QStringLiteral("hold"), mod);
    if (marks == badRows)
        text = QStringLiteral("%1 %2 still at -99 in %3")
                   .arg(badRows)
                   .arg(badRows == 1 ? QStringLiteral("is") : QStringLiteral("are"), mod);
    if (!examples.isEmpty()) {
        if (badRows > examples.size() && examples.size() == 6)
            examples.last() = QStringLiteral("...");
        text += QStringLiteral(" (") + examples.join(QStringLiteral("; ")) + QStringLiteral(")");
    }
    return text;
}

// Why a run whose rows are not all results is incomplete: the rows that hold
// none, and the rows gone, added or replaced.
QString incompleteReason(Database& db, const QString& t, const QString& c, const QString& mod,
                         const RowTally& tally, const RowChanges& d) {
    QStringList parts;
    if (tally.badRows > 0)
        parts << badRowsText(db, t, c, mod, tally.badRows, tally.marks);
    if (d.gone > 0)
        parts << QStringLiteral("%1 %2 gone (deleted during the run)")
                     .arg(d.gone)
                     .arg(d.gone == 1 ? QStringLiteral("is") : QStringLiteral("are"));
    if (d.added > 0)
        parts << QStringLiteral("%1 more %2 chosen now (added during the run)")
                     .arg(d.added)
                     .arg(d.added == 1 ? QStringLiteral("row is") : QStringLiteral("rows are"));
    if (d.replaced)
        parts << QStringLiteral("some were deleted and other rows put in their place");
    return QStringLiteral("of the %1 rows of %2 that the condition chose, %3")
        .arg(d.chosen)
        .arg(t, parts.join(QStringLiteral(" and ")));
}

} // namespace

RunCompleteness runCompleteness(Database& db, const QString& t, const QString& c,
                                const QString& mod, const ChosenRows& reference,
                                const QString& alsoCompute) {
    RunCompleteness r;
    const bool rowids = !reference.known() || reference.hasRowids;
    // One scan: the tally of the rows and the caller's aggregate together.
    const RowTally tally = scanChosenRows(db, t, c, mod, rowids, alsoCompute, r.value);
    const RowChanges changes = rowChanges(tally, reference);
    if (tally.badRows == 0 && !changes.any() && changes.chosen > 0)
        return r;
    r.complete = false;
    r.value = 0;
    if (changes.chosen == 0 && tally.rows == 0) {
        r.reason = QStringLiteral("the condition chooses no rows of %1: a criterion over no rows "
                                  "is no result")
                       .arg(t);
        return r;
    }
    r.onlyMarks = !changes.any() && tally.marks == tally.badRows;
    r.reason = incompleteReason(db, t, c, mod, tally, changes);
    return r;
}
