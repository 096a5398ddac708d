// The database as the session opens it (the set-up's, then the parameter
// list of the "fitmara" tab) and the write-back of the parameter values.
#include "app/session.h"

#include "base/fit_error.h"
#include "paramdb/parameter_table.h"

void Session::openDatabase() {
    form.caption = settings.db_f_name;
    lastLeastSquares.reset(); // it belonged to the database before

    modelSetup.openDatabase();
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

// ---- write-back ----

void Session::writeParameters() {
    evaluator.setSettings(settings);
    evaluator.writeParameters();
}
