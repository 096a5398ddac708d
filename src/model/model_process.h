#pragma once
// Starts an external program (the model through its run script, or the text
// editor) and tells when it has ended. Everything happens on the event-loop
// thread: the end of the program arrives as an event, so callers wait by
// processing events until `finished` becomes true (see waitForEnd()).
//
// For model runs the caller may also give the program variables of its own in
// its environment, a time limit, and a file for its output; after the end,
// runEnd() and endText() tell how the run ended. Several runners may be going
// at once in one event loop: each watches its program with its own descriptor
// and timers, and none of them blocks while a run is timed out.
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <sys/types.h>
#include <vector>

class QSocketNotifier;
class QTimer;

// How the last started program ended, as runEnd() tells it.
enum class RunEnd {
    NotEnded,    // nothing started yet, or still running
    StartFailed, // it could not be started (startError, errorString)
    Exited,      // it ended with an exit status (0: ended normally)
    Signalled,   // a signal ended it (a crash, or kill())
    TimedOut     // it ran longer than the time limit and was ended
};

class ModelProcess : public QObject {
    Q_OBJECT

  public:
    explicit ModelProcess(QObject* owner = nullptr);
    ~ModelProcess() override;

    // Working directory of the program; empty means our own.
    QString workingDirectory() const { return workingDir; }
    void setWorkingDirectory(const QString& dir) { workingDir = dir; }
    // The program, or the program followed by its first arguments.
    QString program() const { return programName; }
    void setProgram(const QString& name) { programName = name; }
    // Further arguments, separated by blanks.
    QString arguments() const { return argumentText; }
    void setArguments(const QString& parameters) { argumentText = parameters; }

    // True once the watched program has ended; false again at the next start.
    bool finished() const { return hasFinished; }
    // True while a started program is being watched.
    bool working() const { return isRunning; }
    // -1 after a successful start, the system's error number (errno) after a
    // failed one, 0 before any start.
    int startError() const { return startErrorCode; }
    // Process id of the last started program; -99 before any start.
    int processId() const { return childPid; }

    // The system's reason for the last failed start (with the program name);
    // empty after a successful one.
    QString errorString() const { return errorText; }
    // Raw wait status of the watched program once it has ended (as waitpid
    // reports it), -1 while unknown. Informational only.
    int exitStatus() const { return waitStatus; }

    // Variables added to the environment the program inherits from us (a name
    // given twice: the later value). Kept for every later start until changed.
    // A name that is empty or holds "=" is ignored.
    void setEnvironmentVariable(const QString& name, const QString& value);
    void clearEnvironmentVariables() { extraEnvironment.clear(); }
    // The environment the program inherits instead of ours (the variables above
    // are still added to it); for a program that must not see some of ours.
    void setBaseEnvironment(const QProcessEnvironment& env) {
        baseEnvironment = env;
        hasBaseEnvironment = true;
    }
    QList<QPair<QString, QString>> environmentVariables() const { return extraEnvironment; }

    // Time limit of a run in milliseconds; 0 (the default) means none. A run
    // still going at the limit is ended: its whole process group gets SIGTERM,
    // and SIGKILL when it has not ended `killGraceMs` later. It then ends as
    // RunEnd::TimedOut. Applies from the next start on.
    void setTimeoutMs(qint64 ms) { runTimeoutMs = ms < 0 ? 0 : ms; }
    qint64 timeoutMs() const { return runTimeoutMs; }
    void setKillGraceMs(int ms) { killGrace = ms < 0 ? 0 : ms; }
    int killGraceMs() const { return killGrace; }

    // File that receives the program's standard output and standard error,
    // replaced at each start; a relative path is taken from our working
    // directory, not the program's. Empty (the default): the program writes
    // where we write. A file that cannot be made is a failed start.
    void setOutputFile(const QString& path) { outputPath = path; }
    QString outputFile() const { return outputPath; }
    // The last `count` lines of the output file (see lastLines()).
    QStringList outputTail(int count = 20) const { return lastLines(outputPath, count); }

    // The last `count` lines of a text file, oldest first, without their line
    // breaks (a carriage return before a line break goes too). Reads only the
    // end of the file, at most `maxBytes` of it, so a huge log costs no more
    // than a small one; a line cut by that limit starts with "...". A missing
    // or unreadable file gives no lines.
    static QStringList lastLines(const QString& path, int count = 20, qint64 maxBytes = 65536);

    // How the last start ended; see RunEnd. Once ended, exit status or signal
    // (WIFEXITED and so on) are also in exitStatus().
    RunEnd runEnd() const { return howEnded; }
    // True when the program ended on its own with exit status 0.
    bool endedNormally() const;
    // The exit status or the signal as words: "exit status 3", "killed by
    // signal 9 (SIGKILL)"; empty while not ended. For the journal's field.
    QString statusText() const;
    // How the run ended, for messages: statusText(), or "timed out after 2 s
    // (killed by signal 15 (SIGTERM))", or "could not be started: <reason>".
    QString endText() const;
    // When the last successful start happened (UTC), and how long the run took
    // (milliseconds from start to the end being noticed; while it runs, so far).
    QDateTime startedAt() const { return startTime; }
    qint64 durationMs() const;

    // Starts the program described by the properties and returns at once. A
    // program still watched from an earlier call is left running (and reaped
    // when it ends); from now on only the new one is watched.
    void start();

    // Processes events until the watched program has ended; true then. False at
    // once when the last start failed, since nothing would ever end.
    bool waitForEnd();

    // Asks the watched program to end (SIGTERM), and forces it (SIGKILL) when it
    // has not ended within a short grace time (killGraceMs, at most 2 s). For
    // tests and shutdown.
    void kill();
    // Sends SIGTERM to the running program's group and returns at once; a
    // kill() that follows waits only for what is left of the grace. Several
    // runs stopped together so take one grace, not one each.
    void terminate();

  signals:
    // The watched program has ended (`finished` is true now).
    void ended();

  private:
    struct Watch {
        pid_t pid = -1;
        int pidfd = -1;
        QSocketNotifier* notifier = nullptr;
        // Timed out and asked to end: what is left of its process group is
        // killed when its leader ends.
        bool terminating = false;
    };

    void watch(pid_t pid);
    void checkWatches();
    void releaseWatch(Watch& w);
    void failStart(int error, const QString& program);
    bool resolveCommand(QString& program, QStringList& args);
    void timeoutExpired();
    void forceEnd(pid_t pid);

    QString workingDir;
    QString programName;
    QString argumentText;
    bool isRunning = false;
    bool hasFinished = false;
    qint32 startErrorCode = 0;
    int childPid = -99;
    QString errorText;
    int waitStatus = -1;
    QList<QPair<QString, QString>> extraEnvironment;
    QProcessEnvironment baseEnvironment;
    bool hasBaseEnvironment = false;
    qint64 runTimeoutMs = 0;
    int killGrace = 3000;
    QElapsedTimer termSentClock; // when terminate() sent SIGTERM to the current run
    // The environment entry that marks the processes of the current run (see
    // model/run_descendants.h): what still carries it when the run has ended is ended.
    QByteArray runTagEntry;
    QString outputPath;
    RunEnd howEnded = RunEnd::NotEnded;
    QDateTime startTime;
    QElapsedTimer runClock; // runs from the last successful start
    qint64 durationMillis = -1;
    QTimer* deadlineTimer = nullptr;

    // Started programs not yet reaped; the one whose pid is childPid (while
    // isRunning) is the watched one, the others are only reaped when they end.
    std::vector<Watch> watches;
    // Polls for ends where no process descriptor could be had.
    QTimer* pollTimer = nullptr;
};
