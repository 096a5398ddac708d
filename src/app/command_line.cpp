// The command line, applied by the activation handler of the main window: every
// argument acts at once on the state the earlier ones left, so a working line
// gives DB= before RT=, RT= before CD=, and CD= before the four column keys.
#include "app/batch.h"
#include "app/fit_error.h"
#include "app/number_format.h"
#include "app/session.h"

namespace {

// A pause in milliseconds: a whole number, not negative.
int parsePauseMs(const QString& key, const QString& value) {
    const int ms = parseDecimalInt(value);
    if (ms < 0)
        throw FitError(QStringLiteral("%1 needs a number of milliseconds of 0 or more, not '%2'.")
                           .arg(key, value));
    return ms;
}

} // namespace

void Session::FormActivate() {
    // The window activates again when a dialog closes, also during a calibration
    // (waiting for the model processes events): applying the line again then
    // would start a second calibration inside the running one.
    if (busy())
        return;

    autorun = false;
    excel_out = false;
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
                    condition = value;
                    // Without a result table the statement fails for want of a
                    // table name: say which argument missed it.
                    if (tname.isEmpty() && commandLineValues.contains(QStringLiteral("RT=")))
                        throw FitError(
                            QStringLiteral("no result table is chosen: RT=%1 names no table or "
                                           "view of the database.")
                                .arg(commandLineValues.value(QStringLiteral("RT="))));
                    Button3Click();
                } else if (key == QLatin1String("RT=")) {
                    table_LIST.selectIgnoringCase(value);
                    table_LISTCloseUp();
                } else if (key == QLatin1String("DB=")) {
                    db_f_name = value;
                    const int cut = value.lastIndexOf(QLatin1Char('/'));
                    workpath = cut < 0 ? QString() : value.left(cut + 1);
                    db_open();
                } else if (key == QLatin1String("OB=")) {
                    obs_fld.selectIgnoringCase(value);
                } else if (key == QLatin1String("MO=")) {
                    mod_fld.selectIgnoringCase(value);
                } else if (key == QLatin1String("IX=")) {
                    idx_fld.selectIgnoringCase(value);
                } else if (key == QLatin1String("OV=")) {
                    var_fld.selectIgnoringCase(value);
                } else if (key == QLatin1String("KR=")) {
                    edit3 = value;
                } else if (key == QLatin1String("NX=")) {
                    const int n = parseDecimalInt(value);
                    max_call = n;
                    Edit2Change(QString::number(n));
                } else if (key == QLatin1String("RS_")) {
                    result_file = arg;
                } else if (arg.compare(QLatin1String("XL_OUT"), Qt::CaseInsensitive) == 0) {
                    excel_out = true;
                } else if (key.compare(QLatin1String("EF="), Qt::CaseInsensitive) == 0) {
                    errfun = value;
                } else if (key == QLatin1String("PR=")) {
                    pauseAfterRunMs = parsePauseMs(key, value);
                } else if (key == QLatin1String("PV=")) {
                    pauseBeforeVertexMs = parsePauseMs(key, value);
                } else if (arg == QLatin1String("GO")) {
                    autorun = true;
                } else if (arg == QLatin1String("?")) {
                    if (asker)
                        asker->showHelp(batchHelpText(), batchHelpCaption());
                    emit stateChanged();
                    Button6Click();
                    return;
                }
            } catch (const FitError& e) {
                // Name the argument: in a long batch line the bare reason ("not a
                // valid integer") does not tell which one to correct.
                throw FitError(arg + QStringLiteral(": ") + e.message());
            }
            emit stateChanged();
        }

        if (errfun == QLatin1String("RMSE"))
            criterion = 1;
        else if (errfun == QLatin1String("NRMSE"))
            criterion = 2;
        else if (errfun == QLatin1String("CV(RMSE)"))
            criterion = 3;
        emit stateChanged();
    } catch (...) {
        emit stateChanged();
        throw;
    }

    if (!db.isOpen())
        Button2Click();
    if (autorun && db.isOpen()) {
        // Without a run script every model run fails, but only after the
        // calibration has backed up the tables and reset AVAL to IVAL, which
        // would wipe the values of the last calibration for nothing.
        if (mrun.ApplicationName().isEmpty())
            throw FitError(
                runFileName.isEmpty()
                    ? QStringLiteral("The model could not be started: no run file is given. Give "
                                     "the run script with RF=<file>.")
                    : QStringLiteral("The model could not be started: the run file \"%1\" does "
                                     "not exist. Give an existing run script with RF=<file>.")
                          .arg(runFileName));
        Button4Click();
    }
}
