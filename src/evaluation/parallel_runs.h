#pragma once
// The parallel phases of an operation: rounds of model runs on a run pool,
// numbered on through the operation, watched for writes into the real database,
// with the number of runs going on told to the reporter.
#include "evaluation/report.h"
#include "evaluation/run_pool.h"

#include <QString>

class ForeignWriteDetector;

class ParallelRuns {
  public:
    // watch: the real database, armed at the start of each round and asked at
    // its end; may be null (no watch).
    ParallelRuns(RunPool& pool, Reporter& reporter, ForeignWriteDetector* watch);

    int workers() const { return pool.size(); }

    // Runs one model run per vector, at most workers() at once, and returns the
    // outcomes in the order of the vectors. A stop request ends the round (see
    // runAll). Throws FitError when the real database was written during the
    // round: the run script does not use the database of its own folder.
    std::vector<RunOutcome> round(const std::vector<tfmatrix>& vectors, Reading reading,
                                  int pauseBeforeMs = 0, bool endOnFailure = true);
    // The same for tickets made by the caller; their running numbers are given here.
    std::vector<RunOutcome> round(std::vector<RunTicket> tickets, bool endOnFailure = true);

    // The error of a run that could not be made, naming the folder it ran in.
    static QString failureText(const RunOutcome& outcome);
    // The closing line of the log: speculative runs not needed, the workspaces.
    QString closingLine(int speculativeRuns) const;

  private:
    RunPool& pool;
    Reporter& report;
    ForeignWriteDetector* watch;
    int nextRun = 1;
};
