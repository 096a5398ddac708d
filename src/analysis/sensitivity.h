#pragma once
// The sensitivity coefficients of the error criterion: one run at the initial
// values, one more per parameter raised by the step, and one arc elasticity per
// parameter in the log. The model's tables are backed up first and restored
// afterwards, also after an error or a stop.
#include "evaluation/report.h"
#include "evaluation/settings.h"

class Database;
class Evaluator;
class ParallelRuns;
class RunMarker;

struct SensitivitySummary : Summary {
    int ndim = 0;
    std::vector<double> criteria; // 0: the base run, i: parameter i raised
    std::vector<bool> complete;   // whether each of those runs completed
};

class SensitivityAnalysis {
  public:
    // runMarker: the marker of db that the backup takes and the restore gives up.
    SensitivityAnalysis(const CalibrationSettings& settings, Database& db, RunMarker& runMarker,
                        Evaluator& evaluator, Reporter& reporter);

    // Throws FitError for a step that is no number, an IVAL that is none, a stop
    // request and the errors of the runs; the tables are restored by then.
    SensitivitySummary run();

    // Makes the base run and the parameter runs at once on the workspaces of
    // `runs`, reported in the order of the parameters; null: one after the other.
    void setParallel(ParallelRuns* runs) { parallel = runs; }

  private:
    ParallelRuns* parallel = nullptr;
    // The runs at the initial values h and with each parameter raised by the
    // fraction x, one after another or in one round; their criteria into summary.
    void computeSensitivities(double x, SensitivitySummary& summary, ParameterVector& h);
    // AVAL := IVAL in every record; the IVALs, 1..ndim.
    ParameterVector initialValues();
    void stopIfRequested();
    void runInOneRound(double x, SensitivitySummary& summary, const ParameterVector& h,
                       std::vector<double>& y, std::vector<bool>& done);
    void runOneAfterAnother(double x, SensitivitySummary& summary, ParameterVector& h,
                            std::vector<double>& y, std::vector<bool>& done);
    // Run i's criterion and whether it completed; the best criterion so far.
    static void noteRun(SensitivitySummary& summary, std::vector<double>& y,
                        std::vector<bool>& done, int i, double value, bool ok);

    CalibrationSettings cfg;
    Database& db;
    RunMarker& runMarker;
    Evaluator& evaluator;
    Reporter& report;
};
