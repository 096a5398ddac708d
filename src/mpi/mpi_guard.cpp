#include "mpi/mpi_guard.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

// Everything in the guard is plain POSIX: it runs in a fork of the program
// before anything else has started.
QByteArray readAll(const char* path) {
    QByteArray out;
    const int f = ::open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0)
        return out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(f, buf, sizeof buf);
        if (n > 0)
            out.append(buf, n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(f);
    return out;
}

void signalAll(const std::vector<int>& pids, int sig) {
    const pid_t ownGroup = ::getpgrp();
    for (int pid : pids) {
        const pid_t group = ::getpgid(pid);
        if (group > 1 && group != ownGroup)
            ::kill(-group, sig);
        ::kill(pid, sig);
    }
}

[[noreturn]] void guard(int readFd) {
    // Out of the worker's process group, so that the launcher's signals to
    // the worker's group leave the guard to do its work; deaf to the terminal.
    ::setpgid(0, 0);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        ::signal(sig, SIG_IGN);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        for (int fd : {0, 1, 2})
            ::dup2(null, fd);
    }
    // Nothing else of the worker stays open here (the launcher's pipes above all).
    ::dup2(readFd, 3);
    ::close_range(4, ~0U, 0);

    QByteArray workspace;
    QByteArray pending;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(3, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the worker is gone
        pending.append(buf, n);
        qsizetype nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            workspace = pending.left(nl);
            pending.remove(0, nl + 1);
        }
    }
    if (!workspace.isEmpty()) {
        // A model the worker was starting in its last moment may not show the
        // workspace in its environment yet (between fork and exec): look again
        // after the grace, whether or not the first look found one.
        signalAll(processesOfWorkspace(workspace), SIGTERM);
        ::usleep(300000);
        signalAll(processesOfWorkspace(workspace), SIGKILL);
        ::usleep(100000);
        signalAll(processesOfWorkspace(workspace), SIGKILL);
    }
    ::_exit(0);
}

} // namespace

std::vector<int> processesOfWorkspace(const QByteArray& workspace) {
    std::vector<int> found;
    const QByteArray entry = "FITMARA_WORKSPACE=" + workspace;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return found;
    const pid_t self = ::getpid();
    while (dirent* d = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(d->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const QByteArray env =
            readAll(("/proc/" + QByteArray::number(pid) + "/environ").constData());
        for (const QByteArray& e : env.split('\0'))
            if (e == entry) {
                found.push_back(int(pid));
                break;
            }
    }
    ::closedir(proc);
    return found;
}

ModelGuard ModelGuard::start() {
    ModelGuard g;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return g;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[1]);
        guard(fds[0]);
    }
    ::close(fds[0]);
    if (pid < 0) {
        ::close(fds[1]);
        return g;
    }
    g.fd = fds[1];
    return g;
}

ModelGuard::~ModelGuard() {
    if (fd >= 0)
        ::close(fd);
}

void ModelGuard::watch(const QString& workspace) {
    if (fd < 0)
        return;
    const QByteArray line = workspace.toLocal8Bit() + '\n';
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}
