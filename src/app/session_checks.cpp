// The check before an operation: the settings and PARM_INT, every problem
// told at once, before anything is backed up or run.
#include "app/session.h"
#include "app/settings_check.h"
#include "base/fit_error.h"
#include "paramdb/parm_int_check.h"

void Session::checkBeforeRun(const QString& operation, unsigned needs, unsigned parmIntNeeds) {
    QStringList problems =
        SettingsCheck(calibrationSettings, keyValues, modelSetup, db, model.program())
            .problems(needs);
    QStringList warnings;
    problems += parmIntProblems(db, parmIntNeeds, &warnings);
    for (const QString& w : warnings)
        logLines.append(QStringLiteral("Warning: ") + w, true);
    if (problems.isEmpty())
        return;
    throw FitError(
        QStringLiteral("%1 cannot start; nothing was backed up or run:\n  ").arg(operation) +
        problems.join(QStringLiteral("\n  ")));
}
