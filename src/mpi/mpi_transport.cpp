#include "mpi/mpi_transport.h"

#include "base/fit_error.h"
#include "mpi/mpi_world.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <iterator>
#include <list>
#include <unistd.h>

// Sends and receives the byte messages of one rank without ever blocking.
// Arrived messages are handed over from a queued call, not from the timer's
// own slot: a handler that waits in a nested event loop (a worker's run, a
// pool's owner waiting for more results) then still gets the timer's ticks,
// since Qt never fires a timer again while its slot is still running.
class MpiMailbox {
  public:
    using Deliver = std::function<void(int source, MessageKind kind, const QByteArray& payload)>;
    using Fail = std::function<void(const QString& message)>;

    MpiMailbox(QObject* context, PollTiming pollTiming, Deliver onMessage, Fail onFailure)
        : owner(context), timing(pollTiming), deliver(std::move(onMessage)),
          fail(std::move(onFailure)) {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, owner, [this] { poll(); });
    }

    ~MpiMailbox() {
        // Requests still pending belong to a job that is ending; let MPI drop them.
        for (Pending& p : pending)
            MPI_Request_free(&p.request);
    }

    void send(int dest, MessageKind kind, const QByteArray& payload) {
        pending.push_back({payload, MPI_REQUEST_NULL});
        Pending& p = pending.back();
        checkMpi(MPI_Isend(p.bytes.constData(), int(p.bytes.size()), MPI_BYTE, dest, int(kind),
                           MPI_COMM_WORLD, &p.request),
                 "MPI_Isend");
        progressSends();
        wake();
    }

    // Whether to look for messages: off while nothing is expected.
    void setWanted(bool on) {
        wanted = on;
        if (wanted || !pending.empty()) {
            if (!timer.isActive())
                wake();
        } else {
            timer.stop();
        }
    }

    bool sendsPending() const { return !pending.empty(); }

    // For leaving: waits until MPI has taken every message sent (short, the
    // other side reads all the time); false when it did not within timeoutMs.
    bool flushSends(int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        while (!pending.empty()) {
            progressSends();
            if (pending.empty())
                break;
            if (clock.elapsed() > timeoutMs)
                return false;
            ::usleep(1000);
        }
        return true;
    }

  private:
    struct Pending {
        QByteArray bytes; // kept untouched until MPI is done with it
        MPI_Request request;
    };

    void wake() {
        interval = timing.minMs;
        quiet.start();
        timer.start(interval);
    }

    void progressSends() {
        for (auto it = pending.begin(); it != pending.end();) {
            int done = 0;
            checkMpi(MPI_Test(&it->request, &done, MPI_STATUS_IGNORE), "MPI_Test");
            it = done ? pending.erase(it) : std::next(it);
        }
    }

    void poll() {
        bool got = false;
        try {
            progressSends();
            for (;;) {
                int flag = 0;
                MPI_Message message;
                MPI_Status status;
                checkMpi(MPI_Improbe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &flag, &message,
                                     &status),
                         "MPI_Improbe");
                if (!flag)
                    break;
                int count = 0;
                checkMpi(MPI_Get_count(&status, MPI_BYTE, &count), "MPI_Get_count");
                QByteArray bytes(count, Qt::Uninitialized);
                checkMpi(MPI_Mrecv(bytes.data(), count, MPI_BYTE, &message, &status), "MPI_Mrecv");
                if (!isMessageKind(status.MPI_TAG))
                    throw FitError(QStringLiteral("Rank %1 sent a message of unknown kind %2.")
                                       .arg(status.MPI_SOURCE)
                                       .arg(status.MPI_TAG));
                arrived.push_back({status.MPI_SOURCE, MessageKind(status.MPI_TAG), bytes});
                got = true;
            }
        } catch (const FitError& e) {
            timer.stop();
            wanted = false;
            fail(e.message());
            return;
        }
        if (got && !deliveryQueued) {
            deliveryQueued = true;
            QMetaObject::invokeMethod(
                owner, [this] { deliverArrived(); }, Qt::QueuedConnection);
        }
        if (got) {
            interval = timing.minMs;
            quiet.start();
        } else {
            interval = std::min(interval * 2, timing.maxMs);
            // A long wait (a model run of minutes, a worker without work): a
            // probe costs tens of microseconds with its timer, 200 of them per
            // second would cost a model on the same node a percent of a core.
            if (timing.idleMaxMs > timing.maxMs && quiet.isValid())
                interval =
                    int(std::clamp<qint64>(quiet.elapsed() / 80, interval, timing.idleMaxMs));
        }
        if (wanted || !pending.empty())
            timer.start(interval);
    }

    void deliverArrived() {
        deliveryQueued = false;
        while (!arrived.empty()) {
            Arrived a = std::move(arrived.front());
            arrived.pop_front();
            deliver(a.source, a.kind, a.payload);
        }
    }

    struct Arrived {
        int source;
        MessageKind kind;
        QByteArray payload;
    };

    QObject* owner;
    PollTiming timing;
    Deliver deliver;
    Fail fail;
    QTimer timer;
    int interval = 1;
    QElapsedTimer quiet; // since the last message that came or went
    bool wanted = false;
    bool deliveryQueued = false;
    std::list<Pending> pending; // a list: the buffers must not move
    std::deque<Arrived> arrived;
};

// ---------------------------------------------------------------------------
// Rank 0

RemoteWorkerPool::RemoteWorkerPool(MpiWorld& job, PollTiming timing, QObject* parent)
    : QObject(parent), world(job), workers(std::size_t(std::max(0, job.size() - 1))) {
    mailbox = std::make_unique<MpiMailbox>(
        this, timing,
        [this](int source, MessageKind kind, const QByteArray& payload) {
            receive(source, kind, payload);
        },
        [this](const QString& message) { fail(message); });
}

RemoteWorkerPool::~RemoteWorkerPool() {
    if (!shutDown)
        endAll(1, 10000);
}

int RemoteWorkerPool::freeWorkerCount() const {
    return int(std::count_if(workers.begin(), workers.end(),
                             [](const Worker& w) { return w.state == State::Idle; }));
}

int RemoteWorkerPool::runningCount() const {
    return int(std::count_if(workers.begin(), workers.end(), [](const Worker& w) {
        return w.state == State::Busy || w.state == State::Stopping;
    }));
}

WorkspaceInfo RemoteWorkerPool::workspaceOf(int rank) const {
    return worker(rank).info;
}

void RemoteWorkerPool::updatePolling() {
    const bool expecting = std::any_of(workers.begin(), workers.end(), [](const Worker& w) {
        return w.state == State::SettingUp || w.state == State::Busy ||
               w.state == State::Stopping || w.state == State::Leaving;
    });
    mailbox->setWanted(expecting && failure.isEmpty());
}

void RemoteWorkerPool::fail(const QString& message) {
    if (!failure.isEmpty())
        return;
    failure = message;
    updatePolling();
    emit failed(message);
}

bool RemoteWorkerPool::waitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(std::max(0, timeoutMs));
    QEventLoop loop;
    while (!done() && failure.isEmpty() && clock.elapsed() < timeoutMs)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

QList<WorkspaceInfo> RemoteWorkerPool::setUpWorkspaces(const WorkerSetup& setup, int timeoutMs) {
    const QByteArray bytes = encode(setup);
    for (int rank = 1; rank <= workerCount(); ++rank) {
        worker(rank).state = State::SettingUp;
        mailbox->send(rank, MessageKind::Setup, bytes);
    }
    updatePolling();
    waitFor(
        [this] {
            return std::none_of(workers.begin(), workers.end(),
                                [](const Worker& w) { return w.state == State::SettingUp; });
        },
        timeoutMs);
    if (!failure.isEmpty())
        throw FitError(failure);

    QStringList problems;
    QList<WorkspaceInfo> infos;
    for (int rank = 1; rank <= workerCount(); ++rank) {
        const Worker& w = worker(rank);
        if (w.state == State::Failed)
            problems << QStringLiteral("worker %1 on %2: %3").arg(rank).arg(w.info.node, w.message);
        else if (w.state == State::SettingUp)
            problems << QStringLiteral("worker %1 did not answer within %2 s")
                            .arg(rank)
                            .arg(timeoutMs / 1000.0);
        infos << w.info;
    }
    if (!problems.isEmpty())
        throw FitError(QStringLiteral("Not every worker could make its workspace:\n") +
                       problems.join(QLatin1Char('\n')));
    return infos;
}

int RemoteWorkerPool::start(const RunRequest& request) {
    if (!failure.isEmpty())
        throw FitError(failure);
    for (int rank = 1; rank <= workerCount(); ++rank) {
        Worker& w = worker(rank);
        if (w.state != State::Idle)
            continue;
        w.state = State::Busy;
        w.run = request.run;
        mailbox->send(rank, MessageKind::Run, encode(request));
        updatePolling();
        return rank;
    }
    throw FitError(QStringLiteral("Run %1 was started with no worker free.").arg(request.run));
}

void RemoteWorkerPool::stopAll() {
    for (int rank = 1; rank <= workerCount(); ++rank) {
        Worker& w = worker(rank);
        if (w.state != State::Busy)
            continue;
        w.state = State::Stopping;
        mailbox->send(rank, MessageKind::StopRun, {});
    }
    updatePolling();
}

bool RemoteWorkerPool::waitUntilIdle(int timeoutMs) {
    const bool idle = waitFor([this] { return runningCount() == 0; }, timeoutMs);
    if (!failure.isEmpty())
        throw FitError(failure);
    return idle;
}

bool RemoteWorkerPool::shutdown(int graceMs) {
    shutDown = true;
    QElapsedTimer clock;
    clock.start();
    for (int rank = 1; rank <= workerCount(); ++rank) {
        Worker& w = worker(rank);
        if (w.state == State::Gone || w.state == State::Leaving)
            continue;
        w.state = State::Leaving;
        try {
            mailbox->send(rank, MessageKind::Shutdown, {});
        } catch (const FitError& e) {
            fail(e.message());
        }
    }
    // A failure of the transport does not stop the wait: most workers may still
    // hear us and end their models.
    const QString failedBefore = failure;
    failure.clear();
    updatePolling();
    const bool allGone = waitFor(
        [this] {
            return std::all_of(workers.begin(), workers.end(),
                               [](const Worker& w) { return w.state == State::Gone; });
        },
        graceMs);
    bool flushed = false;
    try {
        flushed = mailbox->flushSends(std::max<qint64>(0, graceMs - clock.elapsed()));
    } catch (const FitError&) {
    }
    if (failure.isEmpty())
        failure = failedBefore;
    mailbox->setWanted(false);
    return allGone && flushed;
}

void RemoteWorkerPool::endAll(int exitCode, int graceMs) {
    if (!shutdown(graceMs))
        MpiWorld::abort(exitCode);
}

void RemoteWorkerPool::receive(int source, MessageKind kind, const QByteArray& payload) {
    if (source < 1 || source > workerCount()) {
        fail(QStringLiteral("Rank %1 sent a %2 message, but is no worker.")
                 .arg(source)
                 .arg(messageKindName(kind)));
        return;
    }
    Worker& w = worker(source);
    const State was = w.state;
    try {
        switch (kind) {
        case MessageKind::WorkspaceReady:
            if (was != State::SettingUp)
                break;
            w.info = decodeWorkspaceInfo(payload);
            w.state = State::Idle;
            updatePolling();
            return;
        case MessageKind::WorkspaceFailed:
            if (was != State::SettingUp)
                break;
            {
                const WorkspaceFailure f = decodeWorkspaceFailure(payload);
                w.info.node = f.node;
                w.message = f.message;
            }
            w.state = State::Failed;
            updatePolling();
            return;
        case MessageKind::Result: {
            if (was == State::Leaving)
                return; // a run that ended as the shutdown went out
            if (was != State::Busy && was != State::Stopping)
                break;
            const RunResult result = decodeRunResult(payload);
            if (result.run != w.run)
                throw FitError(QStringLiteral("Worker %1 answered run %2, but runs %3.")
                                   .arg(source)
                                   .arg(result.run)
                                   .arg(w.run));
            w.state = State::Idle;
            updatePolling();
            emit finished(source, result);
            return;
        }
        case MessageKind::Goodbye:
            w.state = State::Gone;
            updatePolling();
            if (was != State::Leaving)
                fail(QStringLiteral("Worker %1 on %2 left on its own; its standard error "
                                    "output says why.")
                         .arg(source)
                         .arg(w.info.node));
            return;
        default:
            break;
        }
    } catch (const FitError& e) {
        fail(e.message());
        return;
    }
    fail(QStringLiteral("Worker %1 sent a %2 message out of turn.")
             .arg(source)
             .arg(messageKindName(kind)));
}

// ---------------------------------------------------------------------------
// A worker rank

namespace {

// Signals reach the event loop through a pipe: a handler may do little more
// than write a byte.
int signalPipe[2] = {-1, -1};

void onStopSignal(int sig) {
    const int saved = errno;
    const char byte = char(sig);
    if (signalPipe[1] >= 0 && ::write(signalPipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

const int stopSignals[] = {SIGTERM, SIGINT, SIGHUP};

} // namespace

RemoteWorker::RemoteWorker(MpiWorld& job, SetupHandler setup, RunHandler run, StopHandler stop,
                           PollTiming timing, QObject* parent)
    : QObject(parent), world(job), setupHandler(std::move(setup)), runHandler(std::move(run)),
      stopHandler(std::move(stop)) {
    mailbox = std::make_unique<MpiMailbox>(
        this, timing,
        [this](int source, MessageKind kind, const QByteArray& payload) {
            receive(source, kind, payload);
        },
        [this](const QString& message) { protocolError(message); });
}

RemoteWorker::~RemoteWorker() = default;

int RemoteWorker::exec() {
    QEventLoop eventLoop;
    loop = &eventLoop;
    ended = false;
    status = 0;

    struct sigaction previous[std::size(stopSignals)];
    std::unique_ptr<QSocketNotifier> notifier;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        connect(notifier.get(), &QSocketNotifier::activated, this, [this] {
            char byte = 0;
            while (::read(signalPipe[0], &byte, 1) == 1)
                onSignal(int(byte));
        });
        struct sigaction sa = {};
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < std::size(stopSignals); ++i)
            sigaction(stopSignals[i], &sa, &previous[i]);
    }

    mailbox->setWanted(true);
    if (!ended)
        eventLoop.exec();
    mailbox->setWanted(false);
    // The last answer (a result or goodbye) must leave before we do.
    if (status == 0 && !mailbox->flushSends(10000))
        status = 1;

    if (notifier) {
        for (std::size_t i = 0; i < std::size(stopSignals); ++i)
            sigaction(stopSignals[i], &previous[i], nullptr);
        notifier.reset();
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
    loop = nullptr;
    return status;
}

void RemoteWorker::leave(int exitStatus) {
    if (ended)
        return;
    ended = true;
    status = exitStatus;
    mailbox->setWanted(false);
    if (loop)
        loop->exit(exitStatus);
}

void RemoteWorker::onSignal(int sig) {
    if (ended)
        return;
    if (busy && stopHandler)
        stopHandler();
    // The launcher is taking the job down: no more messages, no MPI_Finalize.
    world.abandon();
    leave(128 + sig);
}

void RemoteWorker::protocolError(const QString& message) {
    std::fprintf(stderr, "fitmara (worker %d on %s): %s\n", world.rank(),
                 world.node().toLocal8Bit().constData(), message.toLocal8Bit().constData());
    std::fflush(stderr);
    if (busy && stopHandler)
        stopHandler();
    // Rank 0 learns from the goodbye that this worker is gone, and ends the job.
    try {
        mailbox->send(0, MessageKind::Goodbye, {});
    } catch (const FitError&) {
        world.abandon();
    }
    leave(1);
}

void RemoteWorker::receive(int source, MessageKind kind, const QByteArray& payload) {
    if (ended)
        return;
    if (source != 0) {
        protocolError(QStringLiteral("rank %1 sent a %2 message; only rank 0 may.")
                          .arg(source)
                          .arg(messageKindName(kind)));
        return;
    }
    try {
        switch (kind) {
        case MessageKind::Setup: {
            // Again for each operation: the handler replaces the workspace.
            if (busy)
                break;
            ready = false;
            WorkspaceFailure failure{world.node(), {}};
            try {
                // A setup from a build of another transport protocol is refused
                // here, and rank 0 is told so.
                info = setupHandler(decodeSetup(payload));
                if (info.node.isEmpty())
                    info.node = world.node();
                ready = true;
            } catch (const std::exception& e) {
                const auto* fit = dynamic_cast<const FitError*>(&e);
                failure.message = fit ? fit->message() : QString::fromLocal8Bit(e.what());
            }
            if (ready)
                mailbox->send(0, MessageKind::WorkspaceReady, encode(info));
            else
                mailbox->send(0, MessageKind::WorkspaceFailed, encode(failure));
            return;
        }
        case MessageKind::Run:
            if (busy || leaving)
                break;
            serve(decodeRunRequest(payload));
            return;
        case MessageKind::StopRun:
            // Idle: the run ended before the request came; its result is on its way.
            if (busy && !stopRequested) {
                stopRequested = true;
                if (stopHandler)
                    stopHandler();
            }
            return;
        case MessageKind::Shutdown:
            leaving = true;
            if (busy) {
                // serve() says goodbye once the run handler has returned.
                stopRequested = true;
                if (stopHandler)
                    stopHandler();
                return;
            }
            mailbox->send(0, MessageKind::Goodbye, {});
            leave(0);
            return;
        default:
            break;
        }
    } catch (const FitError& e) {
        protocolError(e.message());
        return;
    }
    protocolError(
        QStringLiteral("rank 0 sent a %1 message out of turn.").arg(messageKindName(kind)));
}

void RemoteWorker::serve(const RunRequest& request) {
    busy = true;
    stopRequested = false;
    QElapsedTimer clock;
    clock.start();
    RunResult result;
    if (!ready) {
        result.error = QStringLiteral("The worker has no workspace.");
    } else {
        try {
            result = runHandler(request);
        } catch (const std::exception& e) {
            result = RunResult();
            const auto* fit = dynamic_cast<const FitError*>(&e);
            result.error = fit ? fit->message() : QString::fromLocal8Bit(e.what());
        }
    }
    busy = false;
    if (ended)
        return; // a signal or a transport failure ended everything meanwhile
    result.run = request.run;
    result.stopped = result.stopped || stopRequested;
    if (result.node.isEmpty())
        result.node = info.node;
    if (result.workspace.isEmpty())
        result.workspace = info.workspace;
    if (result.elapsedUs == 0)
        result.elapsedUs = clock.nsecsElapsed() / 1000;
    try {
        if (leaving) {
            mailbox->send(0, MessageKind::Goodbye, {});
            leave(0);
        } else {
            mailbox->send(0, MessageKind::Result, encode(result));
        }
    } catch (const FitError& e) {
        protocolError(e.message());
    }
}
