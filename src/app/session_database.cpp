// The database as the session opens it (the set-up's, then the parameter
// list of the "fitmara" tab) and the write-back of the parameter values.
#include "app/session.h"

#include "base/fit_error.h"
#include "paramdb/parameter_table.h"

void Session::openDatabase() {
    formState.caption = calibrationSettings.databaseFile;
    lastLeastSquares.reset(); // it belonged to the database before

    modelSetup.openDatabase();
    afterParmIntOpened();
}

void Session::afterParmIntOpened() {
    formState.parameterPlotCombo.items = ParameterTable(db).labels(); // its text stays
    formState.parameterPlotCombo.index = -1;
    if (!formState.parameterPlotCombo.items.isEmpty())
        formState.parameterPlotCombo.select(0);
    emit parmIntOpened();
    emit stateChanged();
}

void Session::changeDatabase() {
    if (!personAsker)
        throw FitError(QStringLiteral("No database is open: give one with DB=<file>."));
    QString path;
    if (!personAsker->chooseDatabase(path))
        return;
    calibrationSettings.databaseFile = path;
    openDatabase();
}

void Session::reopen() {
    db.open(operationRunner.databasePath());
    connectionReopened();
}

// ---- write-back ----

void Session::writeParameters() {
    evaluator.setSettings(calibrationSettings);
    evaluator.writeParameters();
}
