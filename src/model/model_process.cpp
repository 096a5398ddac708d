#include "model/model_process.h"

#include "model/run_descendants.h"

#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Programs that were still running when the runner that started them went
// away. They are reaped at the next start of any runner, so none of them stays
// a zombie for long.
std::vector<pid_t>& orphans() {
    static std::vector<pid_t> list;
    return list;
}

void reapOrphans() {
    auto& list = orphans();
    for (auto it = list.begin(); it != list.end();) {
        const pid_t r = ::waitpid(*it, nullptr, WNOHANG);
        if (r == *it || (r < 0 && errno == ECHILD))
            it = list.erase(it);
        else
            ++it;
    }
}

// A descriptor that becomes readable when the process ends, so the end is
// noticed at once instead of at the next poll. -1 where the kernel has none.
int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    return fd >= 0 ? static_cast<int>(fd) : -1;
#else
    Q_UNUSED(pid);
    return -1;
#endif
}

// PATH search for a bare program name, as a shell would do it.
QString findInPath(const QString& name) {
    const QByteArray path = qgetenv("PATH");
    const QStringList dirs =
        QString::fromLocal8Bit(path.isEmpty() ? "/usr/bin:/bin" : path).split(QLatin1Char(':'));
    for (const QString& dir : dirs) {
        const QString candidate = (dir.isEmpty() ? QStringLiteral(".") : dir) + '/' + name;
        const QByteArray encoded = QFile::encodeName(candidate);
        if (QFileInfo(candidate).isFile() && ::access(encoded.constData(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// Our environment (or the base given instead) with the caller's variables added
// (replacing those of the same name), as the "NAME=value" strings the program gets.
QList<QByteArray> environmentFor(const QList<QPair<QString, QString>>& extra,
                                 const QProcessEnvironment* base) {
    QList<QByteArray> names;
    for (const auto& [name, value] : extra)
        names << name.toLocal8Bit();
    QList<QByteArray> inherited;
    if (base) {
        for (const QString& entry : base->toStringList())
            inherited << entry.toLocal8Bit();
    } else {
        for (char** e = environ; e && *e; ++e)
            inherited << QByteArray(*e);
    }
    QList<QByteArray> out;
    for (const QByteArray& entry : inherited) {
        const qsizetype eq = entry.indexOf('=');
        if (!names.contains(eq < 0 ? entry : entry.left(eq)))
            out << entry;
    }
    for (const auto& [name, value] : extra)
        out << name.toLocal8Bit() + '=' + value.toLocal8Bit();
    return out;
}

// Signal names as the shell's kill -l writes them, "SIGKILL".
QString signalName(int sig) {
    const char* abbrev = ::sigabbrev_np(sig);
    return abbrev ? QStringLiteral("SIG") + QString::fromLatin1(abbrev) : QStringLiteral("?");
}

// Seconds for messages: "2", "0.25".
QString seconds(qint64 ms) {
    return QString::number(double(ms) / 1000.0, 'g', 12);
}

// Signals the whole process group of a run; the leader alone when the group is
// gone already.
void signalGroup(pid_t pid, int sig) {
    if (::kill(-pid, sig) != 0)
        ::kill(pid, sig);
}

// True when the child has ended, without reaping it (its id stays ours).
bool hasEndedUnreaped(pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return true;
    return info.si_pid == pid;
}

int spawn(pid_t* pid, const QByteArray& program, const QList<QByteArray>& args,
          const QByteArray& workDir, const QList<QByteArray>& env, int outputFd) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const QByteArray& a : args)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);

    std::vector<char*> envp;
    envp.reserve(env.size() + 1);
    for (const QByteArray& e : env)
        envp.push_back(const_cast<char*>(e.constData()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
    }
    if (!workDir.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, workDir.constData());

    // The model must not inherit what our event loop blocked or ignored.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A process group of its own: Ctrl-C in our terminal asks us to stop after the
    // current model run instead of killing the model mid-write, and kill() can end
    // the whole run, also programs the run script started without exec.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);

    const int rc =
        ::posix_spawn(pid, program.constData(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

} // namespace

ModelProcess::ModelProcess(QObject* owner) : QObject(owner) {
    Ftimer = new QTimer(this);
    Ftimer->setInterval(10);
    connect(Ftimer, &QTimer::timeout, this, &ModelProcess::checkWatches);
    FdeadlineTimer = new QTimer(this);
    FdeadlineTimer->setSingleShot(true);
    FdeadlineTimer->setTimerType(Qt::PreciseTimer);
    connect(FdeadlineTimer, &QTimer::timeout, this, &ModelProcess::timeoutExpired);
}

ModelProcess::~ModelProcess() {
    for (Watch& w : watches) {
        const pid_t pid = w.pid;
        // A timed-out run is not left to finish its grace on its own.
        if (w.terminating)
            signalGroup(pid, SIGKILL);
        releaseWatch(w);
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == 0)
            orphans().push_back(pid);
    }
    watches.clear();
}

void ModelProcess::setEnvironmentVariable(const QString& name, const QString& value) {
    if (name.isEmpty() || name.contains(QLatin1Char('=')))
        return;
    for (auto& entry : Fenvironment) {
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    }
    Fenvironment.append({name, value});
}

void ModelProcess::failStart(int error, const QString& program) {
    FResultCode = error;
    FrunEnd = RunEnd::StartFailed;
    FErrorString =
        QStringLiteral("%1: %2").arg(program.isEmpty() ? QStringLiteral("(no program)") : program,
                                     QString::fromLocal8Bit(std::strerror(error)));
}

void ModelProcess::start() {
    reapOrphans();
    Fworking = false;
    Ffinished = false;
    FExitStatus = -1;
    FErrorString.clear();
    FrunEnd = RunEnd::NotEnded;
    FdurationMs = -1;
    FdeadlineTimer->stop();

    static const QRegularExpression blanks(QStringLiteral("[ \\t]+"));
    QString program;
    QStringList args;
    // A program file named as a whole may contain blanks; otherwise the command
    // line is the application name and the parameters, split on blanks.
    if (!FApplicationName.isEmpty() && QFileInfo(FApplicationName).isFile()) {
        program = QFileInfo(FApplicationName).absoluteFilePath();
        args = FArguments.split(blanks, Qt::SkipEmptyParts);
    } else {
        QStringList words =
            (FApplicationName + QLatin1Char(' ') + FArguments).split(blanks, Qt::SkipEmptyParts);
        if (words.isEmpty()) {
            failStart(ENOENT, QString());
            return;
        }
        program = words.takeFirst();
        args = words;
        if (program.contains(QLatin1Char('/'))) {
            // Relative to our directory, not to the program's new one.
            program = QFileInfo(program).absoluteFilePath();
        } else {
            const QString found = findInPath(program);
            if (found.isEmpty()) {
                failStart(ENOENT, program);
                return;
            }
            program = found;
        }
    }

    const QByteArray programBytes = QFile::encodeName(program);
    QList<QByteArray> argv;
    argv << programBytes;
    for (const QString& a : args)
        argv << a.toLocal8Bit();

    // Run scripts are often saved without the execute bit; the shell reads
    // them anyway.
    const bool viaShell =
        QFileInfo(program).isFile() && ::access(programBytes.constData(), X_OK) != 0;
    const QByteArray shell("/bin/sh");
    if (viaShell)
        argv.prepend(shell);

    // Opened here rather than in the child, so that a file that cannot be made
    // is reported as such and not as the program's fault.
    int outputFd = -1;
    if (!FoutputFile.isEmpty()) {
        const QByteArray out = QFile::encodeName(QFileInfo(FoutputFile).absoluteFilePath());
        outputFd = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outputFd < 0) {
            failStart(errno, QStringLiteral("output file %1").arg(FoutputFile));
            return;
        }
    }

    QList<QByteArray> env =
        environmentFor(Fenvironment, FhasBaseEnvironment ? &FbaseEnvironment : nullptr);
    // Helpers that leave the run's process group are found by this tag when
    // the run ends; helpers whose parents have gone are reparented to us.
    run_descendants::becomeSubreaper();
    FrunTag = run_descendants::newTagEntry();
    env << FrunTag;
    const QByteArray workDir = QFile::encodeName(FCurrentDir);
    pid_t pid = -1;
    int rc = spawn(&pid, argv.front(), argv, workDir, env, outputFd);
    if (rc == ENOEXEC && !viaShell) {
        // An executable script without a "#!" line: what a shell does with it.
        argv.prepend(shell);
        rc = spawn(&pid, shell, argv, workDir, env, outputFd);
    }
    if (outputFd >= 0)
        ::close(outputFd);
    if (rc != 0) {
        failStart(rc, program);
        return;
    }

    FResultCode = -1;
    Fapid = pid;
    Fworking = true;
    FtermSent.invalidate();
    FstartedAt = QDateTime::currentDateTimeUtc();
    Fclock.start();
    watch(pid);
    if (FtimeoutMs > 0)
        FdeadlineTimer->start(int(std::min<qint64>(FtimeoutMs, INT_MAX)));
}

void ModelProcess::timeoutExpired() {
    if (!Fworking)
        return;
    for (Watch& w : watches) {
        if (w.pid != Fapid || w.terminating)
            continue;
        w.terminating = true;
        signalGroup(w.pid, SIGTERM);
        const pid_t pid = w.pid;
        // Not a blocking wait: other runners' programs go on being watched
        // meanwhile.
        QTimer::singleShot(FkillGraceMs, Qt::PreciseTimer, this, [this, pid] { forceEnd(pid); });
        return;
    }
}

void ModelProcess::forceEnd(pid_t pid) {
    // Only while it is still ours, unreaped: then its id cannot have been
    // given to another process.
    for (const Watch& w : watches)
        if (w.pid == pid)
            signalGroup(pid, SIGKILL);
}

bool ModelProcess::endedNormally() const {
    return FrunEnd == RunEnd::Exited && WIFEXITED(FExitStatus) && WEXITSTATUS(FExitStatus) == 0;
}

QString ModelProcess::statusText() const {
    if (FrunEnd == RunEnd::NotEnded || FrunEnd == RunEnd::StartFailed)
        return {};
    if (FExitStatus == -1)
        return QStringLiteral("exit status unknown");
    if (WIFEXITED(FExitStatus))
        return QStringLiteral("exit status %1").arg(WEXITSTATUS(FExitStatus));
    if (WIFSIGNALED(FExitStatus)) {
        const int sig = WTERMSIG(FExitStatus);
        return QStringLiteral("killed by signal %1 (%2)").arg(sig).arg(signalName(sig));
    }
    return QStringLiteral("wait status %1").arg(FExitStatus);
}

QString ModelProcess::endText() const {
    switch (FrunEnd) {
    case RunEnd::NotEnded:
        return {};
    case RunEnd::StartFailed:
        return QStringLiteral("could not be started: %1").arg(FErrorString);
    case RunEnd::TimedOut:
        return QStringLiteral("timed out after %1 s (%2)").arg(seconds(FtimeoutMs), statusText());
    case RunEnd::Exited:
    case RunEnd::Signalled:
        break;
    }
    return statusText();
}

qint64 ModelProcess::durationMs() const {
    if (FdurationMs >= 0)
        return FdurationMs;
    return Fworking ? Fclock.elapsed() : 0;
}

QStringList ModelProcess::lastLines(const QString& path, int count, qint64 maxBytes) {
    QStringList out;
    if (count <= 0 || path.isEmpty())
        return out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const qint64 size = f.size();
    if (size <= 0)
        return out;
    const qint64 first = size - std::min(size, std::max<qint64>(maxBytes, 1));
    // Read backwards in blocks until what was read holds `count` line breaks
    // (a break at the very end of the file ends the last line and does not
    // count): then its last `count` pieces are whole lines.
    QByteArray tail;
    qint64 pos = size;
    qsizetype breaks = 0;
    while (pos > first && breaks < count) {
        const qint64 block = std::min<qint64>(8192, pos - first);
        pos -= block;
        if (!f.seek(pos))
            return out;
        const QByteArray chunk = f.read(block);
        if (chunk.size() != block)
            return out;
        breaks += chunk.count('\n');
        if (pos + block == size && chunk.endsWith('\n'))
            --breaks;
        tail.prepend(chunk);
    }
    if (tail.endsWith('\n'))
        tail.chop(1);
    QList<QByteArray> lines = tail.split('\n');
    if (lines.size() > count) {
        lines = lines.mid(lines.size() - count);
    } else if (pos > 0) {
        // Stopped by the byte limit: the first piece is a whole line only when
        // a line break comes just before it.
        char before = 0;
        if (!f.seek(pos - 1) || !f.getChar(&before) || before != '\n')
            lines.front().prepend("...");
    }
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        out << QString::fromLocal8Bit(line);
    }
    return out;
}

void ModelProcess::watch(pid_t pid) {
    Watch w;
    w.pid = pid;
    w.pidfd = openPidfd(pid);
    if (w.pidfd >= 0) {
        w.notifier = new QSocketNotifier(w.pidfd, QSocketNotifier::Read, this);
        connect(w.notifier, &QSocketNotifier::activated, this, &ModelProcess::checkWatches);
    } else if (!Ftimer->isActive()) {
        Ftimer->start();
    }
    watches.push_back(w);
    // A program that ended during the start is seen by the first poll or by
    // the descriptor being readable already; nothing to do here.
}

void ModelProcess::releaseWatch(Watch& w) {
    // The notifier goes before its descriptor is closed. Deleting it from its
    // own activation is safe: the notifier guards its emission.
    delete w.notifier;
    w.notifier = nullptr;
    if (w.pidfd >= 0)
        ::close(w.pidfd);
    w.pidfd = -1;
}

void ModelProcess::checkWatches() {
    bool watchedEnded = false;
    bool needPolling = false;
    for (auto it = watches.begin(); it != watches.end();) {
        // What a timed-out run's script started and left behind goes with it;
        // the leader, ended but not reaped yet, keeps the group's id ours.
        if (it->terminating && hasEndedUnreaped(it->pid))
            signalGroup(it->pid, SIGKILL);
        int status = 0;
        const pid_t r = ::waitpid(it->pid, &status, WNOHANG);
        const bool gone = r == it->pid || (r < 0 && errno == ECHILD);
        if (!gone) {
            needPolling = needPolling || it->pidfd < 0;
            ++it;
            continue;
        }
        if (Fworking && it->pid == Fapid) {
            watchedEnded = true;
            FExitStatus = r == it->pid ? status : -1;
            if (it->terminating)
                FrunEnd = RunEnd::TimedOut;
            else if (r == it->pid && WIFSIGNALED(status))
                FrunEnd = RunEnd::Signalled;
            else
                FrunEnd = RunEnd::Exited;
        }
        releaseWatch(*it);
        it = watches.erase(it);
    }
    if (!needPolling)
        Ftimer->stop();
    if (watchedEnded) {
        FdurationMs = Fclock.elapsed();
        // The run is over: whatever it started and left running goes too, so
        // that nothing of it holds the database or the workspace any more.
        run_descendants::endTagged(FrunTag);
        FrunTag.clear();
        FdeadlineTimer->stop();
        Fworking = false;
        Ffinished = true;
        emit ended();
    }
}

bool ModelProcess::waitForEnd() {
    QEventLoop loop;
    // A start from an event handled meanwhile may fail; then nothing would
    // ever end, so that ends the wait as well.
    while (!Ffinished) {
        if (FResultCode != -1)
            return false;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void ModelProcess::terminate() {
    if (!Fworking || FtermSent.isValid())
        return;
    signalGroup(Fapid, SIGTERM);
    FtermSent.start();
}

void ModelProcess::kill() {
    if (!Fworking)
        return;
    const pid_t pid = Fapid;
    // WNOWAIT: the reaping (and the state change) is left to checkWatches.
    auto hasEnded = [pid]() { return hasEndedUnreaped(pid); };
    // The whole process group: a run script that did not exec its model would
    // otherwise leave the model running and writing after we have moved on.
    if (!FtermSent.isValid()) {
        signalGroup(pid, SIGTERM);
        FtermSent.start();
    }
    const qint64 graceMs = std::min(FkillGraceMs, 2000);
    while (FtermSent.elapsed() < graceMs && !hasEnded())
        ::usleep(10000);
    if (!hasEnded()) {
        signalGroup(pid, SIGKILL);
        siginfo_t info;
        while (::waitid(P_PID, pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
    }
    // What is left of the group goes too; the leader is not reaped yet, so its
    // id cannot have been given to another process.
    ::kill(-pid, SIGKILL);
    checkWatches();
}
