#pragma once
// Where an operation reports to, and what it returns.
//
// An operation (the calibration, the sensitivity analysis, the uncertainty
// analysis) computes; what it has to tell goes through a Reporter: log lines
// and the protocol file made of them, one point per completed model run, the
// parameter table having changed. It asks the reporter whether to stop. The
// session implements it for the window and for the headless run alike; a test
// can implement it with a few lines.
#include <QString>
#include <QtGlobal>
#include <vector>

class Database;
class Evaluator;
struct StoredResults;
struct EvaluationResult;
using ParameterVector = std::vector<double>;

class Reporter {
  public:
    virtual ~Reporter() = default;
    // The log list: a line, select=true scrolls to it; clearing; saving it as a
    // protocol file (FitError when the file cannot be written).
    virtual void log(const QString& line, bool select = false) = 0;
    virtual void clearLog() = 0;
    virtual void saveLog(const QString& fileName) = 0;
    // A model run completed with this criterion (the chart, the counter, the progress).
    virtual void evaluated(double criterion) = 0;
    // The records of PARM_INT were changed: the list of parameters is read again.
    virtual void parameterListChanged() = 0;
    // Values of PARM_INT were stored: what shows them is refreshed.
    virtual void parameterValuesChanged() = 0;
    // The person (the stop button) or a signal asks the operation to end at the
    // next evaluation boundary.
    virtual bool stopRequested() const = 0;
    // Lets the event loop handle what came in between two model runs.
    virtual void processEvents() = 0;
    // Parallel runs: this many model runs are going on now, of `workers` at most.
    virtual void runsGoing(int running, int workers) {
        (void)running;
        (void)workers;
    }
    // Parallel runs: the run with this number started (going) or ended.
    virtual void runChanged(int run, bool going) {
        (void)run;
        (void)going;
    }
};

// How an operation ended.
enum class Outcome {
    Converged,   // the search met its tolerance, or the analysis completed
    BudgetSpent, // the search used up its evaluations
    Stopped,     // a stop was requested
    Refused,     // the analysis could not be made (the reason is in the log)
    Failed,      // an error ended it (the reason is the error)
};

// What every operation returns.
struct Summary {
    Outcome outcome = Outcome::Failed;
    QString reason;
    int modelRuns = 0; // model runs made
    double best = 0;   // the best criterion seen (calibration, sensitivity)
    bool haveBest = false;
    qint64 elapsedMs = 0;
};

// The lines of a run that did not complete: "Model run incomplete !", how the
// run ended when that tells more (a timeout, a signal), and the last lines of
// the model's output.
void reportIncomplete(Reporter& reporter, const EvaluationResult& r);

// One model run of an operation that minimises or compares the criterion: the
// evaluation, with the line "Model run incomplete !" for a run that left no
// result (and why, unless rows were only left at -99), and the criterion of a
// complete run reported. Returns the criterion, 0 for an incomplete run
// (complete, if given, tells which; why receives the reason).
double evaluateModel(Evaluator& evaluator, Reporter& reporter, const ParameterVector& vector,
                     bool* complete = nullptr, QString* why = nullptr);

// Puts back AVAL, ERROR and r_k of PARM_INT as they were before a run that did
// not complete, and reports the list changed. A failure is logged, not thrown:
// the caller's error stays the one reported. dbFile: the database to reconnect
// to when the connection is closed.
void putBackStoredResults(Database& db, const QString& dbFile, const StoredResults& stored,
                          Reporter& reporter);
// What evaluateModel reports of a run made elsewhere (a parallel run), at the
// moment the operation takes it: the same lines or chart point, the same return.
double reportRun(Reporter& reporter, const EvaluationResult& result, bool* complete = nullptr,
                 QString* why = nullptr);
// For the error that ends an operation on an incomplete run: the lines that
// tell its failure and the model's last output, each on a line of its own
// after a line break; empty when the run left neither.
QString incompleteRunDetails(const EvaluationResult& run);
