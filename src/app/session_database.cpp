// The "parameters" and "result table" tabs: opening the database, creating
// PARM_INT and filling the parameter list; the result table, its condition and
// the four column roles; the write-back of the parameter values.
#include "app/session.h"

#include "base/fit_error.h"
#include "paramdb/journal.h"
#include "paramdb/parameter_table.h"

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
}

void Session::openDatabase() {
    form.caption = settings.db_f_name;
    lastLeastSquares.reset(); // it belonged to the database before

    // Closing the connection closes PARM_INT and the result query too.
    db.close();
    form.resultQuery.clear();
    emit connectionChanged(false);
    emit resultOpened();
    emit stateChanged();

    db.open(settings.db_f_name);
    emit connectionChanged(true);

    form.resultTableCombo.clear();
    form.resultTableCombo.items = journal::withoutJournalTables(db.tables());
    form.resultTableCombo.select(0);
    settings.resultTable = form.resultTableCombo.selected();
    emit stateChanged();

    bool found = false;
    for (const QString& t : form.resultTableCombo.items)
        if (t.compare(QLatin1String("PARM_INT"), Qt::CaseInsensitive) == 0)
            found = true;
    if (!found) {
        // Each line of the command text is followed by a line break.
        db.exec(kCreateParmInt.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    }
    afterParmIntOpened();
}

void Session::afterParmIntOpened() {
    form.parameterPlotCombo.items = ParameterTable(db).labels(); // its text stays
    form.parameterPlotCombo.index = -1;
    if (!form.parameterPlotCombo.items.isEmpty())
        form.parameterPlotCombo.select(0);
    emit parmIntOpened();
    emit stateChanged();
}

void Session::changeDatabase() {
    if (!asker)
        throw FitError(QStringLiteral("No database is open: give one with DB=<file>."));
    QString path;
    if (!asker->chooseDatabase(path))
        return;
    settings.db_f_name = path;
    openDatabase();
}

void Session::reopen() {
    db.open(db.path().isEmpty() ? settings.db_f_name : db.path());
    connectionReopened();
}

void Session::applyTableChoice() {
    processEvents();
    settings.resultTable = form.resultTableCombo.selected();
    form.openResultTableCaption =
        QStringLiteral("open ") + settings.resultTable + QStringLiteral(" as result table");
    form.openResultTableEnabled = true;
    emit stateChanged();
}

void Session::openResultTable() {
    if (settings.condition.trimmed().isEmpty())
        settings.condition = QStringLiteral("1=1");
    processEvents();
    const ColumnRole roles[] = {ColumnRole::Observed, ColumnRole::Model, ColumnRole::Index,
                                ColumnRole::Variance};
    // The person's column choices stay where the reopened rows still have the column.
    QStringList chosen;
    for (ColumnRole r : roles) {
        chosen << columnList(r).selected();
        columnList(r).clear();
        chooseColumn(r, -1);
    }
    form.resultQuery.clear();
    emit resultOpened();
    emit stateChanged();

    const QString sql = QStringLiteral("select * from ") + settings.resultTable +
                        QStringLiteral(" where ") + settings.condition;
    QSqlQuery q = db.query(sql);
    form.resultQuery = sql;
    const QSqlRecord rec = q.record();
    for (int i = 0; i < rec.count(); ++i)
        for (ComboState* c : {&form.observedColumnCombo, &form.modelColumnCombo,
                              &form.indexColumnCombo, &form.varianceColumnCombo})
            c->items << rec.fieldName(i);
    for (int k = 0; k < 4; ++k)
        if (!chosen[k].isEmpty())
            chooseColumnNamed(roles[k], chosen[k]);
    emit resultOpened();
    emit stateChanged();
}

ComboState& Session::columnList(ColumnRole role) {
    switch (role) {
    case ColumnRole::Observed:
        return form.observedColumnCombo;
    case ColumnRole::Model:
        return form.modelColumnCombo;
    case ColumnRole::Index:
        return form.indexColumnCombo;
    case ColumnRole::Variance:
        break;
    }
    return form.varianceColumnCombo;
}

namespace {
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
} // namespace

void Session::chooseColumn(ColumnRole role, int index) {
    ComboState& list = columnList(role);
    if (index < 0)
        list.index = -1;
    else
        list.select(index);
    columnSetting(settings, role) = list.selected();
}

void Session::chooseColumnNamed(ColumnRole role, const QString& name) {
    ComboState& list = columnList(role);
    list.selectIgnoringCase(name);
    columnSetting(settings, role) = list.selected();
}

// ---- write-back ----

void Session::writeParameters() {
    evaluator.setSettings(settings);
    evaluator.writeParameters();
}
