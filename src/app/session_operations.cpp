// The operations as the person and the batch run start them: the guard against
// a model still running, the busy state, the chart and the progress, the backup
// and restore around the search, the result dialog and the end of a batch run.
// The operations themselves are Calibration, SensitivityAnalysis and
// UncertaintyAnalysis.
#include "analysis/sensitivity.h"
#include "analysis/uncertainty.h"
#include "analysis/workbook.h"
#include "app/session.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "evaluation/run_journal.h"
#include "optim/calibration.h"
#include "optim/least_squares_calibration.h"
#include "paramdb/backup.h"
#include "paramdb/parameter_table.h"
#include "paramdb/parm_int_check.h"
#include "runs/parallel_runs.h"

#include <QFileInfo>
#include <QSqlQuery>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
// The analysis of a large result table frees arrays of many megabytes; the C
// library keeps such freed memory for later allocations unless told to give
// it back, and a program that goes on (the window) would hold it until it ends.
void returnFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// Names the files an operation wrote once it has ended, however it ended; only
// for the outermost one (a batch calibration runs the analysis inside it).
struct FilesWrittenNote {
    Session& s;
    bool outer;
    explicit FilesWrittenNote(Session& session) : s(session), outer(!session.busy()) {
        if (outer)
            s.operations().clearFilesWritten();
    }
    ~FilesWrittenNote() {
        if (outer)
            s.logFilesWritten();
    }
    FilesWrittenNote(const FilesWrittenNote&) = delete;
    FilesWrittenNote& operator=(const FilesWrittenNote&) = delete;
};
} // namespace

double Session::evaluateModel(const ParameterVector& vector, int mode, bool* complete) {
    evaluator.setSettings(calibrationSettings);
    if (mode == 1)
        return ::evaluateModel(evaluator, *this, vector, complete, &incompleteWhy);
    if (complete)
        *complete = true;
    evaluator.evaluate(vector, Reading::RunOnly);
    return 0;
}

void Session::startOptimization() {
    refuseWhileModelRuns();
    FilesWrittenNote filesNote(*this);
    OperationRunner::BusyScope busyScope(operationRunner);
    progressState.start(0);
    clearChart();
    refusalOfAnalysis.clear();

    const int parameters = checkCalibrationCanStart();
    // What a killed run left running would write into the tables restored now.
    operationRunner.endAbandonedRuns();
    runCalibrationGuarded(parameters);
    const bool stopped = settleCalibrationResult();
    if (batchOptions.unattended) {
        if (stopped)
            throw FitError(QStringLiteral("The calibration was stopped before it finished; the "
                                          "model's tables and PARM_INT were restored."));
        requestClose();
    }
}

int Session::checkCalibrationCanStart() {
    // Nothing is backed up or run for an empty parameter table, nor for settings
    // or records that cannot work.
    const int parameters = parameterCount(db);
    if (parameters == 0)
        throw FitError(
            QStringLiteral("PARM_INT holds no parameters: there is nothing to optimise."));
    // A batch run goes on with the uncertainty analysis: what it needs is checked too.
    const bool unattended = batchOptions.unattended;
    checkBeforeRun(QStringLiteral("The optimisation"),
                   NeedsModelRun | NeedsCriterion | NeedsTolerance |
                       (unattended ? NeedsUncertainty : 0u),
                   NeedsIval | NeedsStep | (unattended ? NeedsUniqueAlias : 0u));
    if (unattended)
        checkBatchFilesCanBeWritten();
    progressState.setExpected(parameters + 1 + calibrationSettings.maxEvaluations);

    // A calibration to resume is found (or the settings that differ named)
    // before anything is backed up; the tables of a killed run are restored by
    // the backup, and the replay starts after it.
    RunJournal probe(db);
    if (batchOptions.resume)
        probe.checkResumable(calibrationSettings);
    return parameters;
}

// The files a batch run writes at its end (each through a temporary file in
// its folder, then renamed), checked before its first model run: a protocol
// that cannot be written would otherwise end a calibration of days with an
// error.
void Session::checkBatchFilesCanBeWritten() const {
    QStringList files = {QStringLiteral("Opti_Result.TXT"), batchOptions.uncertaintyProtocolName()};
    if (batchOptions.workbookWanted)
        files << reportWorkbookPath(calibrationSettings.databaseFolder, true,
                                    batchOptions.resultName);
    for (const QString& file : files) {
        const QFileInfo info(file);
        const QFileInfo folder(info.absolutePath());
        const QString why =
            info.isDir()        ? QStringLiteral("a folder of that name is in the way")
            : !folder.isDir()   ? QStringLiteral("its folder does not exist")
            : !folder.isWritable() ? QStringLiteral("there is no permission to write in its folder")
                                   : QString();
        if (!why.isEmpty())
            throw FitError(QStringLiteral("The run could not write its results to \"%1\": %2. "
                                          "Start it in a folder you can write to, or clear that "
                                          "name; no model run was made.")
                               .arg(info.absoluteFilePath(), why));
    }
}

void Session::runCalibrationGuarded(int parameters) {
    // The backup keeps what PARM_INT holds of the last completed run and the
    // simulated column beside the tables: a run that does not complete gives
    // them back, also after a crash (the next run's recovery).
    operationRunner.backup();
    try {
        // The workspaces hold the tables as the operation starts, as many as
        // the search keeps busy; the uncertainty analysis that may follow adds
        // those its runs at once need.
        OperationRunner::ParallelScope parallel(
            operationRunner, Calibration::usefulWorkers(calibrationSettings, parameters));
        operationRunner.journaled(journal::OperationKind::Calibration, [this] { optimize(); });
        if (batchOptions.unattended && !stopRequested())
            analyseUncertainty();
        parallel.finish();
    } catch (...) {
        // The model's tables must not stay at a trial vector, whatever the error:
        // they go back to the state of the backup before the error is reported
        // (the parallel runs have ended with the scope, their workspaces kept).
        operationRunner.restoreAfterFailure(
            QStringLiteral("The optimisation ended with an error; the model's "
                           "tables are restored from their backups."));
        throw;
    }
}

bool Session::settleCalibrationResult() {
    // A stopped search is no result, unless the person kept its values in the
    // result dialog; a declined one leaves PARM_INT as it was before the run,
    // as it leaves the model's tables.
    const bool stopped = stopRequested();
    const bool declined = resultDialogShown && !accepted;
    if (!accepted)
        lastLeastSquares.reset(); // AVAL is no longer the search's result
    if (accepted) {
        operationRunner.backupClosed();
    } else if (stopped || declined) {
        operationRunner.restoreAll();
        if (declined)
            logLines.append(
                QStringLiteral("The result was discarded: PARM_INT and the model's tables "
                               "are as they were before the run."),
                true);
    } else {
        operationRunner.restore();
    }
    return stopped;
}

void Session::optimize() {
    accepted = false;
    resultDialogShown = false;
    offer = OfferedResult{};
    incompleteWhy.clear();
    CalibrationSummary summary;
    if (calibrationSettings.leastSquares) {
        LeastSquaresCalibration calibration(calibrationSettings, db, evaluator, *this);
        calibration.setParallel(parallelRuns());
        calibration.setUnattended(batchOptions.unattended);
        summary = calibration.optimize();
    } else {
        Calibration calibration(calibrationSettings, db, evaluator, *this);
        calibration.setParallel(parallelRuns());
        calibration.setUnattended(batchOptions.unattended);
        summary = calibration.optimize();
    }
    lastLeastSquares = summary.leastSquares;
    offer.haveResult = !summary.result.empty();
    offer.values = summary.result;
    offer.stopped = summary.outcome == Outcome::Stopped;
    offer.reason = summary.reason;
    offer.criterionName = calibrationSettings.criterionName();
    offer.criterionAtResult = summary.resultSimulated;
    offer.leastSquares = calibrationSettings.leastSquares;
    offer.criterion = summary.resultSimulated ? summary.resultCriterion : summary.best;
    offer.haveCriterion = summary.resultSimulated || summary.haveBest;
    if (!offer.haveResult) {
        // Nothing was simulated: there is nothing to offer, and the caller puts
        // PARM_INT and the model's tables back as they were.
        logLines.append(
            QStringLiteral("The calibration was stopped before any model run completed: "
                           "there is no result, and PARM_INT and the model's tables stay "
                           "as they were."),
            true);
        setStatus(QStringLiteral("The calibration was stopped before any model run completed."));
        return;
    }
    if (!batchOptions.unattended && personAsker) {
        resultDialogShown = true;
        personAsker->showResultDialog(*this);
    }
}

// One model run at the accepted values, so that the result table (the grid,
// the observed-vs-simulated chart) shows what they simulate rather than the
// last trial of the search. A run that does not complete only leaves the
// simulated values stale; the accepted values stay.
void Session::runAtAcceptedValues() {
    if (offer.values.size() < 2)
        return;
    try {
        evaluator.setSettings(calibrationSettings);
        const EvaluationResult r = evaluator.evaluate(offer.values, Reading::Criterion);
        if (r.complete)
            logLines.append(
                QStringLiteral("The result table shows the simulated values at the "
                               "accepted values (%1 %2).")
                    .arg(calibrationSettings.criterionName(), formatGeneral(r.criterion)),
                true);
        else
            logLines.append(
                QStringLiteral("The model run at the accepted values did not complete, so "
                               "the result table does not show their simulated values: ") +
                    r.why,
                true);
    } catch (const FitError& e) {
        logLines.append(QStringLiteral("The model run at the accepted values failed, so the result "
                                       "table does not show their simulated values: ") +
                            e.message(),
                        true);
    }
}

void Session::acceptResult() {
    writeParameters();
    accepted = true;
}

void Session::analyseSensitivity() {
    refuseWhileModelRuns();
    FilesWrittenNote filesNote(*this);
    OperationRunner::BusyScope busyScope(operationRunner);
    progressState.start(0);
    calibrationSettings.stepFraction(); // a step that is no number ends it here
    clearChart();

    const int parameters = ParameterTable(db).count();
    if (parameters == 0)
        throw FitError(
            QStringLiteral("PARM_INT holds no parameters: there is nothing to analyse."));
    checkBeforeRun(QStringLiteral("The sensitivity analysis"), NeedsModelRun | NeedsCriterion,
                   NeedsIval);
    progressState.start(parameters + 1);

    operationRunner.endAbandonedRuns();
    SensitivityAnalysis analysis(calibrationSettings, db, operationRunner.runMarker(), evaluator,
                                 *this);
    OperationRunner::ParallelScope parallel(operationRunner,
                                            parameters + 1); // its n + 1 runs at once
    analysis.setParallel(parallelRuns());
    operationRunner.journaled(journal::OperationKind::Sensitivity, [&] { analysis.run(); });
    parallel.finish();
}

namespace {

// The sheet "least squares": per parameter the estimate, its standard error
// and 95 % interval from the Jacobian at the least-squares result, then the
// correlations and the condition number of F.
void addLeastSquaresSheet(Workbook& book, const LeastSquaresUncertainty& u) {
    book.appendSheet(QStringLiteral("least squares"));
    const int n = static_cast<int>(u.estimate.size());
    const QStringList heads = {QStringLiteral("parameter"), QStringLiteral("estimate"),
                               QStringLiteral("standard error"), QStringLiteral("95 % lower"),
                               QStringLiteral("95 % upper")};
    for (int c = 0; c < heads.size(); ++c)
        book.setText(1, c + 1, heads[c]);
    for (int j = 0; j < n; ++j) {
        book.setText(j + 2, 1, u.names.value(j));
        book.setNumber(j + 2, 2, u.estimate[j]);
        if (u.determined) {
            book.setNumber(j + 2, 3, u.standardError[j]);
            book.setNumber(j + 2, 4, u.lower[j]);
            book.setNumber(j + 2, 5, u.upper[j]);
        }
    }
    int row = n + 3;
    if (u.determined) {
        book.setText(row, 1, QStringLiteral("correlation"));
        for (int j = 0; j < n; ++j) {
            book.setText(row, j + 2, u.names.value(j));
            book.setText(row + j + 1, 1, u.names.value(j));
            for (int k = 0; k < n; ++k)
                book.setNumber(row + j + 1, k + 2, u.correlation[j][k]);
        }
        row += n + 2;
    } else {
        book.setText(row, 1,
                     QStringLiteral("F cannot be inverted: the data do not determine "
                                    "every parameter (see the protocol)"));
        row += 2;
    }
    book.setText(row, 1, QStringLiteral("condition number of F"));
    book.setNumber(row, 2, u.conditionNumber);
}

} // namespace

bool Session::checkAndGuardAnalysis() {
    checkBeforeRun(QStringLiteral("The uncertainty analysis"), NeedsModelRun | NeedsUncertainty,
                   NeedsAval | NeedsUniqueAlias);
    if (operationRunner.runMarker().held())
        return false; // after a calibration, which guards its tables
    operationRunner.endAbandonedRuns();
    ::backup(db, operationRunner.runMarker(),
             [this](const QString& line, bool select) {
                 if (select)
                     logLines.append(line, true);
             },
             {calibrationSettings.resultTable, calibrationSettings.modelColumn});
    return true;
}

void Session::keepAnalysisResults(UncertaintyAnalysis& analysis) {
    const UncertaintySummary& found = analysis.summary();
    workbookLang = found.workbookLanguage;
    workbookOfAnalysis = found.book;
    if (!found.workbook.isEmpty())
        operationRunner.noteFileWritten(found.workbook);
    emit stateChanged(); // "save workbook…" follows whether there is one
    // Kept for the window's parameter plot; a batch run has none to show.
    if (found.haveSensitivities) {
        SensitivityTable table = analysis.takeSensitivities();
        if (!batchOptions.unattended)
            keepSensitivities(found.observationCount, std::move(table));
    }
    returnFreedMemory();
}

void Session::analyseUncertainty() {
    refuseWhileModelRuns();
    FilesWrittenNote filesNote(*this);
    OperationRunner::BusyScope busyScope(operationRunner);
    workbookLang = -99; // no workbook yet in this analysis
    workbookOfAnalysis.reset();
    refusalOfAnalysis.clear();
    UncertaintyAnalysis analysis(calibrationSettings, db, evaluator, *this,
                                 {criterionSeries, criterionSeriesName});
    analysis.setBatch(batchOptions);
    // On its own (not after a calibration, which guards its tables) the analysis
    // takes the run marker and a backup of the model's tables once its checks
    // have passed: a second program on the database is refused, and a program
    // killed while a raised value stands in a model table leaves the marker, so
    // that the next run restores the tables. The backup is silent; a recovery
    // of an earlier run that did not finish is told.
    if (lastLeastSquares) {
        std::shared_ptr<const LeastSquaresUncertainty> found = lastLeastSquares;
        analysis.addSheets = [found](Workbook& book) { addLeastSquaresSheet(book, *found); };
    }
    bool guarded = false;
    analysis.checkBeforeRun = [this, &guarded] { guarded = checkAndGuardAnalysis(); };
    // The analysis sets the start values back itself, also when it fails.
    struct Unguard {
        Session& s;
        bool& guarded;
        ~Unguard() {
            if (guarded)
                s.operations().backupClosed();
        }
    } unguard{*this, guarded};
    // The sensitivities are kept for the parameter plot as soon as every run is
    // made, also when storing the results fails afterwards.
    auto keepResults = [&] { keepAnalysisResults(analysis); };
    // The analysis runs its n + 1 (with central differences 2n + 1) runs at
    // once; after a calibration on its workspaces and those added for them.
    const int differenced = parameterCount(db) * (calibrationSettings.centralDifferences ? 2 : 1);
    OperationRunner::ParallelScope parallel(operationRunner, differenced + 1);
    analysis.setParallel(parallelRuns());
    try {
        operationRunner.journaled(
            journal::OperationKind::Uncertainty, [&] { analysis.run(); },
            [&] {
                const UncertaintySummary& found = analysis.summary();
                return found.outcome == Outcome::Refused ? found.reason : QString();
            });
    } catch (...) {
        parallel.close();
        keepResults();
        throw;
    }
    parallel.finish();
    keepResults();
    if (analysis.summary().outcome == Outcome::Refused)
        refusalOfAnalysis = analysis.summary().reason;
    const QString& workbook = analysis.summary().workbook;
    if (!workbook.isEmpty() && personAsker && !batchOptions.unattended)
        personAsker->openWorkbook(workbook);
}

void Session::saveWorkbook() {
    if (!workbookOfAnalysis)
        throw FitError(QStringLiteral("There is no workbook to save: run the uncertainty analysis "
                                      "first."));
    QString path = QFileInfo(reportWorkbookPath(calibrationSettings.databaseFolder, false,
                                                batchOptions.resultName))
                       .absoluteFilePath();
    if (!personAsker || !personAsker->chooseWorkbookPath(path))
        return;
    if (!path.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive))
        path += QStringLiteral(".xlsx");
    workbookOfAnalysis->saveCopyAs(path);
    const QString where =
        QStringLiteral("The workbook was written to ") + QFileInfo(path).absoluteFilePath();
    logLines.append(where, true);
    setStatus(where);
}
