// The optimisation run behind "start optimization ": backup, initial simplex,
// search, centroid as AVAL, protocol, and the decision about the result.
#include "app/fit_error.h"
#include "app/number_format.h"
#include "app/session.h"
#include "evaluation/bounds.h"
#include "optim/simplex.h"
#include "paramdb/parm_int_check.h"

#include <QSqlQuery>
#include <cmath>

namespace {

int parameterCount(Database& db) {
    QSqlQuery q = db.query(QStringLiteral("select count(*) from parm_int"));
    return q.next() ? q.value(0).toInt() : 0;
}

const QString kEmptyParmInt =
    QStringLiteral("PARM_INT holds no parameters: there is nothing to optimise.");

} // namespace

void Session::Button4Click() {
    refuseWhileModelRuns();
    BusyScope busyScope(*this);
    cnt = 0;
    clearChart();
    sens_ana = false;
    runClock.start();
    bestSoFar = 0;
    haveBest = false;

    // Nothing is backed up or run for an empty parameter table, nor for settings
    // or records that cannot work.
    const int parameters = parameterCount(db);
    if (parameters == 0)
        throw FitError(kEmptyParmInt);
    // A batch run goes on with the uncertainty analysis: what it needs is checked too.
    checkBeforeRun(QStringLiteral("The optimisation"),
                   NeedsModelRun | NeedsCriterion | NeedsTolerance |
                       (autorun ? NeedsUncertainty : 0u),
                   NeedsIval | NeedsStep | (autorun ? NeedsUniqueAlias : 0u));
    progressTotal = parameters + 1 + max_call;

    // What PARM_INT holds of the last completed run: a run that does not
    // complete gives it back.
    const StoredResults before = readStoredResults(db);
    backup();
    try {
        optimize();
        if (autorun && !stopRequested())
            Button10Click();
    } catch (...) {
        // The model's tables must not stay at a trial vector, whatever the error:
        // they go back to the state of the backup before the error is reported.
        restoreAfterFailure(QStringLiteral("The optimisation ended with an error; the model's "
                                           "tables are restored from their backups."));
        putBackStoredResults(before);
        throw;
    }
    // A stopped search is no result, unless the person kept its values in the
    // result dialog.
    const bool stopped = stopRequested();
    if (success) {
        backupClosed();
    } else {
        try {
            restore();
        } catch (...) {
            if (stopped)
                putBackStoredResults(before);
            throw;
        }
        if (stopped)
            putBackStoredResults(before);
    }
    if (autorun) {
        if (stopped)
            throw FitError(QStringLiteral("The calibration was stopped before it finished; the "
                                          "model's tables and PARM_INT were restored."));
        Button6Click();
    }
}

void Session::optimize() {
    success = false;
    ndim = 0;
    lastIncomplete.clear();

    // AVAL := IVAL for every record; the records are counted.
    db.exec(QStringLiteral("update parm_int set AVAL = IVAL"));
    ndim = parameterCount(db);
    if (ndim == 0)
        throw FitError(kEmptyParmInt);

    mnp.assign(ndim + 1, 0.0);
    mxp.assign(ndim + 1, 0.0);
    ival.assign(ndim + 1, 0.0);
    step.assign(ndim + 1, 0.0);
    h.assign(ndim + 1, 0.0);
    y.assign(ndim + 2, 0.0);
    tsimplex p(ndim + 2, tfmatrix(ndim + 1, 0.0));

    {
        QSqlQuery q = db.query(QStringLiteral("select IVAL, STEP, MAXIMUM, MINIMUM from parm_int"));
        for (int i = 1; i <= ndim && q.next(); ++i) {
            ival[i] = numberOf(q.value(0));
            step[i] = numberOf(q.value(1));
            mxp[i] = numberOf(q.value(2));
            mnp[i] = numberOf(q.value(3));
        }
    }

    // The initial vector and one vertex per parameter displaced by its step; not
    // clipped here, the objective clips what it stores.
    for (int v = 1; v <= ndim + 1; ++v)
        for (int j = 1; j <= ndim; ++j)
            p[v][j] = ival[j] + (v == j + 1 ? step[j] : 0.0);

    // An incomplete model run is worse than every complete one.
    auto objective = [this](const tfmatrix& x) {
        bool complete = true;
        const double e = model_eval(x, 1, &complete);
        return complete ? e : HUGE_VAL;
    };

    bool anyComplete = false;
    for (int v = 1; v <= ndim + 1; ++v) {
        if (stopRequested()) {
            y[v] = HUGE_VAL; // not evaluated
            continue;
        }
        h = p[v];
        pause(pauseBeforeVertexMs);
        processEvents();
        y[v] = objective(h);
        processEvents();
        if (std::isfinite(y[v]))
            anyComplete = true;
    }
    if (!anyComplete && !stopRequested())
        throw FitError(QStringLiteral("None of the %1 model runs of the initial simplex completed "
                                      "(\"Model run incomplete !\"): %2. Check the run file and "
                                      "the model.")
                           .arg(ndim + 1)
                           .arg(lastIncomplete.isEmpty()
                                    ? QStringLiteral("the model left no results")
                                    : QStringLiteral("in the last one, ") + lastIncomplete));

    lb.clear();
    auto logLine = [this](const QString& line, bool select) { lb.append(line, select); };
    show_simplex(ndim, 0, y, p, logLine);

    const double ftol = parseNumberText(edit3);

    SimplexSink sink;
    sink.eval = objective;
    sink.log = logLine;
    sink.stopRequested = [this] { return stopRequested(); };
    Simplex simplex(ndim, mnp, mxp, max_call, sink);
    int count = 0;
    simplex.amoeba(p, y, count, ftol);
    if (!std::isnan(simplex.last_error()))
        last_error = simplex.last_error();

    // The result is the centroid of the final simplex, not its best vertex. The
    // initial vertices are not clipped, so where IVAL or IVAL + STEP lies outside
    // the bounds the centroid can too; it is held to them as the objective holds
    // every value it stores (upper bound first), so the result is never a value
    // beyond the bounds that the model has not seen.
    for (int j = 1; j <= ndim; ++j) {
        long double sum = 0.0L;
        for (int i = 1; i <= ndim + 1; ++i)
            sum += p[i][j];
        y[j] = clampToBounds(static_cast<double>(sum / (ndim + 1)), mnp[j], mxp[j]);
    }

    {
        std::vector<qlonglong> rowids;
        QSqlQuery q = db.query(QStringLiteral("select rowid from parm_int"));
        while (q.next())
            rowids.push_back(q.value(0).toLongLong());
        q.finish();
        db.inTransaction([&] {
            for (int k = 0; k < static_cast<int>(rowids.size()) && k + 1 <= ndim; ++k)
                db.exec(QStringLiteral("update parm_int set AVAL=? where rowid=?"),
                        {y[k + 1], rowids[k]});
        });
        parmintAfterOpen();
    }

    lb.append(QStringLiteral("Optimisation finishes - results are stored as AVAL"), true);
    lb.save(QStringLiteral("Opti_Result.TXT"));

    if (!autorun && asker)
        asker->showResultDialog(*this);
}

void Session::acceptResult() {
    setparameter();
    success = true;
}
