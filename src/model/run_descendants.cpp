#include "model/run_descendants.h"

#include "base/process_identity.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <set>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace run_descendants {

namespace {

const QByteArray kTag("FITMARA_RUN_TAG=");

// True when an entry of the environment is `entry`, or (prefix) begins with it.
bool environmentHolds(pid_t pid, const QByteArray& entry, bool prefix) {
    QFile f(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false; // gone, or not ours to read
    const QByteArray env = f.readAll();
    for (const QByteArray& e : env.split('\0'))
        if (prefix ? e.startsWith(entry) : e == entry)
            return true;
    return false;
}

std::set<pid_t> processesTagged(const QByteArray& entry, bool prefix) {
    std::set<pid_t> found;
    const pid_t self = ::getpid();
    const QStringList names = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& n : names) {
        bool ok = false;
        const pid_t pid = pid_t(n.toInt(&ok));
        if (ok && pid > 0 && pid != self && environmentHolds(pid, entry, prefix))
            found.insert(pid);
    }
    return found;
}

bool exists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

namespace {
bool isSubreaper = false;

// True while this program has a child of any kind (running, stopped, or ended
// and not reaped yet); none of them is reaped here.
bool hasChildren() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT) == 0 ||
           errno != ECHILD;
}
} // namespace

void becomeSubreaper() {
    static const bool done = [] {
#ifdef PR_SET_CHILD_SUBREAPER
        isSubreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
#endif
        return true;
    }();
    (void)done;
}

QByteArray newTagEntry() {
    static int runs = 0;
    return kTag + ownProcessIdentity() + '.' + QByteArray::number(++runs);
}

namespace {
int endMatching(const QByteArray& entry, bool prefix) {
    std::set<pid_t> ended;
    QElapsedTimer clock;
    clock.start();
    // A helper may start another while we look: scan until none is left.
    for (;;) {
        const std::set<pid_t> found = processesTagged(entry, prefix);
        for (pid_t pid : found)
            if (::kill(pid, SIGKILL) == 0)
                ended.insert(pid);
        if (found.empty() || clock.elapsed() > 2000)
            break;
        ::usleep(2000);
    }
    // Reap those that are (or, once their parents are gone, become) our
    // children; the others are their parents' to reap.
    while (clock.elapsed() < 3000) {
        bool waiting = false;
        for (pid_t pid : ended) {
            const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
            if (r == pid || !exists(pid))
                continue;
            waiting = waiting || r == 0 || (r < 0 && errno == ECHILD);
        }
        if (!waiting)
            break;
        ::usleep(2000);
    }
    return int(ended.size());
}
} // namespace

int endTagged(const QByteArray& tagEntry) {
    if (tagEntry.isEmpty())
        return 0;
    // Whatever a run started and left running has a parent that lives, or was
    // reparented to this program, the subreaper, when its parents ended. So
    // when this program has no child left (the usual end of a run that is not
    // one of several in parallel), nothing of the run lives on, and the look at
    // every process of the system (milliseconds on a busy machine, per run) is
    // spared.
    if (isSubreaper && !hasChildren())
        return 0;
    return endMatching(tagEntry, false);
}

int endRunsOfProgram(const QByteArray& programIdentity) {
    if (programIdentity.isEmpty() || identityRuns(programIdentity))
        return 0;
    return endMatching(kTag + programIdentity + '.', true);
}

} // namespace run_descendants
