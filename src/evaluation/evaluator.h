#pragma once
// One model run for one parameter vector, on one database with one run script.
//
// The evaluator holds the vector to the bounds of PARM_INT, stores it as AVAL,
// writes it into the model's tables, marks the result rows -99, closes the
// database, runs the model, reconnects, checks that the model simulated every
// chosen row, and computes the criterion (or reads the simulated values). It
// returns a plain result and knows nothing of charts, logs, counters or progress:
// the operation that asked for the run reports what it needs.
//
// A run has two halves: start() returns as soon as the model is started, and
// finish() is called once it has ended (modelEnded()). Several evaluators, each
// on its own database copy and run script, can so be started one after the other
// and be finished as their models end, all watched by one event loop in one
// thread. evaluate() is both halves with the wait in between.
#include "evaluation/completeness.h"
#include "evaluation/fit_points.h"
#include "evaluation/settings.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include <functional>

class Database;
class RunJournal;
class ModelProcess;

using ParameterVector = std::vector<double>; // parameter vectors, used from index 1

// What a run reads once the model has ended.
enum class Reading {
    RunOnly,           // nothing: the caller reads what it needs
    Criterion,         // completeness of the chosen rows, then the criterion
    ModelValues,       // completeness, and the simulated values and variances of the chosen
                       // rows ordered by observed value
    ModelValuesAndFit, // ModelValues, and the rows observed against simulated (FitData)
};

// The chosen result rows ordered by their observed value, as the uncertainty
// analysis pairs the runs row by row.
struct ModelValues {
    std::vector<double> mod; // simulated values, NULL as 0
    std::vector<double> var; // variances of the same rows, NULL as 0
    int badVariances = 0;    // variances that are empty, 0 or negative
};
// Reads them; FitError when the rows lack the simulated or the variance column.
// expectedRows: how many rows the condition chooses, when known (the arrays are
// sized once); negative: counted first.
ModelValues readModelValues(Database& db, const CalibrationSettings& settings,
                            qint64 expectedRows = -1);

struct EvaluationResult {
    ParameterVector vector; // the values the model saw (held to their bounds), 1..records
    bool complete = true;   // false: chosen rows left at -99, without a number, or gone
    bool onlyMarks = false; // incomplete only through rows still at -99
    QString why;            // which rows and what they hold; "" when complete
    // How an incomplete run ended when that tells more than its rows
    // ("model run timed out after 2 s", "model run ended: killed by signal
    // 11 (SIGSEGV)"); empty otherwise.
    QString failure;
    QStringList output;   // of an incomplete run: the last lines of its model.log
    QString outputFile;   // the model.log of the run
    int tries = 1;        // the tries it took (retries: RR=)
    double criterion = 0; // Reading::Criterion of a complete run; 0 otherwise
    ModelValues values;   // Reading::ModelValues and ModelValuesAndFit
    FitData fit;          // Reading::ModelValuesAndFit
};

// The criterion of the settings over the result rows as they are now (FitError
// for a grouped criterion that divides by zero, or for SQL the engine refuses).
double criterionOf(Database& db, const CalibrationSettings& settings);

// Stores values[1..] as AVAL of the PARM_INT records, in their order, as a run
// stores the vector it was given (the model's tables are not written).
void storeAval(Database& db, const ParameterVector& values);

// Told when the evaluator closes the connection for the model and opens it again.
// The session shows the parameter table and the result query again there; an
// error thrown from connectionReopened() ends the run like an error of its own.
class ConnectionWatcher {
  public:
    virtual ~ConnectionWatcher() = default;
    virtual void connectionClosed() = 0;
    virtual void connectionReopened() = 0;
};

class Evaluator : public QObject {
    Q_OBJECT
  public:
    // db: the model's database (opened and closed here); runner: starts the run
    // file. Both stay owned by the caller and must outlive the evaluator.
    Evaluator(Database& db, ModelProcess& runner, QObject* parent = nullptr);

    // The settings of the next runs; each run keeps the copy it started with.
    // New settings begin an operation: the result rows its first run chooses are
    // the reference of every later run, and PARM_INT's records and bounds are
    // read again once.
    void setSettings(const CalibrationSettings& settings) {
        cfg = settings;
        reference = ChosenRows{};
        records.clear();
    }
    const CalibrationSettings& settings() const { return cfg; }
    void setConnectionWatcher(ConnectionWatcher* w) { watcher = w; }
    // The run journal that receives one row per model run (each try its own),
    // and takes the staged rows into the next write-back; none: no journal.
    void setJournal(RunJournal* j) { book = j; }
    RunJournal* journal() const { return book; }
    // Asked before a failed run is tried again: no retry after a stop request.
    void setStopQuery(std::function<bool()> q) { stopQuery = std::move(q); }
    // Gives every run started here FITMARA_DB (the database), FITMARA_WORKSPACE
    // (the run file's folder), FITMARA_RUN (the run's number in the journal) and
    // FITMARA_TRY (1, then 2, 3, ... for its retries), as parallel runs have
    // them. Off by default: a run pool sets them itself.
    void setTellsRunVariables(bool on) { tellsRunVariables = on; }

    // One run from start to end, tried again while it fails (crashed, timed out,
    // rows left at -99) up to settings().retries times. Throws FitError when the run cannot be made
    // (a model still running, a vector too short, a failing write-back or SQL,
    // a model that cannot be started, a criterion that divides by zero); the
    // connection is open again when the model was started or could not be.
    EvaluationResult evaluate(const ParameterVector& vector, Reading reading);

    // The first half: write-back, marks, closing, starting the model. Returns
    // at once; modelEnded() follows when the model has ended.
    void start(const ParameterVector& vector, Reading reading);
    // True between start() and finish().
    bool running() const { return inFlight; }
    // The second half, once the model has ended: reconnect, pause, completeness,
    // criterion or values.
    EvaluationResult finish();

    // Only the model run: close, start, wait, reconnect (no write-back, no marks).
    void runModel();

    // Writes AVAL of every PARM_INT record into the model's tables, all or none.
    // Refused while the model runs (the connection is closed then on purpose).
    void writeParameters();
    // Throws FitError while a model started through the runner is still running.
    void refuseWhileModelRuns() const;

    // The name of the file that receives the model's output, in the run's folder.
    static constexpr const char* kModelLog = "model.log";

  signals:
    void modelEnded();

  private:
    void launch();
    // The vector held to the bounds of PARM_INT's records (index 1..).
    ParameterVector clampedVector(const ParameterVector& vector);
    void journalRun(const EvaluationResult* result, const QString& status);
    [[noreturn]] void failStart();
    void reconnect();

    Database& db;
    ModelProcess& runner;
    CalibrationSettings cfg;
    ConnectionWatcher* watcher = nullptr;
    bool tellsRunVariables = false;
    int variableRunNumber = 0; // FITMARA_RUN of runs started here without a journal

    // The run under way.
    bool inFlight = false;
    CalibrationSettings run;
    Reading reading = Reading::RunOnly;
    ParameterVector clamped;
    ParameterVector asked;  // the vector as the caller gave it (for the journal)
    bool journaled = false; // the run under way still owes its journal row
    int runNumber = 0;      // in the journal
    int attempt = 1;

    RunJournal* book = nullptr;
    std::function<bool()> stopQuery;
    // The result rows the condition chose at the first marks of the operation:
    // a run is complete only when each of them holds a result.
    ChosenRows reference;
    // PARM_INT's records in rowid order, read at the first run of the operation:
    // the bounds do not change while it runs.
    struct Record {
        qlonglong rowid;
        double minimum, maximum;
    };
    std::vector<Record> records;
};
