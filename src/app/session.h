#pragma once
// The program between the person (or the command line) and the operations.
//
// One Session lives as long as the program. It owns the open database, the
// model runner, the settings of the calibration, what the controls show (the
// form), the log list and the chart's points. The window (src/ui) shows it and
// turns clicks into calls of the methods below; a headless batch run drives the
// same object without any window.
//
// The work itself lives in the subsystems: an Evaluator (src/evaluation) runs
// the model for one vector; Calibration (src/optim), SensitivityAnalysis and
// UncertaintyAnalysis (src/analysis) are the operations. The session gives each
// a copy of the settings, the evaluator and itself as the place to report to
// (Reporter), and frames them: the guard against a model still running, the
// backup and restore around the search, the result dialog, the batch run's end.
#include "analysis/sensitivity_table.h"
#include "app/model_setup.h"
#include "app/operation_progress.h"
#include "app/operation_runner.h"
#include "app/settings_check.h"
#include "base/combo_state.h"
#include "base/log_list.h"
#include "evaluation/evaluator.h"
#include "evaluation/report.h"
#include "evaluation/settings.h"
#include "model/model_process.h"
#include "model/run_file.h"
#include "optim/least_squares_uncertainty.h"
#include "paramdb/database.h"
#include "paramdb/journal.h"
#include "paramdb/param_selection.h"
#include "paramdb/stored_results.h"

#include <QHash>
#include <QObject>
#include <QPointF>
#include <QStringList>
#include <QVector>
#include <functional>
#include <memory>
#include <vector>

class ParallelRuns;
class RunPool;
class UncertaintyAnalysis;
class Workbook;

class Session;

using ParameterVector = std::vector<double>; // parameter vectors, used from index 1

// What the program asks the person. The window answers with dialogs; tests and
// headless runs answer without them.
class Asker {
  public:
    virtual ~Asker() = default;
    // The database file dialog ("select the database"). False when cancelled.
    virtual bool chooseDatabase(QString& path) = 0;
    // The run file dialog; `path` holds the current name on entry. False when cancelled.
    virtual bool chooseRunFile(QString& path) = 0;
    // The result dialog: shown modally at the end of an interactive optimisation.
    // Accepting calls Session::acceptResult().
    virtual void showResultDialog(Session& session) = 0;
    // The help box of the command line (text and caption as given).
    virtual void showHelp(const QString& text, const QString& caption) = 0;
    // A built-in editor for the run file when no external one is configured.
    // Returns when the person has closed it.
    virtual void editTextFile(const QString& path) = 0;
    // Opens a finished workbook with the desktop's spreadsheet application, if any.
    virtual void openWorkbook(const QString& path) { (void)path; }
    // The file dialog of "save workbook…"; `path` holds a proposal on entry.
    // False when cancelled.
    virtual bool chooseWorkbookPath(QString& path) {
        (void)path;
        return false;
    }
    // Whether a person answers (a dialog can choose the database); false for a
    // run without a window.
    virtual bool asksThePerson() const { return true; }
};

// What the controls show beyond the settings: the lists to choose from and the
// texts as typed. The command line selects in the lists as the person does.
struct FormState {
    QString caption = QStringLiteral("Fitmara parameter calibration");
    QString maxEvaluationsText = QStringLiteral("50"); // Nmax as typed
    QStringList runFileLines;                          // lines of the run file
    ComboState parameterPlotCombo;                     // parameter list of the "fitmara" tab
};

// What the result dialog offers at the end of an interactive calibration.
struct OfferedResult {
    bool haveResult = false; // AVAL holds values of this calibration
    bool stopped = false;    // stopped before the search ended by itself
    QString reason;          // why the search ended
    QString criterionName;   // RMSE, NRMSE or CV(RMSE)
    double criterion = 0;    // the best criterion of the completed runs
    bool haveCriterion = false;
    // The criterion is the one of the run at AVAL (a stopped search offers its
    // best run); otherwise AVAL is the mean of the final vertices, not itself run.
    bool criterionAtResult = false;
    // The least-squares search offers its last accepted point, the simplex the
    // mean of its final vertices.
    bool leastSquares = false;
    ParameterVector values; // the offered AVAL values, 1..n
};

struct ParsedCommandLine;
enum class SessionKey;

class Session : public QObject, public Reporter, public ConnectionWatcher, public SelectionHost {
    Q_OBJECT
  public:
    explicit Session(QObject* parent = nullptr);
    ~Session() override;

    // ---- what the operations work with and what the controls show ----
    CalibrationSettings& settings() { return calibrationSettings; }
    const CalibrationSettings& settings() const { return calibrationSettings; }
    // How the operations are asked for: GO, RESUME, RS_, XL_OUT.
    BatchOptions& batch() { return batchOptions; }
    const BatchOptions& batch() const { return batchOptions; }
    FormState& form() { return formState; }
    const FormState& form() const { return formState; }
    // The database, the result table and its columns.
    ModelSetup& setup() { return modelSetup; }
    const ModelSetup& setup() const { return modelSetup; }
    LogList& logList() { return logLines; }
    const LogList& logList() const { return logLines; }
    // The model run in place (not the parallel runs).
    ModelProcess& modelProcess() { return model; }
    // Series2 of the chart: the criterion per run, or the parameter plot.
    const QVector<QPointF>& chartSeries() const { return chartPoints; }

    // ---- results of the operations ----
    // Rows of the last uncertainty analysis and their sensitivities (the
    // parameter plot; a batch run keeps none).
    int observationCount() const { return analysedRows; }
    const SensitivityTable& sensitivityRows() const { return sensitivities; }
    // Keeps an analysis' sensitivities for the parameter plot.
    void keepSensitivities(int observations, SensitivityTable rows) {
        analysedRows = observations;
        sensitivities = std::move(rows);
    }
    // Language of the last analysis' workbook; -99 without one.
    int workbookLanguage() const { return workbookLang; }
    // The workbook of the last uncertainty analysis of this session (null: none).
    const std::shared_ptr<const Workbook>& lastWorkbook() const { return workbookOfAnalysis; }
    // Why the last uncertainty analysis could not be made ("at least one
    // parameter is at the limit"); empty when it was made. An unattended run
    // ends with its own exit status then.
    const QString& analysisRefusal() const { return refusalOfAnalysis; }
    // What the last calibration offered, and whether the person accepted it.
    const OfferedResult& offeredResult() const { return offer; }
    bool resultAccepted() const { return accepted; }
    // Why the last incomplete model run was incomplete (which rows, what they held).
    const QString& lastIncomplete() const { return incompleteWhy; }

    // ---- who asks the person, and the command line ----
    Asker* asker() const { return personAsker; }
    void setAsker(Asker* a) { personAsker = a; }
    // The command line without the program name.
    const QStringList& arguments() const { return commandArguments; }
    void setArguments(const QStringList& a) { commandArguments = a; }
    // The values the command line gave its setting keys ("RT=", "OB=", ...) at
    // the last activation, so that a check can name the key and the value.
    const QHash<QString, QString>& commandLineValues() const { return keyValues; }
    void recordCommandLineValue(const QString& key, const QString& value) {
        keyValues.insert(key, value);
    }
    // "exit" was asked for (the window closes, a batch run ends).
    bool closeWasRequested() const { return closeAsked; }
    void clearCloseRequest() { closeAsked = false; }

    // ---- small actions of the "fitmara" tab ----
    // Nmax as typed; throws FitError for a text that is no integer (Nmax keeps
    // its last valid value).
    void setMaxEvaluationsText(const QString& text);
    // The parameter plot: Series2 becomes the sensitivities to parameter index+1.
    void plotParameter(int index);
    // "exit": the main window is to be closed.
    void requestClose();

    // ---- database and PARM_INT ----
    void openDatabase();
    void changeDatabase(); // asks for a database file and opens it
    void afterParmIntOpened();
    void reopen(); // reconnect and reopen parmint and the result query

    // ---- run file ----
    void openRunFile();   // the run file dialog
    void editRunFile();   // an editor on the run file
    void checkModelRun(); // runs the model once and tells how it ended
    void reportCheckRun();
    void loadRunFile(const QString& fileName); // fills form.runFileLines; throws when unreadable
    void setRunFile(const QString& fileName);  // as choosing it in the dialog

    // ---- write-back ----
    void writeParameters();

    // ---- checks before anything is backed up or run ----
    // Throws one FitError listing every problem of the settings (`needs`: SettingsNeeds,
    // see settings_check.h) and of PARM_INT (`parmIntNeeds`, see
    // paramdb/parm_int_check.h); logs the warnings.
    void checkBeforeRun(const QString& operation, unsigned needs, unsigned parmIntNeeds);

    // ---- the evaluation ----
    // Runs the model once with vector (indices 1..) under the current settings
    // and, for mode 1, returns the criterion and reports it (chart point,
    // counter, progress). An incomplete run returns 0 and sets *complete to
    // false; the reason is in lastIncomplete().
    double evaluateModel(const ParameterVector& vector, int mode, bool* complete = nullptr);
    // Only the model run: close, start, wait, reconnect.
    void runModel();

    // ---- the operations ----
    void startOptimization(); // backup, search, result dialog, restore or keep
    void optimize();          // the search itself, and the result dialog
    void acceptResult();      // the result dialog's accept button
    // After the person accepted: one model run at the accepted values, so the
    // result table shows what they simulate (the window asks for it).
    void runAtAcceptedValues();
    void analyseSensitivity();
    void analyseUncertainty();
    // "save workbook…": the workbook of the last uncertainty analysis, to a
    // file the person chooses; the log says where it went.
    void saveWorkbook();
    // Names the files the operation wrote in the log, at the end of an
    // operation started in the window.
    void logFilesWritten();
    // The "stop" button, SIGINT/SIGTERM: the operation ends at the next evaluation
    // boundary. Asked again while the model runs, the model run is ended.
    void requestStop();
    // Ends the running operation at once: a stop, and the model runs going on
    // are ended with their process groups ("exit" during a run).
    void endRunningModels();
    // How far the running operation has come (evaluations, best, time, runs).
    const OperationProgress& operationProgress() const { return progressState; }
    OperationProgress& operationProgress() { return progressState; }
    // What the progress in the status bar tells beside the evaluation count
    // (see OperationProgress::details).
    QString progressDetails() const;

    // ---- the frame of the operations ----
    // Busy state and stop, backup and restore, run journal, parallel runs.
    OperationRunner& operations() { return operationRunner; }
    const OperationRunner& operations() const { return operationRunner; }
    // The workers of an MPI job (null: none). The pool must outlive its use.
    void setRemoteRunPool(RunPool* pool) { operationRunner.parallelRuns().setRemotePool(pool); }
    // The parallel runs of the operation under way; null when the model runs in place.
    ParallelRuns* parallelRuns() { return operationRunner.parallelRuns().runs(); }
    void runsGoing(int running, int workers) override;
    void runChanged(int run, bool going) override;

    // ---- command line ----
    // Applies the command line, and with GO runs the calibration.
    void applyCommandLine();

    // ---- helpers shared by the operations ----
    // True while an operation that runs the model is under way.
    bool busy() const override { return operationRunner.busy(); }
    bool stopRequested() const override { return operationRunner.stopRequested(); }
    // "check model run" is waiting for the model: a stop ends the model at once.
    bool modelCheckGoing() const { return checkRunGoing; }
    // A model still running (started by "check model run") works on the tables
    // the operations write, back up and evaluate: throws FitError while it runs.
    void refuseWhileModelRuns();
    void processEvents() override;
    // Clears and fills Series2 / adds one point.
    void clearChart();
    void addChartPoint(double x, double yv);
    void setStatus(const QString& text);

    // ---- Reporter ----
    void log(const QString& line, bool select = false) override;
    void clearLog() override;
    void saveLog(const QString& fileName) override;
    void evaluated(double criterion) override;
    void parameterListChanged() override;
    void parameterValuesChanged() override;

    // ---- ConnectionWatcher ----
    void connectionClosed() override;
    void connectionReopened() override;

    // ---- SelectionHost ----
    Database& database() override { return db; }
    // Only once it is opened as the result table: until then resultTable is merely
    // the first table of the database.
    QString resultTable() const override {
        return modelSetup.resultQuery().isEmpty() ? QString() : calibrationSettings.resultTable;
    }

  signals:
    void stateChanged();               // any control state changed: the window refreshes
    void connectionChanged(bool open); // the connection was opened or closed
    void parmIntOpened();              // PARM_INT (re)opened: its grid reloads
    void resultOpened();               // the result query (re)opened or closed
    void chartCleared();
    void chartPointAdded(double x, double y);
    void chartReplaced(); // Series2 replaced as a whole (parameter plot)
    void statusMessage(const QString& text);
    void busyChanged(bool busy);
    void progress(int done, int maximum, double best, qint64 elapsedMs);
    void closeRequested(); // the main window is to be closed

  private:
    bool closeAsked = false; // the window is to close (see closeWasRequested)
    // The parts of applyCommandLine: the keys of the model set-up (FitError
    // naming the key), the values of the line once they all applied, and GO.
    void applySessionKeys(const ParsedCommandLine& line);
    // Its parts: one key applied when the line gives it, its failure naming
    // the argument; the run file and the database (the person chooses one
    // when the table keys need it); the result table, its condition, columns.
    void applyKey(const ParsedCommandLine& line, SessionKey key,
                  const std::function<void(const QString&)>& apply);
    void applyRunAndDatabaseKeys(const ParsedCommandLine& line);
    void applyResultTableKeys(const ParsedCommandLine& line);
    void adoptLineSettings(const CalibrationSettings& lineSettings, const BatchOptions& lineBatch);
    void startUnattended();
    // The parts of startOptimization: the checks before anything is backed up
    // (returns the number of parameters); the backup, the search and a batch
    // run's analysis, the tables restored on an error; what the result dialog
    // and a stop leave (returns whether the search was stopped).
    int checkCalibrationCanStart();
    void checkBatchFilesCanBeWritten() const;
    void runCalibrationGuarded(int parameters);
    bool settleCalibrationResult();
    // The parts of analyseUncertainty: the checks before its first run, and
    // on its own (not after a calibration) the run marker and the backup of
    // the model's tables (returns whether it took them); what the analysis
    // leaves for the window (the workbook, the sensitivities).
    bool checkAndGuardAnalysis();
    void keepAnalysisResults(UncertaintyAnalysis& analysis);

    CalibrationSettings calibrationSettings; // what the operations work with
    BatchOptions batchOptions;               // how they are asked for
    FormState formState;                     // what the controls show

    int analysedRows = 0;           // rows of the last uncertainty analysis
    SensitivityTable sensitivities; // and their sensitivities (the parameter plot)
    int workbookLang = 0;           // language of its workbook; -99 without one
    bool accepted = false;          // the optimised values were accepted
    OfferedResult offer;            // what the last calibration offered
    bool resultDialogShown = false; // the result dialog was shown for it
    // Why the last uncertainty analysis could not be made ("at least one
    // parameter is at the limit"); empty when it was made. An unattended run
    // ends with its own exit status then.
    QString refusalOfAnalysis;

    LogList logLines;
    QVector<QPointF> chartPoints; // Series2 of the chart
    // The criterion per model run as the chart last received it, kept also while
    // the chart shows the parameter plot (for the report's "fit" sheet).
    QVector<QPointF> criterionSeries;
    QString criterionSeriesName;

    ModelSetup modelSetup;
    Database& db; // the setup's

    ModelProcess model;
    ModelProcess editorProcess;
    Evaluator evaluator; // on db and the model process

    Asker* personAsker = nullptr;
    QStringList commandArguments; // the command line without the program name
    // The values the command line gave its setting keys ("RT=", "OB=", ...) at
    // the last activation, so that a check can name the key and the value.
    QHash<QString, QString> keyValues;
    // The uncertainty the least-squares search found at the values it stored;
    // the workbook of the analysis that follows gets a sheet of it. Null after
    // the simplex and once those values are no longer AVAL.
    std::shared_ptr<const LeastSquaresUncertainty> lastLeastSquares;
    QString incompleteWhy;                              // see lastIncomplete()
    std::shared_ptr<const Workbook> workbookOfAnalysis; // see lastWorkbook()
    OperationRunner operationRunner;
    bool checkRunGoing = false;
    OperationProgress progressState;
    // Tells the window how far the operation has come.
    void emitProgress();
};
