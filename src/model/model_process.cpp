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
    pollTimer = new QTimer(this);
    pollTimer->setInterval(10);
    connect(pollTimer, &QTimer::timeout, this, &ModelProcess::checkWatches);
    deadlineTimer = new QTimer(this);
    deadlineTimer->setSingleShot(true);
    deadlineTimer->setTimerType(Qt::PreciseTimer);
    connect(deadlineTimer, &QTimer::timeout, this, &ModelProcess::timeoutExpired);
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
    for (auto& entry : extraEnvironment) {
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    }
    extraEnvironment.append({name, value});
}

void ModelProcess::failStart(int error, const QString& program) {
    startErrorCode = error;
    howEnded = RunEnd::StartFailed;
    errorText =
        QStringLiteral("%1: %2").arg(program.isEmpty() ? QStringLiteral("(no program)") : program,
                                     QString::fromLocal8Bit(std::strerror(error)));
}

// The program to start and its arguments: a program file named as a whole may
// contain blanks; otherwise the command line is the program's name and the
// arguments, split on blanks, and a bare name is looked up on PATH. False (the
// start failed, as reported) when there is nothing to start.
bool ModelProcess::resolveCommand(QString& program, QStringList& args) {
    static const QRegularExpression blanks(QStringLiteral("[ \\t]+"));
    if (!programName.isEmpty() && QFileInfo(programName).isFile()) {
        program = QFileInfo(programName).absoluteFilePath();
        args = argumentText.split(blanks, Qt::SkipEmptyParts);
    } else {
        QStringList words =
            (programName + QLatin1Char(' ') + argumentText).split(blanks, Qt::SkipEmptyParts);
        if (words.isEmpty()) {
            failStart(ENOENT, QString());
            return false;
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
                return false;
            }
            program = found;
        }
    }

    return true;
}

void ModelProcess::start() {
    reapOrphans();
    isRunning = false;
    hasFinished = false;
    waitStatus = -1;
    errorText.clear();
    howEnded = RunEnd::NotEnded;
    durationMillis = -1;
    deadlineTimer->stop();

    QString program;
    QStringList args;
    if (!resolveCommand(program, args))
        return;

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
    if (!outputPath.isEmpty()) {
        const QByteArray out = QFile::encodeName(QFileInfo(outputPath).absoluteFilePath());
        outputFd = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outputFd < 0) {
            failStart(errno, QStringLiteral("output file %1").arg(outputPath));
            return;
        }
    }

    QList<QByteArray> env =
        environmentFor(extraEnvironment, hasBaseEnvironment ? &baseEnvironment : nullptr);
    // Helpers that leave the run's process group are found by this tag when
    // the run ends; helpers whose parents have gone are reparented to us.
    run_descendants::becomeSubreaper();
    runTagEntry = run_descendants::newTagEntry();
    env << runTagEntry;
    const QByteArray workDir = QFile::encodeName(workingDir);
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

    startErrorCode = -1;
    childPid = pid;
    isRunning = true;
    termSentClock.invalidate();
    startTime = QDateTime::currentDateTimeUtc();
    runClock.start();
    watch(pid);
    if (runTimeoutMs > 0)
        deadlineTimer->start(int(std::min<qint64>(runTimeoutMs, INT_MAX)));
}

void ModelProcess::timeoutExpired() {
    if (!isRunning)
        return;
    for (Watch& w : watches) {
        if (w.pid != childPid || w.terminating)
            continue;
        w.terminating = true;
        signalGroup(w.pid, SIGTERM);
        const pid_t pid = w.pid;
        // Not a blocking wait: other runners' programs go on being watched
        // meanwhile.
        QTimer::singleShot(killGrace, Qt::PreciseTimer, this, [this, pid] { forceEnd(pid); });
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
    return howEnded == RunEnd::Exited && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

QString ModelProcess::statusText() const {
    if (howEnded == RunEnd::NotEnded || howEnded == RunEnd::StartFailed)
        return {};
    if (waitStatus == -1)
        return QStringLiteral("exit status unknown");
    if (WIFEXITED(waitStatus))
        return QStringLiteral("exit status %1").arg(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus)) {
        const int sig = WTERMSIG(waitStatus);
        return QStringLiteral("killed by signal %1 (%2)").arg(sig).arg(signalName(sig));
    }
    return QStringLiteral("wait status %1").arg(waitStatus);
}

QString ModelProcess::endText() const {
    switch (howEnded) {
    case RunEnd::NotEnded:
        return {};
    case RunEnd::StartFailed:
        return QStringLiteral("could not be started: %1").arg(errorText);
    case RunEnd::TimedOut:
        return QStringLiteral("timed out after %1 s (%2)").arg(seconds(runTimeoutMs), statusText());
    case RunEnd::Exited:
    case RunEnd::Signalled:
        break;
    }
    return statusText();
}

qint64 ModelProcess::durationMs() const {
    if (durationMillis >= 0)
        return durationMillis;
    return isRunning ? runClock.elapsed() : 0;
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
    } else if (!pollTimer->isActive()) {
        pollTimer->start();
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
        if (isRunning && it->pid == childPid) {
            watchedEnded = true;
            waitStatus = r == it->pid ? status : -1;
            if (it->terminating)
                howEnded = RunEnd::TimedOut;
            else if (r == it->pid && WIFSIGNALED(status))
                howEnded = RunEnd::Signalled;
            else
                howEnded = RunEnd::Exited;
        }
        releaseWatch(*it);
        it = watches.erase(it);
    }
    if (!needPolling)
        pollTimer->stop();
    if (watchedEnded) {
        durationMillis = runClock.elapsed();
        // The run is over: whatever it started and left running goes too, so
        // that nothing of it holds the database or the workspace any more.
        run_descendants::endTagged(runTagEntry);
        runTagEntry.clear();
        deadlineTimer->stop();
        isRunning = false;
        hasFinished = true;
        emit ended();
    }
}

bool ModelProcess::waitForEnd() {
    QEventLoop loop;
    // A start from an event handled meanwhile may fail; then nothing would
    // ever end, so that ends the wait as well.
    while (!hasFinished) {
        if (startErrorCode != -1)
            return false;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void ModelProcess::terminate() {
    if (!isRunning || termSentClock.isValid())
        return;
    signalGroup(childPid, SIGTERM);
    termSentClock.start();
}

void ModelProcess::kill() {
    if (!isRunning)
        return;
    const pid_t pid = childPid;
    // WNOWAIT: the reaping (and the state change) is left to checkWatches.
    auto hasEnded = [pid]() { return hasEndedUnreaped(pid); };
    // The whole process group: a run script that did not exec its model would
    // otherwise leave the model running and writing after we have moved on.
    if (!termSentClock.isValid()) {
        signalGroup(pid, SIGTERM);
        termSentClock.start();
    }
    const qint64 graceMs = std::min(killGrace, 2000);
    while (termSentClock.elapsed() < graceMs && !hasEnded())
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
