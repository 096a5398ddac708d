#include "paramdb/parm_int_check.h"

#include "base/fit_error.h"
#include "paramdb/database.h"

#include <QHash>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cmath>
#include <vector>

namespace {

// Empty when v is a number (finite unless infinity is allowed), else why not.
QString numberProblem(const QVariant& v, bool allowInfinite) {
    if (v.isNull() || !v.isValid())
        return QStringLiteral("is empty");
    bool ok = false;
    const double d = v.toDouble(&ok);
    if (!ok)
        return QStringLiteral("'%1' is not a number").arg(v.toString());
    if (std::isnan(d) || (!allowInfinite && std::isinf(d)))
        return QStringLiteral("is %1, not a finite number").arg(v.toString());
    return QString();
}

struct Record {
    QString alias;
    QHash<QString, QVariant> v;
};

// The fields an operation with these needs reads of every record.
QStringList neededFields(unsigned needs) {
    QStringList fields = {QStringLiteral("FNAME"), QStringLiteral("PNAME"),
                          QStringLiteral("SELECTION"), QStringLiteral("MINIMUM"),
                          QStringLiteral("MAXIMUM")};
    if (needs & NeedsIval)
        fields << QStringLiteral("IVAL");
    if (needs & NeedsStep)
        fields << QStringLiteral("STEP");
    if (needs & NeedsAval)
        fields << QStringLiteral("AVAL");
    if (needs & NeedsUniqueAlias)
        fields << QStringLiteral("ALIAS");
    return fields;
}

// The records in rowid order with those fields; a problem naming the columns
// PARM_INT lacks instead, when it lacks any.
std::vector<Record> readRecords(Database& db, const QStringList& fields, QStringList& problems) {
    QSqlQuery q = db.query(QStringLiteral("select * from parm_int order by rowid"));
    const QSqlRecord rec = q.record();
    QStringList missing;
    for (const QString& f : fields)
        if (rec.indexOf(f) < 0)
            missing << f;
    if (!missing.isEmpty()) {
        problems
            << QStringLiteral("PARM_INT has no column %1.").arg(missing.join(QStringLiteral(", ")));
        return {};
    }
    const int aliasCol = rec.indexOf(QStringLiteral("ALIAS"));
    std::vector<Record> records;
    while (q.next()) {
        Record r;
        r.alias = aliasCol >= 0 ? textOf(q.value(aliasCol)).trimmed() : QString();
        for (const QString& f : fields)
            r.v.insert(f, q.value(rec.indexOf(f)));
        records.push_back(r);
    }
    return records;
}

// Where the record's value goes: FNAME a table, PNAME a column of it,
// SELECTION a condition on it (one that matches no row today is a warning).
void targetProblems(Database& db, const Record& r, const QString& who,
                    QHash<QString, QStringList>& columnsOf, QStringList& problems,
                    QStringList* warnings) {
    auto problem = [&](const QString& what) { problems << who + QStringLiteral(": ") + what; };
    const QString fname = textOf(r.v[QStringLiteral("FNAME")]).trimmed();
    const QString pname = textOf(r.v[QStringLiteral("PNAME")]).trimmed();
    const QString selection = textOf(r.v[QStringLiteral("SELECTION")]);
    if (fname.isEmpty()) {
        problem(QStringLiteral("FNAME is empty: it names no model table."));
        return;
    }
    if (!db.hasTable(fname)) {
        problem(QStringLiteral("FNAME '%1' names no table of the database.").arg(fname));
        return;
    }
    const QString key = fname.toLower();
    if (!columnsOf.contains(key))
        columnsOf.insert(key, db.columns(fname));
    if (pname.isEmpty())
        problem(QStringLiteral("PNAME is empty: it names no column of %1.").arg(fname));
    else if (!columnsOf[key].contains(pname, Qt::CaseInsensitive))
        problem(QStringLiteral("PNAME '%1' names no column of table %2.").arg(pname, fname));
    QString count = QStringLiteral("select count(*) from ") + fname;
    if (!selection.trimmed().isEmpty())
        count += QStringLiteral(" where ") + selection;
    try {
        QSqlQuery c = db.query(count);
        if (c.next() && c.value(0).toLongLong() == 0 && warnings)
            *warnings << who + QStringLiteral(": SELECTION '%1' matches no row of table %2 "
                                              "today, so its value is written nowhere.")
                                   .arg(selection.trimmed(), fname);
    } catch (const FitError& e) {
        problem(QStringLiteral("SELECTION '%1' cannot choose rows of table %2: %3")
                    .arg(selection.trimmed(), fname, e.firstLine()));
    }
}

// The bounds (numbers, infinity allowed, in order) and the other numbers read.
void numberProblems(const Record& r, const QString& who, const QStringList& fields,
                    QStringList& problems) {
    auto problem = [&](const QString& what) { problems << who + QStringLiteral(": ") + what; };
    const QString minProblem = numberProblem(r.v[QStringLiteral("MINIMUM")], true);
    const QString maxProblem = numberProblem(r.v[QStringLiteral("MAXIMUM")], true);
    if (!minProblem.isEmpty())
        problem(QStringLiteral("MINIMUM ") + minProblem + QLatin1Char('.'));
    if (!maxProblem.isEmpty())
        problem(QStringLiteral("MAXIMUM ") + maxProblem + QLatin1Char('.'));
    if (minProblem.isEmpty() && maxProblem.isEmpty()) {
        const double mn = r.v[QStringLiteral("MINIMUM")].toDouble();
        const double mx = r.v[QStringLiteral("MAXIMUM")].toDouble();
        if (mn > mx)
            problem(QStringLiteral("MINIMUM %1 is above MAXIMUM %2.")
                        .arg(r.v[QStringLiteral("MINIMUM")].toString(),
                             r.v[QStringLiteral("MAXIMUM")].toString()));
    }
    for (const QString& f :
         {QStringLiteral("IVAL"), QStringLiteral("STEP"), QStringLiteral("AVAL")}) {
        if (!fields.contains(f))
            continue;
        const QString p = numberProblem(r.v[f], false);
        if (!p.isEmpty())
            problem(f + QLatin1Char(' ') + p + QLatin1Char('.'));
        else if (f == QLatin1String("STEP") && r.v[f].toDouble() == 0)
            problem(QStringLiteral("STEP is 0: the search could never move this parameter."));
    }
}

// One line per ALIAS that more than one record holds, in the order of first use.
QStringList sharedAliasProblems(const std::vector<Record>& records) {
    QHash<QString, QList<int>> byAlias;
    QStringList aliasOrder;
    for (int i = 0; i < int(records.size()); ++i) {
        if (!byAlias.contains(records[i].alias))
            aliasOrder << records[i].alias;
        byAlias[records[i].alias].append(i + 1);
    }
    QStringList problems;
    for (const QString& alias : aliasOrder) {
        const QList<int>& holders = byAlias[alias];
        if (holders.size() < 2)
            continue;
        QStringList numbers;
        for (int n : holders)
            numbers << QString::number(n);
        problems << QStringLiteral("Parameters %1 share %2: the uncertainty analysis stores "
                                   "its results by ALIAS, so each parameter needs one of its "
                                   "own.")
                        .arg(numbers.join(QStringLiteral(", ")),
                             alias.isEmpty() ? QStringLiteral("an empty ALIAS")
                                             : QStringLiteral("the ALIAS '%1'").arg(alias));
    }
    return problems;
}

} // namespace

QStringList parmIntProblems(Database& db, unsigned needs, QStringList* warnings) {
    QStringList problems;
    const QStringList fields = neededFields(needs);
    const std::vector<Record> records = readRecords(db, fields, problems);
    if (!problems.isEmpty())
        return problems;
    QHash<QString, QStringList> columnsOf; // by table name, lower case
    for (int i = 0; i < int(records.size()); ++i) {
        const Record& r = records[i];
        const QString who = r.alias.isEmpty()
                                ? QStringLiteral("Parameter %1").arg(i + 1)
                                : QStringLiteral("Parameter %1 (%2)").arg(i + 1).arg(r.alias);
        targetProblems(db, r, who, columnsOf, problems, warnings);
        numberProblems(r, who, fields, problems);
    }
    if (needs & NeedsUniqueAlias)
        problems += sharedAliasProblems(records);
    return problems;
}
