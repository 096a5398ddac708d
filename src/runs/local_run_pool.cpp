#include "runs/local_run_pool.h"

#include "base/fit_error.h"
#include "evaluation/fit_points.h"
#include "model/model_process.h"
#include "paramdb/database.h"

#include <QTimer>

struct LocalRunPool::Worker {
    enum class State { Idle, Pausing, Running, Settling };

    Worker(int n, const Workspace& space)
        : number(n), ws(space),
          db(QStringLiteral("fitmara-worker-") + QString::number(n) + QStringLiteral("-") +
             QString::number(reinterpret_cast<quintptr>(this), 16)),
          evaluator(db, runner) {
        pause.setSingleShot(true);
    }

    int number;
    const Workspace ws; // a copy: the set's list may grow
    Database db;
    ModelProcess runner;
    Evaluator evaluator;
    QTimer pause; // before the run (pauseBeforeMs) and after it (pauseAfterRunMs)
    State state = State::Idle;
    RunTicket ticket;
    bool stopping = false;
    std::vector<RunTry> earlierTries; // of the ticket under way (RR=)
};

LocalRunPool::LocalRunPool(const CalibrationSettings& settings, const WorkspaceSet& workspaces,
                           QObject* parent)
    : RunPool(parent), cfg(settings), set(workspaces) {
    takeNewWorkspaces();
}

void LocalRunPool::takeNewWorkspaces() {
    const std::vector<Workspace>& spaces = set.workspaces();
    for (std::size_t k = workers.size(); k < spaces.size(); ++k)
        addWorker(spaces[k]);
}

void LocalRunPool::addWorker(const Workspace& ws) {
    auto w = std::make_unique<Worker>(static_cast<int>(workers.size()) + 1, ws);
    Worker* wp = w.get();
    CalibrationSettings own = cfg;
    own.databaseFile = ws.database;
    own.pauseAfterRunMs = 0; // the worker's own timer makes this pause
    wp->evaluator.setSettings(own);
    wp->runner.setWorkingDirectory(ws.folder);
    wp->runner.setProgram(ws.runFile);
    wp->db.setDisposable(true); // a workspace: made afresh by each operation
    wp->db.open(ws.database);
    connect(&wp->evaluator, &Evaluator::modelEnded, this, [this, wp] { modelEnded(*wp); });
    connect(&wp->pause, &QTimer::timeout, this, [this, wp] {
        if (wp->state == Worker::State::Pausing)
            begin(*wp);
        else if (wp->state == Worker::State::Settling)
            complete(*wp);
    });
    workers.push_back(std::move(w));
}

LocalRunPool::~LocalRunPool() {
    for (auto& w : workers)
        if (w->runner.working())
            w->runner.kill();
}

int LocalRunPool::size() const {
    return static_cast<int>(workers.size());
}

int LocalRunPool::idle() const {
    int n = 0;
    for (const auto& w : workers)
        if (w->state == Worker::State::Idle)
            ++n;
    return n;
}

int LocalRunPool::workspaceCount() const {
    return static_cast<int>(set.workspaces().size());
}

qint64 LocalRunPool::workspaceBytes() const {
    return set.totalBytes();
}

void LocalRunPool::start(const RunTicket& ticket) {
    Worker* free = nullptr;
    for (auto& w : workers)
        if (w->state == Worker::State::Idle) {
            free = w.get();
            break;
        }
    if (!free)
        throw FitError(QStringLiteral("No worker is free for model run %1.").arg(ticket.run));
    free->ticket = ticket;
    free->stopping = false;
    free->earlierTries.clear();
    free->state = Worker::State::Pausing;
    if (ticket.pauseBeforeMs > 0)
        free->pause.start(ticket.pauseBeforeMs);
    else
        begin(*free);
}

void LocalRunPool::begin(Worker& w) {
    w.runner.clearEnvironmentVariables();
    for (const auto& [name, value] :
         runVariables(w.ws, w.ticket.run, int(w.earlierTries.size()) + 1))
        w.runner.setEnvironmentVariable(name, value);
    w.state = Worker::State::Running;
    try {
        w.evaluator.start(w.ticket.vector, w.ticket.reading);
    } catch (const FitError& e) {
        fail(w, e.message());
    }
}

void LocalRunPool::modelEnded(Worker& w) {
    if (w.state != Worker::State::Running)
        return;
    w.state = Worker::State::Settling;
    if (cfg.pauseAfterRunMs > 0 && !w.stopping)
        w.pause.start(cfg.pauseAfterRunMs);
    else
        QTimer::singleShot(0, this, [this, &w] {
            if (w.state == Worker::State::Settling)
                complete(w);
        });
}

void LocalRunPool::complete(Worker& w) {
    w.pause.stop();
    RunOutcome o;
    try {
        o.result = w.evaluator.finish();
    } catch (const FitError& e) {
        fail(w, e.message());
        return;
    }
    o.stopped = w.stopping;
    o.exitStatus = w.runner.statusText();
    o.output = w.runner.outputTail(20).join(QLatin1Char('\n'));
    o.startedAt = w.runner.startedAt();
    if (w.runner.runEnd() != RunEnd::StartFailed)
        o.durationSeconds = w.runner.durationMs() / 1000.0;
    // A failed run (crashed, timed out, rows left at -99) is tried again, as in
    // place, up to RR= times.
    if (!o.stopped && !o.result.complete && int(w.earlierTries.size()) < cfg.retries) {
        w.earlierTries.push_back(RunTry{o.result, o.exitStatus, o.startedAt, o.durationSeconds});
        begin(w);
        return;
    }
    o.result.tries = int(w.earlierTries.size()) + 1;
    o.earlierTries = std::move(w.earlierTries);
    w.earlierTries.clear();
    deliver(w, std::move(o));
}

void LocalRunPool::fail(Worker& w, const QString& error) {
    RunOutcome o;
    o.failed = true;
    o.error = error;
    o.stopped = w.stopping;
    deliver(w, std::move(o));
}

void LocalRunPool::deliver(Worker& w, RunOutcome o) {
    o.run = w.ticket.run;
    o.started = true;
    o.worker = w.number;
    o.place = w.ws.folder;
    w.state = Worker::State::Idle;
    w.pause.stop();
    // Never from inside start() or stopAll(): the caller hears of it from the event loop.
    QTimer::singleShot(0, this, [this, o = std::move(o)] { emit finished(o); });
}

void LocalRunPool::stopAll() {
    // Every model is asked to end first, so that they share one grace.
    for (auto& w : workers)
        if (w->state == Worker::State::Running)
            w->runner.terminate();
    for (auto& w : workers) {
        switch (w->state) {
        case Worker::State::Idle:
            break;
        case Worker::State::Pausing: // not started yet
            w->stopping = true;
            {
                RunOutcome o;
                o.stopped = true;
                deliver(*w, std::move(o));
            }
            break;
        case Worker::State::Running:
            w->stopping = true;
            w->runner.kill(); // the whole process group; modelEnded() follows
            break;
        case Worker::State::Settling:
            w->stopping = true;
            w->pause.stop();
            complete(*w);
            break;
        }
    }
}
