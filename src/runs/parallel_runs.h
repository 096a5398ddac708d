#pragma once
// The parallel phases of an operation: rounds of model runs on a run pool,
// numbered on through the operation, watched for writes into the real database,
// with the number of runs going on told to the reporter.
#include "evaluation/report.h"
#include "runs/run_pool.h"

#include "paramdb/journal.h"

#include <QString>
#include <functional>

class ForeignWriteDetector;
class RunJournal;

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
    // With a run journal (setJournal), the runs take their running numbers from
    // it, and each run that was started gets its row as it ends (written during
    // the round, in the order of the vectors), in the journal's phase; or,
    // `provisional`, as speculative: the caller retakes (retake()) the rows of
    // the runs it uses once it knows what they were, as the search does.
    std::vector<RunOutcome> round(const std::vector<ParameterVector>& vectors, Reading reading,
                                  int pauseBeforeMs = 0, bool endOnFailure = true,
                                  bool provisional = false);
    // The same for tickets made by the caller; their running numbers are given here.
    std::vector<RunOutcome> round(std::vector<RunTicket> tickets, bool endOnFailure = true,
                                  bool provisional = false);

    // How long the rows of runs that ended wait during a round, so that runs
    // ending together are written in one commit.
    int journalDelayMs = 1000;

    // The run journal of the operation under way, asked at each round; it may
    // give none (null).
    void setJournal(std::function<RunJournal*()> source) { journalOf = std::move(source); }
    // Stages the row of one run of a round (nothing when no journal or when the
    // run was never started): the worker that made it, how it ended.
    void journalRun(const ParameterVector& vector, const RunOutcome& outcome, journal::Phase phase,
                    Reading reading = Reading::Criterion) const;
    RunJournal* journal() const { return journalOf ? journalOf() : nullptr; }
    // Replaces the provisional row of a run with one in `phase`, staged now:
    // the rows of the runs the search uses stand in the order it used them.
    void retake(const ParameterVector& vector, const RunOutcome& outcome, journal::Phase phase,
                Reading reading = Reading::Criterion) const;

    // The error of a run that could not be made, naming the folder it ran in.
    static QString failureText(const RunOutcome& outcome);
    // The closing line of the log: speculative runs not needed, the workspaces.
    QString closingLine(int speculativeRuns) const;

  private:
    // What a round tells the reporter: the stop question, the runs going on.
    RunRound roundCallbacks(bool endOnFailure);

    RunPool& pool;
    Reporter& report;
    ForeignWriteDetector* watch;
    int nextRun = 1;
    std::function<RunJournal*()> journalOf;
};
