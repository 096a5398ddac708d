#pragma once
// The uncertainty analysis: forward-difference sensitivities of every selected
// simulated value, the Fisher information matrix, its inverse, and the standard
// errors and correlations of the parameters in the log, the protocol file,
// PARM_INT and, on request, a workbook.
#include "analysis/matrix_unit.h"
#include "analysis/sensitivity_table.h"
#include "evaluation/report.h"
#include "evaluation/settings.h"

#include <QElapsedTimer>
#include <QPointF>
#include <QVector>
#include <functional>
#include <memory>

class Database;
class Evaluator;
class ParallelRuns;
class Workbook;
struct EvaluationResult;
struct FitData;
struct RunOutcome;
struct UncertaintyReport;

struct UncertaintySummary : Summary {
    bool haveSensitivities =
        false; // every run was made: observationCount and sensitivityRows hold them
    int observationCount = 0;
    // Rows 1..observationCount: [0] the base run's value, [j] its sensitivity to parameter j.
    SensitivityTable sensitivityRows;
    int workbookLanguage = -99; // the language of the workbook; -99 without one
    QString workbook;           // the workbook written; "" without one
    // The workbook of an interactive analysis (also when none was written), to
    // be saved later; null in a batch run without XL_OUT.
    std::shared_ptr<const Workbook> book;
};

// The criterion per model run of the operations before (the chart's points),
// for the report's "fit" sheet.
struct CriterionHistory {
    QVector<QPointF> points;
    QString name;
};

class UncertaintyAnalysis {
  public:
    UncertaintyAnalysis(const CalibrationSettings& settings, Database& db, Evaluator& evaluator,
                        Reporter& reporter, const CriterionHistory& history = {});

    // An analysis that cannot be made (a parameter at its limit, no rows, bad
    // variances, no variance column) returns Outcome::Refused with the reason
    // in the log and the protocol. A run that fails, a stop request and the
    // errors of the runs throw FitError once the start values are back.
    UncertaintySummary run();

    // Makes the base run and the parameter runs at once on the workspaces of
    // `runs`; null: one after the other through the evaluator.
    void setParallel(ParallelRuns* runs) { parallel = runs; }
    // A batch run (GO) saves the protocol as it goes, under RS_<name>.txt when
    // it names one, and makes no workbook unless asked (XL_OUT), which it saves
    // as RS_<name>.xlsx; by default the analysis is the window's.
    void setBatch(const BatchOptions& options) { batch = options; }
    // The checks of the settings and of PARM_INT that need no model run, made
    // before the first run of an interactive analysis (a batch run made them
    // before its optimisation); throws FitError. May be empty.
    std::function<void()> checkBeforeRun;
    // Adds sheets of the caller's after the analysis' own; the existing sheets
    // keep their places. May be empty.
    std::function<void(Workbook&)> addSheets;

    // What the last run found so far; also after it threw.
    const UncertaintySummary& summary() const { return out; }
    // Hands the sensitivities of the last run over, leaving none here.
    SensitivityTable takeSensitivities() { return std::move(out.sensitivityRows); }

  private:
    struct DifferencePlan;
    struct SensitivityRuns;
    // The steps of run(), in its order.
    void begin();
    QString planDifferences(DifferencePlan& plan); // "" or why there is no analysis
    UncertaintySummary refuse(const QString& why);
    SensitivityRuns runDifferences(const DifferencePlan& plan);
    UncertaintyReport logUncertainty(const DifferencePlan& plan, const MatrixInverse& inversion);
    void storeInParameterTable(const DifferencePlan& plan, const UncertaintyReport& rep);
    void finishWorkbook(Workbook& book, const DifferencePlan& plan, const UncertaintyReport& rep,
                        const LongMatrix& V, const FitData& fit);
    // Their parts.
    QString stepsWithinBounds(DifferencePlan& plan);
    std::vector<RunOutcome> runAllAtOnce(const DifferencePlan& plan);
    EvaluationResult takeOutcome(RunOutcome& outcome);
    void takeBaseRun(const DifferencePlan& plan, std::vector<RunOutcome>& outcomes,
                     SensitivityRuns& runs);
    void takeParameterRuns(const DifferencePlan& plan, int j, std::vector<RunOutcome>& outcomes,
                           SensitivityRuns& runs, bool& atStart);
    void checkRun(const EvaluationResult& done, int run, bool lowered, int rowCount);
    void restoreStart(const DifferencePlan& plan);
    void stopIfRequested();
    [[noreturn]] void stopOnRequest();
    void addCovarianceSheet(Workbook& book, const DifferencePlan& plan,
                            const UncertaintyReport& rep, const LongMatrix& V);

    ParallelRuns* parallel = nullptr;
    UncertaintySummary out;
    QElapsedTimer clock;    // of the run going on
    QString protocolName;   // of the run going on
    bool buildBook = false; // the run going on makes a workbook (to save or keep)
    CalibrationSettings cfg;
    BatchOptions batch;
    Database& db;
    Evaluator& evaluator;
    Reporter& report;
    CriterionHistory history;
};
