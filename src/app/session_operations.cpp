// The operations as the person and the batch run start them: the guard against
// a model still running, the busy state, the chart and the progress, the backup
// and restore around the search, the result dialog and the end of a batch run.
// The operations themselves are Calibration, SensitivityAnalysis and
// UncertaintyAnalysis.
#include "analysis/sensitivity.h"
#include "analysis/uncertainty.h"
#include "app/session.h"
#include "base/fit_error.h"
#include "evaluation/run_journal.h"
#include "optim/calibration.h"
#include "paramdb/backup.h"
#include "paramdb/parameter_table.h"
#include "paramdb/parm_int_check.h"
#include "runs/parallel_runs.h"

#include <QSqlQuery>

double Session::model_eval(const tfmatrix& vector, int mode, bool* complete) {
    evaluator.setSettings(settings);
    if (mode == 1)
        return ::model_eval(evaluator, *this, vector, complete, &lastIncomplete);
    if (complete)
        *complete = true;
    evaluator.evaluate(vector, Reading::RunOnly);
    return 0;
}

void Session::journaled(journal::OperationKind kind, const std::function<void()>& work) {
    RunJournal book(db);
    book.begin(kind, settings, settings.resume);
    switch (kind) {
    case journal::OperationKind::Calibration:
        book.setPhase(journal::Phase::InitialSimplex);
        break;
    case journal::OperationKind::Sensitivity:
        book.setPhase(journal::Phase::Sensitivity);
        break;
    case journal::OperationKind::Uncertainty:
        book.setPhase(journal::Phase::Uncertainty);
        break;
    }
    RunJournal* outer = evaluator.journal();
    evaluator.setJournal(&book);
    // The outcome goes in with the staged runs; an error in writing it must not
    // hide the operation's own error.
    auto endAfterError = [&](const QString& why) {
        evaluator.setJournal(outer);
        try {
            book.end(stopFlag ? journal::Outcome::Stopped : journal::Outcome::Failed, why);
        } catch (const FitError& e) {
            lb.append(QStringLiteral("The run journal could not be completed: ") + e.message());
        }
    };
    try {
        work();
    } catch (const FitError& e) {
        endAfterError(e.message());
        throw;
    } catch (const std::exception& e) {
        endAfterError(QString::fromLocal8Bit(e.what()));
        throw;
    } catch (...) {
        endAfterError(QStringLiteral("an unknown error"));
        throw;
    }
    evaluator.setJournal(outer);
    if (stopFlag)
        book.end(journal::Outcome::Stopped, QStringLiteral("stopped on request"));
    else
        book.end(journal::Outcome::Finished);
}

void Session::startOptimization() {
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
        throw FitError(
            QStringLiteral("PARM_INT holds no parameters: there is nothing to optimise."));
    // A batch run goes on with the uncertainty analysis: what it needs is checked too.
    const bool autorun = settings.autorun;
    checkBeforeRun(QStringLiteral("The optimisation"),
                   NeedsModelRun | NeedsCriterion | NeedsTolerance |
                       (autorun ? NeedsUncertainty : 0u),
                   NeedsIval | NeedsStep | (autorun ? NeedsUniqueAlias : 0u));
    progressTotal = parameters + 1 + settings.max_call;

    // A calibration to resume is found (or the settings that differ named)
    // before anything is backed up; the tables of a killed run are restored by
    // the backup, and the replay starts after it.
    RunJournal probe(db);
    if (settings.resume)
        probe.checkResumable(settings);

    // What PARM_INT holds of the last completed run: a run that does not
    // complete gives it back.
    const StoredResults before = readStoredResults(db);
    backup();
    bool madeWorkspaces = false;
    try {
        // The workspaces hold the tables as the operation starts.
        madeWorkspaces = openParallel();
        journaled(journal::OperationKind::Calibration, [this] { optimize(); });
        if (settings.autorun && !stopRequested())
            analyseUncertainty();
    } catch (...) {
        // The model's tables must not stay at a trial vector, whatever the error:
        // they go back to the state of the backup before the error is reported.
        if (madeWorkspaces)
            closeParallel(false);
        restoreAfterFailure(QStringLiteral("The optimisation ended with an error; the model's "
                                           "tables are restored from their backups."));
        putBackStoredResults(before);
        throw;
    }
    if (madeWorkspaces)
        closeParallel(true);
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
    if (settings.autorun) {
        if (stopped)
            throw FitError(QStringLiteral("The calibration was stopped before it finished; the "
                                          "model's tables and PARM_INT were restored."));
        requestClose();
    }
}

void Session::optimize() {
    success = false;
    lastIncomplete.clear();
    Calibration calibration(settings, db, evaluator, *this);
    calibration.setParallel(parallelRuns());
    const CalibrationSummary summary = calibration.optimize();
    if (summary.haveLastError)
        last_error = summary.lastError;
    if (!settings.autorun && asker)
        asker->showResultDialog(*this);
}

void Session::acceptResult() {
    setparameter();
    success = true;
}

void Session::analyseSensitivity() {
    refuseWhileModelRuns();
    BusyScope busyScope(*this);
    cnt = 0;
    settings.stepFraction(); // a step that is no number ends it here
    clearChart();
    sens_ana = true;

    {
        const int parameters = ParameterTable(db).count();
        if (parameters == 0)
            throw FitError(
                QStringLiteral("PARM_INT holds no parameters: there is nothing to analyse."));
        progressTotal = parameters + 1;
    }
    checkBeforeRun(QStringLiteral("The sensitivity analysis"), NeedsModelRun | NeedsCriterion,
                   NeedsIval);
    runClock.start();
    haveBest = false;

    SensitivityAnalysis analysis(settings, db, runMarker, evaluator, *this);
    const bool madeWorkspaces = openParallel();
    analysis.setParallel(parallelRuns());
    try {
        journaled(journal::OperationKind::Sensitivity, [&] { analysis.run(); });
    } catch (...) {
        if (madeWorkspaces)
            closeParallel(false);
        throw;
    }
    if (madeWorkspaces)
        closeParallel(true);
}

void Session::analyseUncertainty() {
    refuseWhileModelRuns();
    BusyScope busyScope(*this);
    lcid = -99; // no workbook yet in this analysis
    UncertaintyAnalysis analysis(settings, db, evaluator, *this,
                                 {criterionSeries, criterionSeriesName});
    // On its own (not after a calibration, which guards its tables) the analysis
    // takes the run marker and a backup of the model's tables once its checks
    // have passed: a second program on the database is refused, and a program
    // killed while a raised value stands in a model table leaves the marker, so
    // that the next run restores the tables. The backup is silent; a recovery
    // of an earlier run that did not finish is told.
    bool guarded = false;
    analysis.checkBeforeRun = [this, &guarded] {
        checkBeforeRun(QStringLiteral("The uncertainty analysis"), NeedsModelRun | NeedsUncertainty,
                       NeedsAval | NeedsUniqueAlias);
        if (!runMarker.held()) {
            ::backup(db, runMarker, [this](const QString& line, bool select) {
                if (select)
                    lb.append(line, true);
            });
            guarded = true;
        }
    };
    // The analysis sets the start values back itself, also when it fails.
    struct Unguard {
        Session& s;
        bool& guarded;
        ~Unguard() {
            if (guarded)
                s.backupClosed();
        }
    } unguard{*this, guarded};
    // The sensitivities are kept for the parameter plot as soon as every run is
    // made, also when storing the results fails afterwards.
    auto keepResults = [&] {
        const UncertaintySummary& found = analysis.summary();
        lcid = found.lcid;
        if (found.haveSensitivities) {
            nobs = found.nobs;
            fimdt = found.fimdt;
        }
    };
    const bool madeWorkspaces = openParallel();
    analysis.setParallel(parallelRuns());
    try {
        journaled(journal::OperationKind::Uncertainty, [&] { analysis.run(); });
    } catch (...) {
        if (madeWorkspaces)
            closeParallel(false);
        keepResults();
        throw;
    }
    if (madeWorkspaces)
        closeParallel(true);
    keepResults();
    const QString& workbook = analysis.summary().workbook;
    if (!workbook.isEmpty() && asker && !settings.autorun)
        asker->openWorkbook(workbook);
}
