#include "model/dvk_app_exec.h"

#include <QByteArray>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <cerrno>
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

int spawn(pid_t* pid, const QByteArray& program, const QList<QByteArray>& args,
          const QByteArray& workDir) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const QByteArray& a : args)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
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

    const int rc = ::posix_spawn(pid, program.constData(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

} // namespace

TdvkAppExec::TdvkAppExec(QObject* owner) : QObject(owner) {
    Ftimer = new QTimer(this);
    Ftimer->setInterval(10);
    connect(Ftimer, &QTimer::timeout, this, &TdvkAppExec::checkWatches);
}

TdvkAppExec::~TdvkAppExec() {
    for (Watch& w : watches) {
        const pid_t pid = w.pid;
        releaseWatch(w);
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == 0)
            orphans().push_back(pid);
    }
    watches.clear();
}

void TdvkAppExec::failStart(int error, const QString& program) {
    FResultCode = error;
    FErrorString =
        QStringLiteral("%1: %2").arg(program.isEmpty() ? QStringLiteral("(no program)") : program,
                                     QString::fromLocal8Bit(std::strerror(error)));
}

void TdvkAppExec::Execute() {
    reapOrphans();
    Fworking = false;
    Ffinished = false;
    FExitStatus = -1;
    FErrorString.clear();

    static const QRegularExpression blanks(QStringLiteral("[ \\t]+"));
    QString program;
    QStringList args;
    // A program file named as a whole may contain blanks; otherwise the command
    // line is the application name and the parameters, split on blanks.
    if (!FApplicationName.isEmpty() && QFileInfo(FApplicationName).isFile()) {
        program = QFileInfo(FApplicationName).absoluteFilePath();
        args = FParameters.split(blanks, Qt::SkipEmptyParts);
    } else {
        QStringList words =
            (FApplicationName + QLatin1Char(' ') + FParameters).split(blanks, Qt::SkipEmptyParts);
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

    const QByteArray workDir = QFile::encodeName(FCurrentDir);
    pid_t pid = -1;
    int rc = spawn(&pid, argv.front(), argv, workDir);
    if (rc == ENOEXEC && !viaShell) {
        // An executable script without a "#!" line: what a shell does with it.
        argv.prepend(shell);
        rc = spawn(&pid, shell, argv, workDir);
    }
    if (rc != 0) {
        failStart(rc, program);
        return;
    }

    FResultCode = -1;
    Fapid = pid;
    Fworking = true;
    watch(pid);
}

void TdvkAppExec::watch(pid_t pid) {
    Watch w;
    w.pid = pid;
    w.pidfd = openPidfd(pid);
    if (w.pidfd >= 0) {
        w.notifier = new QSocketNotifier(w.pidfd, QSocketNotifier::Read, this);
        connect(w.notifier, &QSocketNotifier::activated, this, &TdvkAppExec::checkWatches);
    } else if (!Ftimer->isActive()) {
        Ftimer->start();
    }
    watches.push_back(w);
    // A program that ended during the start is seen by the first poll or by
    // the descriptor being readable already; nothing to do here.
}

void TdvkAppExec::releaseWatch(Watch& w) {
    // The notifier goes before its descriptor is closed. Deleting it from its
    // own activation is safe: the notifier guards its emission.
    delete w.notifier;
    w.notifier = nullptr;
    if (w.pidfd >= 0)
        ::close(w.pidfd);
    w.pidfd = -1;
}

void TdvkAppExec::checkWatches() {
    bool watchedEnded = false;
    bool needPolling = false;
    for (auto it = watches.begin(); it != watches.end();) {
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
        }
        releaseWatch(*it);
        it = watches.erase(it);
    }
    if (!needPolling)
        Ftimer->stop();
    if (watchedEnded) {
        Fworking = false;
        Ffinished = true;
        emit ended();
    }
}

bool TdvkAppExec::waitForEnd() {
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

void TdvkAppExec::kill() {
    if (!Fworking)
        return;
    const pid_t pid = Fapid;
    auto hasEnded = [pid]() {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        // WNOWAIT: leave the reaping (and the state change) to checkWatches.
        if (::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return true;
        return info.si_pid == pid;
    };
    // The whole process group: a run script that did not exec its model would
    // otherwise leave the model running and writing after we have moved on.
    auto signalRun = [pid](int sig) {
        if (::kill(-pid, sig) != 0)
            ::kill(pid, sig);
    };
    signalRun(SIGTERM);
    for (int i = 0; i < 200 && !hasEnded(); ++i)
        ::usleep(10000);
    if (!hasEnded()) {
        signalRun(SIGKILL);
        siginfo_t info;
        while (::waitid(P_PID, pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
    }
    // What is left of the group goes too; the leader is not reaped yet, so its
    // id cannot have been given to another process.
    ::kill(-pid, SIGKILL);
    checkWatches();
}
