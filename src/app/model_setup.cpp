#include "app/model_setup.h"

#include "evaluation/settings.h"
#include "paramdb/journal.h"

#include <QSqlQuery>
#include <QSqlRecord>

namespace {
const QStringList kCreateParmInt = {
    QStringLiteral(
        "create table PARM_INT  ( ITEM_IX INTEGER PRIMARY KEY AUTOINCREMENT, FNAME CHAR(16), "
        "PNAME CHAR(10), "
        "MINIMUM DOUBLE, MAXIMUM DOUBLE, "),
    QStringLiteral(" IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, SELECTION CHAR(50),ALIAS char(15), "
                   "ERROR Double)"),
};

QString& columnSetting(CalibrationSettings& s, ColumnRole role) {
    switch (role) {
    case ColumnRole::Observed:
        return s.observedColumn;
    case ColumnRole::Model:
        return s.modelColumn;
    case ColumnRole::Index:
        return s.indexColumn;
    case ColumnRole::Variance:
        break;
    }
    return s.varianceColumn;
}

constexpr ColumnRole kRoles[] = {ColumnRole::Observed, ColumnRole::Model, ColumnRole::Index,
                                 ColumnRole::Variance};
} // namespace

ModelSetup::ModelSetup(CalibrationSettings& s, Notices n) : settings(s), notices(std::move(n)) {
    tableList.text = QStringLiteral("?");
    for (ColumnRole r : kRoles)
        columnList(r).text = QStringLiteral("select");
}

void ModelSetup::closeResultQuery() {
    openQuery.clear();
    notices.resultOpened();
    notices.changed();
}

void ModelSetup::openDatabase() {
    // Closing the connection closes PARM_INT and the result query too.
    db.close();
    openQuery.clear();
    notices.connectionChanged(false);
    notices.resultOpened();
    notices.changed();

    db.open(settings.databaseFile);
    notices.connectionChanged(true);

    tableList.clear();
    tableList.items = journal::withoutJournalTables(db.tables());
    tableList.select(0);
    settings.resultTable = tableList.selected();
    notices.changed();

    bool found = false;
    for (const QString& t : tableList.items)
        if (t.compare(QLatin1String("PARM_INT"), Qt::CaseInsensitive) == 0)
            found = true;
    if (!found) {
        // Each line of the command text is followed by a line break.
        db.exec(kCreateParmInt.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    }
}

void ModelSetup::applyTableChoice() {
    notices.processEvents();
    settings.resultTable = tableList.selected();
    openCaption =
        QStringLiteral("open ") + settings.resultTable + QStringLiteral(" as result table");
    openEnabled = true;
    notices.changed();
}

void ModelSetup::openResultTable() {
    if (settings.condition.trimmed().isEmpty())
        settings.condition = QStringLiteral("1=1");
    notices.processEvents();
    // The person's column choices stay where the reopened rows still have the column.
    QStringList chosen;
    for (ColumnRole r : kRoles) {
        chosen << columnList(r).selected();
        columnList(r).clear();
        chooseColumn(r, -1);
    }
    closeResultQuery();

    const QString sql = QStringLiteral("select * from ") + settings.resultTable +
                        QStringLiteral(" where ") + settings.condition;
    QSqlQuery q = db.query(sql);
    openQuery = sql;
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i)
        for (ColumnRole r : kRoles)
            columnList(r).items << rec.fieldName(i);
    for (int k = 0; k < 4; ++k)
        if (!chosen[k].isEmpty())
            chooseColumnNamed(kRoles[k], chosen[k]);
    notices.resultOpened();
    notices.changed();
}

void ModelSetup::reopenResultQuery() {
    if (openQuery.isEmpty())
        return;
    db.query(openQuery); // fails like the reopening of the result query
    notices.resultOpened();
}

ComboState& ModelSetup::columnList(ColumnRole role) {
    switch (role) {
    case ColumnRole::Observed:
        return observedList;
    case ColumnRole::Model:
        return modelList;
    case ColumnRole::Index:
        return indexList;
    case ColumnRole::Variance:
        break;
    }
    return varianceList;
}

const ComboState& ModelSetup::columnList(ColumnRole role) const {
    return const_cast<ModelSetup*>(this)->columnList(role);
}

void ModelSetup::chooseColumn(ColumnRole role, int index) {
    ComboState& list = columnList(role);
    if (index < 0)
        list.index = -1;
    else
        list.select(index);
    columnSetting(settings, role) = list.selected();
}

void ModelSetup::chooseColumnNamed(ColumnRole role, const QString& name) {
    ComboState& list = columnList(role);
    list.selectIgnoringCase(name);
    columnSetting(settings, role) = list.selected();
}
