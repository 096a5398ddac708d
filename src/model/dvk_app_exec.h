#pragma once
// Starts an external program (the model through its run script, or the text
// editor) and tells when it has ended. Everything happens on the event-loop
// thread: the end of the program arrives as an event, so callers wait by
// processing events until `finished` becomes true (see waitForEnd()).
#include <QObject>
#include <QString>
#include <QtGlobal>
#include <sys/types.h>
#include <vector>

class QSocketNotifier;
class QTimer;

// How the started program's main window should be shown. Kept for the callers'
// settings; on this platform it is only a hint and does not change the start.
enum TsfShowType {
    sstHide,
    sstMinimize,
    sstRestore,
    sstShow,
    sstShowMaximized,
    sstShowMinimized,
    sstShowMinNoActive,
    sstShowNA,
    sstShowNoActivate,
    sstShowNormal
};

class TdvkAppExec : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString CurrentDir READ CurrentDir WRITE setCurrentDir)
    Q_PROPERTY(QString ApplicationName READ ApplicationName WRITE setApplicationName)
    Q_PROPERTY(QString Parameters READ Parameters WRITE setParameters)
    Q_PROPERTY(int ShowType READ showTypeOrdinal WRITE setShowTypeOrdinal)
    Q_PROPERTY(bool finished READ finished)
    Q_PROPERTY(bool working READ working)
    Q_PROPERTY(int ResultCode READ ResultCode)
    Q_PROPERTY(quint32 ExitCode READ ExitCode)

  public:
    explicit TdvkAppExec(QObject* owner = nullptr);
    ~TdvkAppExec() override;

    // Working directory of the program; empty means our own.
    QString CurrentDir() const { return FCurrentDir; }
    void setCurrentDir(const QString& dir) { FCurrentDir = dir; }
    // The program, or the program followed by its first arguments.
    QString ApplicationName() const { return FApplicationName; }
    void setApplicationName(const QString& name) { FApplicationName = name; }
    // Further arguments, separated by blanks.
    QString Parameters() const { return FParameters; }
    void setParameters(const QString& parameters) { FParameters = parameters; }
    TsfShowType ShowType() const { return FShowType; }
    void setShowType(TsfShowType type) { FShowType = type; }

    // True once the watched program has ended; false again at the next Execute.
    bool finished() const { return Ffinished; }
    // True while a started program is being watched.
    bool working() const { return Fworking; }
    // -1 after a successful start, the system's error number (errno) after a
    // failed one, 0 before any start.
    int ResultCode() const { return FResultCode; }
    // Always 0: the program's exit code is not part of the contract.
    quint32 ExitCode() const { return FExitCode; }
    // Process id of the last started program; -99 before any start.
    int apid() const { return Fapid; }

    // The system's reason for the last failed start (with the program name);
    // empty after a successful one.
    QString errorString() const { return FErrorString; }
    // Raw wait status of the watched program once it has ended (as waitpid
    // reports it), -1 while unknown. Informational only.
    int exitStatus() const { return FExitStatus; }

    // Starts the program described by the properties and returns at once. A
    // program still watched from an earlier call is left running (and reaped
    // when it ends); from now on only the new one is watched.
    void Execute();

    // Processes events until the watched program has ended; true then. False at
    // once when the last start failed, since nothing would ever end.
    bool waitForEnd();

    // Asks the watched program to end (SIGTERM), and forces it (SIGKILL) when it
    // has not ended within a short grace time. For tests and shutdown.
    void kill();

  signals:
    // The watched program has ended (`finished` is true now).
    void ended();

  private:
    struct Watch {
        pid_t pid = -1;
        int pidfd = -1;
        QSocketNotifier* notifier = nullptr;
    };

    int showTypeOrdinal() const { return static_cast<int>(FShowType); }
    void setShowTypeOrdinal(int ordinal) { FShowType = static_cast<TsfShowType>(ordinal); }

    void watch(pid_t pid);
    void checkWatches();
    void releaseWatch(Watch& w);
    void failStart(int error, const QString& program);

    QString FCurrentDir;
    QString FApplicationName;
    QString FParameters;
    TsfShowType FShowType = sstShowNormal;
    bool Fworking = false;
    bool Ffinished = false;
    qint32 FResultCode = 0;
    quint32 FExitCode = 0;
    int Fapid = -99;
    QString FErrorString;
    int FExitStatus = -1;

    // Started programs not yet reaped; the one whose pid is Fapid (while
    // Fworking) is the watched one, the others are only reaped when they end.
    std::vector<Watch> watches;
    // Polls for ends where no process descriptor could be had.
    QTimer* Ftimer = nullptr;
};
