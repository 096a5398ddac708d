#pragma once
// The run journal: tables of our own in the user's database that record every
// operation (a calibration, a sensitivity or an uncertainty analysis) and every
// model run in it, so that users can query the history of their calibrations,
// and an interrupted calibration can be resumed by replaying its runs.
//
//   FITMARA_OPERATIONS  one row per operation
//     ID           INTEGER PRIMARY KEY
//     KIND         'calibration' | 'sensitivity' | 'uncertainty'
//     SETTINGS     the operation's settings, a JSON object (keys sorted)
//     PARAMETERS   PARM_INT as the operation started, without AVAL, ERROR and
//                  the r_k columns: a JSON array of one object per record
//     FINGERPRINT  SHA-256 (hex) of PARAMETERS
//     STARTED, ENDED  UTC, ISO 8601 with milliseconds ("2024-05-01T12:00:00.125Z");
//                  ENDED is NULL while it runs, and for ever when it was killed
//     OUTCOME      'finished' | 'stopped' | 'failed' | 'refused' (an analysis
//                  that could not be made); NULL: not ended
//     REASON       the error or stop message, for 'stopped' and 'failed'; why
//                  the analysis could not be made, for 'refused'
//     RESUMED      how many times it was resumed
//   FITMARA_RUNS  one row per model run (each try of a retried run its own)
//     ID, OPERATION_ID (FITMARA_OPERATIONS.ID)
//     RUN          running number in the operation, from 1 (FITMARA_RUN)
//     TRY          1, and 2, 3, ... for the retries of the same run
//     PHASE        'initial simplex' | 'search' | 'shrink' | 'speculative' |
//                  'sensitivity' | 'uncertainty' | and of the least-squares
//                  search 'start' | 'jacobian' | 'upgrade'; in a search of
//                  several starts or restarts the phase follows the one it
//                  belongs to: 'start 2: search', 'restart 1: shrink'
//     PARAMS       the parameter vector as the search used it, a JSON array of
//                  numbers written so that they read back exactly (the shortest
//                  text that does: 0.1, not 0.10000000000000001)
//     CRITERION    REAL; NULL when the run is not complete
//     COMPLETE     1 or 0
//     STATUS       'complete', or why not ("model run timed out after 60 s")
//     EXIT_STATUS  "exit status 0", "killed by signal 9 (SIGKILL)"; NULL when
//                  the model could not be started
//     STARTED      as above; DURATION in seconds
//     WORKER       the worker that ran it (0 when runs are not parallel)
//     OUTPUT       the last lines of the model's output, joined by line breaks
//     SIMULATED    of a complete run that read the simulated values of the
//                  chosen rows (ordered by observed value): those values, a
//                  JSON array as PARAMS; NULL otherwise. Added to older
//                  journals when they are opened.
//
// These tables are never model tables: they are not backed up, restored, or
// offered where the user picks a result table or a model table (see
// isJournalTable). Nothing here opens a transaction of its own: each call runs
// one or two statements, so recordRun() can go into the same transaction as
// the run's other writes (Database::inTransaction), and the journal never
// tells of a run whose writes were rolled back, nor misses one that was kept.
#include "paramdb/database.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace journal {

inline constexpr char kOperationsTable[] = "FITMARA_OPERATIONS";
inline constexpr char kRunsTable[] = "FITMARA_RUNS";

// True for the journal's tables and the table of values a backup keeps (any
// letter case). Lists of tables that offer result tables or model tables leave
// these out.
bool isJournalTable(const QString& table);
// `tables` without the journal's, order kept.
QStringList withoutJournalTables(const QStringList& tables);

enum class OperationKind { Calibration, Sensitivity, Uncertainty };
QString kindName(OperationKind kind); // "calibration", ...

enum class Phase {
    InitialSimplex,
    Search,
    Shrink,
    Speculative,
    Sensitivity,
    Uncertainty,
    Start,    // the least-squares search's start point
    Jacobian, // its difference runs
    Upgrade,  // its trial steps
};
QString phaseName(Phase phase); // "initial simplex", ...
std::optional<Phase> phaseFromName(const QString& name);

enum class Outcome { Finished, Stopped, Failed, Refused };
QString outcomeName(Outcome outcome); // "finished", ...

// One model run, as recordRun() stores it and completedRun() gives it back.
struct RunRecord {
    qint64 id = 0; // FITMARA_RUNS.ID; set when read back, ignored by recordRun
    qint64 operation = 0;
    int run = 0;     // running number in the operation, from 1
    int attempt = 1; // the try: 1, then 2, 3, ... for retries
    Phase phase = Phase::Search;
    // The start or restart of the search the run belongs to ("start 2",
    // "restart 1"); empty for a search of one start. PHASE is "stage: phase".
    QString stage;
    std::vector<double> x;           // the parameter values, as the search used them
    std::optional<double> criterion; // present when the run is complete
    bool complete = false;
    QString status;     // "complete", or why not
    QString exitStatus; // ModelProcess::statusText(); empty when it did not start
    QDateTime started;  // ModelProcess::startedAt(); invalid: now
    double durationSeconds = 0;
    int worker = 0;
    QString output;                // the last lines of the model's output
    std::vector<double> simulated; // SIMULATED; empty: NULL
};

// What findResumable() found.
struct ResumePoint {
    // The unfinished operation to resume; 0 when there is none that matches.
    qint64 operation = 0;
    QDateTime started;
    int completedRuns = 0; // rows of it whose criterion can be replayed
    int lastRun = 0;       // the highest run number it recorded (new runs go on from here)
    // When operation is 0 and an unfinished operation of the kind exists: what
    // differs between the latest one and now, in words ("the setting NMAX was
    // 200 and is 300 now"). Empty when there is no unfinished operation at all.
    QString difference;
    // Rows of the operation that claim a complete run but do not hold what a
    // run writes (a criterion that is text, empty or not finite, ...): one
    // entry each, "ID 17 (RUN 5: CRITERION 'abc')". They are not replayed.
    QStringList setAside;
};

// PARM_INT as the journal compares it: every record (in rowid order) as an
// object of its fields, without AVAL, ERROR and r_k, which the operations
// write. Numbers keep their exact value.
QJsonArray parmIntSnapshot(Database& db);
// SHA-256 (hex) of the snapshot's compact JSON.
QString fingerprint(const QJsonArray& snapshot);

class Journal {
  public:
    explicit Journal(Database& database) : db(database) {}

    // Creates the two tables and their index where they are missing. Raises
    // FitError when a table of the name exists with a layout we cannot use.
    void ensureTables();

    // A new operation row, started now, with the settings and the PARM_INT of
    // this moment; returns its ID.
    qint64 beginOperation(OperationKind kind, const QJsonObject& settings);
    // An unfinished operation goes on (resume): ENDED, OUTCOME and REASON are
    // cleared and RESUMED counts one more.
    void reopenOperation(qint64 operation);
    // ENDED := now, with the outcome and (for stopped and failed) the reason,
    // in one transaction with the staged runs; not to be called inside another
    // transaction.
    void endOperation(qint64 operation, Outcome outcome, const QString& reason = QString());

    // One row in FITMARA_RUNS; returns its ID. One INSERT, no transaction of
    // its own.
    qint64 recordRun(const RunRecord& run);

    // A run to be written with the operation's next write instead of in a
    // commit of its own: after a model run nothing else is written, and a
    // commit (a sync to the disk) costs more than the row. Stage the run when
    // it has ended; the next inTransaction() (the next run's write-back) or
    // endOperation() writes it. A process killed during the next model run has
    // then journaled every run that ended; one killed in the moment between a
    // run's end and the next write loses that run's row, and a resume runs it
    // again.
    void stageRun(const RunRecord& run) { staged.push_back(run); }
    int stagedRuns() const { return int(staged.size()); }
    // Takes back the rows of one run of the operation (every try): staged ones
    // are dropped, written ones deleted in the next inTransaction(). For a row
    // written before it was known what the run would be used for.
    void withdrawRun(qint64 operation, int run);
    // Rows staged or taken back, not yet written.
    bool hasPendingWrites() const { return !staged.empty() || !withdrawn.empty(); }
    // Database::inTransaction with the staged runs' rows written after work():
    // they are dropped from the stage once the transaction has committed, and
    // stay staged when it fails.
    template <typename Work> void inTransaction(Work&& work) {
        db.inTransaction([&] {
            work();
            writeStaged();
        });
        staged.clear();
        withdrawn.clear();
    }

    // The latest operation of the kind that did not finish (killed, crashed,
    // stopped, failed) whose settings and PARM_INT (AVAL, ERROR, r_k aside)
    // are the ones given and those of the database now.
    ResumePoint findResumable(OperationKind kind, const QJsonObject& settings);
    // The first complete run of the operation whose parameter values are
    // exactly `x` (bit for bit, -0 and 0 apart) and whose row holds what a run
    // writes (see ResumePoint::setAside). None for a vector holding a value
    // that is not finite.
    std::optional<RunRecord> completedRun(qint64 operation, const std::vector<double>& x);

    // The text PARAMS holds for a vector (exposed for tests and queries).
    static QString vectorText(const std::vector<double>& x);

  private:
    void writeStaged();

    Database& db;
    std::vector<RunRecord> staged;
    std::vector<std::pair<qint64, int>> withdrawn; // (operation, run) to delete
};

} // namespace journal
