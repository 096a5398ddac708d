#include "paramdb/stored_results.h"

#include "paramdb/database.h"

#include <QRegularExpression>
#include <QSqlQuery>

namespace {
QString quoted(const QString& name) {
    QString n = name;
    n.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + n + QLatin1Char('"');
}
} // namespace

StoredResults readStoredResults(Database& db) {
    static const QRegularExpression kept(QStringLiteral("^(aval|error|r_[0-9]+)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    StoredResults stored;
    for (const QString& c : db.columns(QStringLiteral("parm_int")))
        if (kept.match(c).hasMatch())
            stored.columns << c;
    if (stored.columns.isEmpty())
        return stored;
    QStringList list;
    for (const QString& c : stored.columns)
        list << quoted(c);
    QSqlQuery q = db.query(QStringLiteral("select rowid, ") + list.join(QStringLiteral(", ")) +
                           QStringLiteral(" from parm_int"));
    while (q.next()) {
        StoredResults::Row row{q.value(0).toLongLong(), {}};
        for (int i = 0; i < stored.columns.size(); ++i)
            row.values << q.value(i + 1);
        stored.rows.push_back(row);
    }
    return stored;
}

void writeStoredResults(Database& db, const StoredResults& stored) {
    if (stored.columns.isEmpty())
        return;
    QStringList set;
    for (const QString& c : stored.columns)
        set << quoted(c) + QStringLiteral(" = ?");
    const QString sql = QStringLiteral("update parm_int set ") + set.join(QStringLiteral(", ")) +
                        QStringLiteral(" where rowid = ?");
    db.inTransaction([&] {
        for (const StoredResults::Row& row : stored.rows)
            db.exec(sql, row.values + QVariantList{row.rowid});
    });
}

void clearAnalysisResults(Database& db) {
    static const QRegularExpression analysed(QStringLiteral("^(error|r_[0-9]+)$"),
                                             QRegularExpression::CaseInsensitiveOption);
    QStringList set;
    for (const QString& c : db.columns(QStringLiteral("parm_int")))
        if (analysed.match(c).hasMatch())
            set << quoted(c) + QStringLiteral(" = NULL");
    if (!set.isEmpty())
        db.exec(QStringLiteral("update parm_int set ") + set.join(QStringLiteral(", ")));
}
