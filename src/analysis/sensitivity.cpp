// The sensitivity coefficients of the error criterion: one run at the initial
// values, one more per parameter raised by the step, and one arc elasticity per
// parameter in the log.
#include "analysis/fisher.h"
#include "app/fit_error.h"
#include "app/number_format.h"
#include "app/session.h"
#include "evaluation/bounds.h"
#include "paramdb/parm_int_check.h"

#include <QSqlQuery>
#include <cmath>

void Session::Button8Click() {
    refuseWhileModelRuns();
    BusyScope busyScope(*this);
    cnt = 0;
    const double stepPercent = parseLocaleDouble(edit1);
    clearChart();
    sens_ana = true;

    {
        QSqlQuery q = db.query(QStringLiteral("select count(*) from parm_int"));
        if (!q.next() || q.value(0).toInt() == 0)
            throw FitError(
                QStringLiteral("PARM_INT holds no parameters: there is nothing to analyse."));
        progressTotal = q.value(0).toInt() + 1;
    }
    checkBeforeRun(QStringLiteral("The sensitivity analysis"), NeedsModelRun | NeedsCriterion,
                   NeedsIval);
    runClock.start();
    haveBest = false;

    const StoredResults before = readStoredResults(db);
    backup();
    const double b = stepPercent / 100;
    std::vector<bool> complete;
    try {
        sensit(b, &complete);
    } catch (...) {
        // The model's tables must not stay at a raised value: they go back to
        // the backup before the error is reported.
        restoreAfterFailure(stopRequested()
                                ? QStringLiteral("The sensitivity analysis was stopped; the "
                                                 "model's tables are restored from their backups.")
                                : QStringLiteral("The sensitivity analysis ended with an error; "
                                                 "the model's tables are restored from their "
                                                 "backups."));
        putBackStoredResults(before);
        throw;
    }
    restore();

    // The values the runs used: the objective clamped each to its bounds.
    std::vector<double> minimum, maximum;
    {
        QSqlQuery q =
            db.query(QStringLiteral("select MINIMUM, MAXIMUM from parm_int order by rowid"));
        while (q.next()) {
            minimum.push_back(numberOf(q.value(0)));
            maximum.push_back(numberOf(q.value(1)));
        }
    }
    for (int i = 1; i <= ndim; ++i) {
        const double mn = i <= int(minimum.size()) ? minimum[i - 1] : -HUGE_VAL;
        const double mx = i <= int(maximum.size()) ? maximum[i - 1] : HUGE_VAL;
        lb.append(sensitivityLine(i, b, h[i], clampToBounds(h[i], mn, mx),
                                  clampToBounds(h[i] * (1 + b), mn, mx), y[0], complete[0], y[i],
                                  complete[i]));
    }
}

void Session::sensit(double x, std::vector<bool>* complete) {
    ndim = 0;
    // Every AVAL starts from its IVAL, copied as it is (also when empty).
    db.exec(QStringLiteral("update parm_int set AVAL=IVAL"));
    std::vector<QVariant> initial;
    {
        QSqlQuery q = db.query(QStringLiteral("select IVAL from parm_int order by rowid"));
        while (q.next())
            initial.push_back(q.value(0));
    }
    ndim = static_cast<int>(initial.size());
    ival.resize(ndim + 1);
    h.resize(ndim + 1);
    y.resize(ndim + 2);
    for (int i = 1; i <= ndim; ++i)
        h[i] = parameterNumber(initial[i - 1], QStringLiteral("IVAL"), i);
    std::vector<bool> done(ndim + 1, true);

    // A stop request (the stop button, SIGINT/SIGTERM) ends the runs between
    // two model runs; the caller restores the model's tables.
    auto stopIfRequested = [this]() {
        if (stopRequested())
            throw FitError(QStringLiteral("The sensitivity analysis was stopped before it "
                                          "finished; no coefficients were computed."));
    };

    bool ok = true;
    stopIfRequested();
    y[0] = model_eval(h, 1, &ok);
    done[0] = ok;
    for (int i = 1; i <= ndim; ++i) {
        stopIfRequested();
        const double initialValue = h[i];
        h[i] = initialValue * (1 + x);
        y[i] = model_eval(h, 1, &ok);
        done[i] = ok;
        h[i] = initialValue;
    }
    if (complete)
        *complete = done;
}
