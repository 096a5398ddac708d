// The command line, applied by the activation handler of the main window: every
// argument acts at once on the state the earlier ones left, so a working line
// gives DB= before RT=, RT= before CD=, and CD= before the four column keys.
#include "app/batch.h"
#include "app/session.h"
#include "base/fit_error.h"

void Session::applyCommandLine() {
    // The window activates again when a dialog closes, also during a calibration
    // (waiting for the model processes events): applying the line again then
    // would start a second calibration inside the running one.
    if (busy())
        return;

    settings.autorun = false;
    settings.excel_out = false;
    commandLineValues.clear();
    static const QStringList namedKeys = {
        "RF=", "CD=", "RT=", "DB=", "OB=", "MO=", "IX=", "OV=", "KR=", "NX="};
    try {
        for (const QString& arg : arguments) {
            try {
                const QString key = arg.left(3);
                const QString value = arg.mid(3);
                if (namedKeys.contains(key))
                    commandLineValues.insert(key, value);
                if (key == QLatin1String("RF=")) {
                    setRunFile(value);
                } else if (key == QLatin1String("CD=")) {
                    settings.condition = value;
                    // Without a result table the statement fails for want of a
                    // table name: say which argument missed it.
                    if (settings.tname.isEmpty() &&
                        commandLineValues.contains(QStringLiteral("RT=")))
                        throw FitError(
                            QStringLiteral("no result table is chosen: RT=%1 names no table or "
                                           "view of the database.")
                                .arg(commandLineValues.value(QStringLiteral("RT="))));
                    openResultTable();
                } else if (key == QLatin1String("RT=")) {
                    form.table_LIST.selectIgnoringCase(value);
                    applyTableChoice();
                } else if (key == QLatin1String("DB=")) {
                    settings.db_f_name = value;
                    const int cut = value.lastIndexOf(QLatin1Char('/'));
                    settings.workpath = cut < 0 ? QString() : value.left(cut + 1);
                    db_open();
                } else if (key == QLatin1String("OB=")) {
                    chooseColumnNamed(ColumnRole::Observed, value);
                } else if (key == QLatin1String("MO=")) {
                    chooseColumnNamed(ColumnRole::Model, value);
                } else if (key == QLatin1String("IX=")) {
                    chooseColumnNamed(ColumnRole::Index, value);
                } else if (key == QLatin1String("OV=")) {
                    chooseColumnNamed(ColumnRole::Variance, value);
                } else if (settings.applyArgument(arg)) {
                    if (key == QLatin1String("NX="))
                        setMaxCallText(QString::number(settings.max_call));
                } else if (arg == QLatin1String("?")) {
                    if (asker)
                        asker->showHelp(batchHelpText(), batchHelpCaption());
                    emit stateChanged();
                    requestClose();
                    return;
                }
            } catch (const FitError& e) {
                // Name the argument: in a long batch line the bare reason ("not a
                // valid integer") does not tell which one to correct.
                throw FitError(arg + QStringLiteral(": ") + e.message());
            }
            emit stateChanged();
        }

        settings.applyCriterionName();
        emit stateChanged();
    } catch (...) {
        emit stateChanged();
        throw;
    }

    if (!db.isOpen())
        changeDatabase();
    if (settings.autorun && db.isOpen()) {
        // Without a run script every model run fails, but only after the
        // calibration has backed up the tables and reset AVAL to IVAL, which
        // would wipe the values of the last calibration for nothing.
        if (mrun.ApplicationName().isEmpty())
            throw FitError(
                settings.runFile.isEmpty()
                    ? QStringLiteral("The model could not be started: no run file is given. Give "
                                     "the run script with RF=<file>.")
                    : QStringLiteral("The model could not be started: the run file \"%1\" does "
                                     "not exist. Give an existing run script with RF=<file>.")
                          .arg(settings.runFile));
        startOptimization();
    }
}
