// The result table tab: the table, its filter condition and the four column roles.
#include "app/session.h"

#include <QSqlRecord>

void Session::table_LISTCloseUp() {
    processEvents();
    tname = table_LIST.selected();
    button3Caption = QStringLiteral("open ") + tname + QStringLiteral(" as result table");
    button3Enabled = true;
    emit stateChanged();
}

void Session::Button3Click() {
    if (condition.trimmed().isEmpty())
        condition = QStringLiteral("1=1");
    processEvents();
    for (ComboState* c : {&obs_fld, &mod_fld, &idx_fld, &var_fld})
        c->clear();
    resultQuery.clear();
    emit resultOpened();
    emit stateChanged();

    const QString sql =
        QStringLiteral("select * from ") + tname + QStringLiteral(" where ") + condition;
    QSqlQuery q = db.query(sql);
    resultQuery = sql;
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i)
        for (ComboState* c : {&obs_fld, &mod_fld, &idx_fld, &var_fld})
            c->items << rec.fieldName(i);
    emit resultOpened();
    emit stateChanged();
}
