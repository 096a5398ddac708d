#include "model/run_descendants.h"

#include "base/process_identity.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <optional>
#include <set>
#include <vector>
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

// The numbers of the entries of a /proc folder that are numbers.
std::vector<pid_t> numberedEntries(const QString& folder) {
    std::vector<pid_t> out;
    for (const QString& n : QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const pid_t pid = pid_t(n.toInt(&ok));
        if (ok && pid > 0)
            out.push_back(pid);
    }
    return out;
}

// Every process of the system.
std::vector<pid_t> allProcesses() {
    return numberedEntries(QStringLiteral("/proc"));
}

// The processes below this program: its children, theirs, and so on, from the
// children lists the kernel keeps per thread (a child reparented to this
// program, the subreaper, may hang below any of its threads). Nothing where
// the kernel keeps no such lists.
std::optional<std::vector<pid_t>> processesBelowSelf() {
    const pid_t self = ::getpid();
    if (!QFile::exists(QStringLiteral("/proc/%1/task/%1/children").arg(self)))
        return std::nullopt;
    std::vector<pid_t> below;
    std::set<pid_t> seen{self};
    std::vector<pid_t> parents{self};
    while (!parents.empty()) {
        const pid_t parent = parents.back();
        parents.pop_back();
        for (pid_t task : numberedEntries(QStringLiteral("/proc/%1/task").arg(parent))) {
            QFile f(QStringLiteral("/proc/%1/task/%2/children").arg(parent).arg(task));
            if (!f.open(QIODevice::ReadOnly))
                continue; // ended meanwhile
            for (const QByteArray& n : f.readAll().split(' ')) {
                bool ok = false;
                const pid_t child = pid_t(n.trimmed().toInt(&ok));
                if (ok && child > 0 && seen.insert(child).second) {
                    below.push_back(child);
                    parents.push_back(child);
                }
            }
        }
    }
    return below;
}

std::set<pid_t> processesTagged(const std::vector<pid_t>& among, const QByteArray& entry,
                                bool prefix) {
    std::set<pid_t> found;
    const pid_t self = ::getpid();
    for (pid_t pid : among)
        if (pid != self && environmentHolds(pid, entry, prefix))
            found.insert(pid);
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
// Kills the processes whose environment holds `entry`: among those below this
// program only (belowOnly), or among all of the system.
int endMatching(const QByteArray& entry, bool prefix, bool belowOnly) {
    std::set<pid_t> ended;
    QElapsedTimer clock;
    clock.start();
    // A helper may start another while we look: scan until none is left.
    for (;;) {
        std::optional<std::vector<pid_t>> among;
        if (belowOnly)
            among = processesBelowSelf();
        const std::set<pid_t> found =
            processesTagged(among ? *among : allProcesses(), entry, prefix);
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
    // Otherwise only the processes below this program are looked at, for the
    // same reason: on a node of a cluster they are a few among hundreds.
    if (isSubreaper && !hasChildren())
        return 0;
    return endMatching(tagEntry, false, isSubreaper);
}

int endRunsOfProgram(const QByteArray& programIdentity) {
    if (programIdentity.isEmpty() || identityRuns(programIdentity))
        return 0;
    // The runs of a program that ended are no longer below this one.
    return endMatching(kTag + programIdentity + '.', true, false);
}

} // namespace run_descendants
