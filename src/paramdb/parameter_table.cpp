#include "paramdb/parameter_table.h"

#include "paramdb/database.h"

#include <QSqlQuery>
#include <QSqlRecord>

int ParameterTable::count() {
    QSqlQuery q = db.query(QStringLiteral("select count(*) from parm_int"));
    return q.next() ? q.value(0).toInt() : 0;
}

std::vector<ParameterRecord> ParameterTable::records() {
    // The columns by name, so that a table without ALIAS (or STEP) still reads;
    // the rowid comes first and under a name of its own.
    QSqlQuery q =
        db.query(QStringLiteral("select rowid as fitmara_rowid, * from parm_int order by rowid"));
    const QSqlRecord rec = q.record();
    auto column = [&](const char* name) { return rec.indexOf(QLatin1String(name)); };
    const int ival = column("IVAL"), step = column("STEP"), minimum = column("MINIMUM"),
              maximum = column("MAXIMUM"), aval = column("AVAL"), pname = column("PNAME"),
              alias = column("ALIAS");
    auto value = [&](int col) { return col >= 0 ? q.value(col) : QVariant(); };
    std::vector<ParameterRecord> out;
    while (q.next())
        out.push_back({q.value(0).toLongLong(), value(ival), value(step), value(minimum),
                       value(maximum), value(aval), textOf(value(pname)), textOf(value(alias))});
    return out;
}

QStringList ParameterTable::labels() {
    QSqlQuery q = db.query(QStringLiteral("select * from parm_int order by rowid"));
    const QSqlRecord rec = q.record();
    const int aliasCol = rec.indexOf(QStringLiteral("ALIAS"));
    const int col = aliasCol >= 0 ? aliasCol : rec.indexOf(QStringLiteral("PNAME"));
    QStringList out;
    while (q.next())
        out << (col >= 0 ? textOf(q.value(col)) : QString());
    return out;
}

void ParameterTable::resetToInitial() {
    db.exec(QStringLiteral("update parm_int set AVAL = IVAL"));
}

void ParameterTable::writeColumn(const QString& column, const std::vector<double>& values) {
    const std::vector<ParameterRecord> all = records();
    const QString sql =
        QStringLiteral("update parm_int set ") + column + QStringLiteral("=? where rowid=?");
    for (std::size_t k = 0; k < all.size() && k + 1 < values.size(); ++k)
        db.exec(sql, {values[k + 1], all[k].rowid});
}

void ParameterTable::writeValue(qlonglong rowid, const QString& column, const QVariant& value) {
    db.exec(QStringLiteral("update parm_int set ") + column + QStringLiteral("=? where rowid=?"),
            {value, rowid});
}
