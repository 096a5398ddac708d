#pragma once
// What rank 0 and the worker ranks say to each other, as plain values, and their
// exact binary form. Nothing here needs MPI: the bytes go through MPI messages
// whose tag is the MessageKind.
//
// The bytes are a QDataStream of one fixed stream version, little-endian
// whatever the node, so that a cluster of mixed machines still agrees; doubles
// travel as their 64 bits, so a vector arrives bit for bit as it was sent
// (signed zeros, NaN payloads, subnormals). Every message starts with what it
// is and the transport protocol it was written in. Decoding is strict: a short,
// long, foreign or malformed message is a FitError saying why, never a
// half-filled value.
#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QtGlobal>

#include <vector>

// The MPI tag of each message.
enum class MessageKind : int {
    Setup = 1,           // rank 0 -> worker: WorkerSetup, make your workspace
    WorkspaceReady = 2,  // worker -> rank 0: WorkspaceInfo
    WorkspaceFailed = 3, // worker -> rank 0: WorkspaceFailure
    Run = 4,             // rank 0 -> worker: RunRequest
    Result = 5,          // worker -> rank 0: RunResult
    StopRun = 6,         // rank 0 -> worker: end the model of the current run (empty)
    Shutdown = 7,        // rank 0 -> worker: stop any run, then leave (empty)
    Goodbye = 8,         // worker -> rank 0: no model of mine runs any more; I am leaving (empty)
};
bool isMessageKind(int tag);
QString messageKindName(MessageKind kind);

// Which part of an operation a run belongs to; for the worker's own records.
enum class RunPhase : quint8 {
    InitialSimplex = 0,
    Search = 1,
    Shrink = 2,
    Sensitivity = 3,
    Uncertainty = 4,
};

struct RunRequest {
    qint64 run = 0;             // running number of the run (FITMARA_RUN)
    std::vector<double> vector; // the parameter vector exactly as the search holds it
    bool needModelValues = false;
    RunPhase phase = RunPhase::Search;
    int pauseBeforeMs = 0; // waited by the worker before the run (initial simplex vertices)
    bool needFit = false;  // also the rows observed against simulated (the workbook's fit sheet)
};

// One failed try of a run that was tried again (RR=), as the journal keeps it.
struct RunTryReport {
    QString incompleteReason;
    bool onlyMarks = false;
    QString failure;      // how the model ended when that tells more ("timed out after 2 s")
    QString output;       // the last lines the model wrote in that try
    QString exitStatus;   // "exit status 3", "killed by signal 9 (SIGKILL)"; "" not started
    qint64 startedMs = 0; // milliseconds since the epoch (UTC); 0 not started
    double durationSeconds = 0;
};

// One row of the fit: the index value (null, whole number, number or text),
// observed and simulated.
struct FitRow {
    enum class Index : quint8 { None = 0, Whole = 1, Number = 2, Text = 3 };
    Index kind = Index::None;
    qint64 whole = 0;
    double number = 0;
    QString text;
    double observed = 0;
    double simulated = 0;
};
// A fit row from the index value as the database gave it, and back.
FitRow fitRowOf(const QVariant& index, double observed, double simulated);
QVariant indexValue(const FitRow& row);

struct RunResult {
    qint64 run = 0; // the request's number
    double criterion = 0;
    bool complete = false;
    QString incompleteReason;        // why the run does not count, when !complete
    bool onlyMarks = false;          // incomplete only through rows still at -99
    std::vector<double> modelValues; // only when the request asked for them
    QString exitText;     // how the model's process ended ("exit status 0", "signal 9 (Killed)")
    QString outputTail;   // the last lines the model wrote
    QString node;         // host the run went on
    QString workspace;    // folder the run went in
    qint64 elapsedUs = 0; // the worker's wall time for the run
    QString error;        // the run's failure as the worker's evaluator reported it
    bool stopped = false; // a stop request ended the run
    // As the journal and the log need them: how the last try ended, when it
    // started and how long it took, what the model said, the tries before it.
    QString failure;    // how the model ended when that tells more ("timed out after 2 s")
    QString outputFile; // the model's output file in the workspace
    QString exitStatus; // "exit status 3"; "" when the model was not started
    qint64 startedMs = 0;
    double durationSeconds = 0;
    std::vector<RunTryReport> earlierTries;
    // The fit, when the request asked for it.
    std::vector<FitRow> fit;
    qint64 fitSkipped = 0;
};

// Everything a worker needs to make its workspace and to evaluate there: the
// run file and the database (absolute paths on a file system that every node
// sees), where the workspaces go, and the settings every run is evaluated with.
// A field added here is a field of the message: bump transportProtocol.
struct WorkerSetup {
    QString runFile;
    QString database;
    QString workFolder; // "" beside the database
    QString resultTable;
    QString condition;
    QString observedColumn;
    QString modelColumn;
    QString indexColumn;
    QString varianceColumn;
    int criterion = 1;
    int pauseAfterRunMs = 0;
    // As the settings hold it (seconds, 0: no limit): the worker's settings give
    // their runner runTimeoutMs() of it, as rank 0's give theirs.
    double runTimeoutS = 0;
    int retries = 0;
    bool operator==(const WorkerSetup&) const = default;
};
// Written into every message, and checked first when one is read: ranks built
// with different message layouts must not misread each other. Bumped whenever
// a message's layout changes.
constexpr quint16 transportProtocol = 4;

struct WorkspaceInfo {
    QString node;
    QString workspace;
    qint64 bytes = 0; // what the workspace holds on disk
};

struct WorkspaceFailure {
    QString node;
    QString message;
};

QByteArray encode(const RunRequest& request);
QByteArray encode(const RunResult& result);
QByteArray encode(const WorkerSetup& setup);
QByteArray encode(const WorkspaceInfo& info);
QByteArray encode(const WorkspaceFailure& failure);

// Each throws FitError when the bytes are not exactly one such value.
RunRequest decodeRunRequest(const QByteArray& bytes);
RunResult decodeRunResult(const QByteArray& bytes);
WorkerSetup decodeSetup(const QByteArray& bytes);
WorkspaceInfo decodeWorkspaceInfo(const QByteArray& bytes);
WorkspaceFailure decodeWorkspaceFailure(const QByteArray& bytes);
