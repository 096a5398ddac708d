#include "mpi/mpi_run_pool.h"

#include "base/fit_error.h"
#include "mpi/mpi_transport.h"
#include "mpi/mpi_worker_service.h"

#include <QDateTime>

#include <cmath>
#include <cstdio>

namespace {

QStringList linesOf(const QString& text) {
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QDateTime timeOf(qint64 msSinceEpoch) {
    return msSinceEpoch == 0 ? QDateTime() : QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC);
}

// What the ranks' result says, as an evaluation's result.
EvaluationResult evaluationOf(const RunResult& r, Reading reading,
                              const CalibrationSettings& settings) {
    EvaluationResult e;
    e.complete = r.complete;
    e.why = r.incompleteReason;
    e.onlyMarks = r.onlyMarks;
    e.criterion = r.criterion;
    e.failure = r.failure;
    if (!r.complete)
        e.output = linesOf(r.outputTail);
    e.outputFile = r.outputFile.isEmpty()
                       ? QString()
                       : QStringLiteral("%1 on node %2").arg(r.outputFile, r.node);
    e.tries = int(r.earlierTries.size()) + 1;
    if (reading == Reading::ModelValuesAndFit) {
        e.fit.indexColumn = settings.indexColumn;
        e.fit.observedColumn = settings.observedColumn;
        e.fit.simulatedColumn = settings.modelColumn;
        e.fit.skipped = int(r.fitSkipped);
        e.fit.points.reserve(r.fit.size());
        for (const FitRow& row : r.fit)
            e.fit.points.push_back({indexValue(row), row.observed, row.simulated});
    }
    if (reading == Reading::ModelValues || reading == Reading::ModelValuesAndFit) {
        // The simulated values, then the variances of the same rows.
        const std::size_t n = r.modelValues.size() / 2;
        e.values.mod.assign(r.modelValues.begin(), r.modelValues.begin() + long(n));
        e.values.var.assign(r.modelValues.begin() + long(n), r.modelValues.end());
        for (double w : e.values.var)
            if (!(w > 0) || !std::isfinite(w))
                ++e.values.badVariances;
    }
    return e;
}

void note(const QString& text) {
    std::fflush(stdout);
    std::fputs(QStringLiteral("fitmara: %1\n").arg(text).toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

} // namespace

QString placeOf(const QString& node, const QString& workspace) {
    return QStringLiteral("node %1, workspace %2").arg(node, workspace);
}

MpiRunPool::MpiRunPool(RemoteWorkerPool& remote, std::function<WorkerSetup()> setup,
                       QObject* parent)
    : RunPool(parent), workers(remote), setupSource(std::move(setup)) {
    connect(&workers, &RemoteWorkerPool::finished, this, &MpiRunPool::onFinished);
    connect(&workers, &RemoteWorkerPool::failed, this, &MpiRunPool::onFailed);
    stopDeadline.setSingleShot(true);
    connect(&stopDeadline, &QTimer::timeout, this, &MpiRunPool::giveUpStopped);
}

int MpiRunPool::size() const {
    return workers.workerCount();
}

int MpiRunPool::idle() const {
    if (!workers.error().isEmpty())
        return 0;
    // Before the first run every worker is free: start() sets them up.
    return ready ? workers.freeWorkerCount() : workers.workerCount();
}

void MpiRunPool::setUp() {
    if (ready)
        return;
    sent = setupSource();
    evaluated = workerSettings(sent);
    bytes = 0;
    for (const WorkspaceInfo& info : workers.setUpWorkspaces(sent, setupTimeoutMs))
        bytes += info.bytes;
    ready = true;
}

void MpiRunPool::prepare() {
    // Runs of the last operation that a stop ended may not have answered yet:
    // a worker makes its new workspace only once its run is over.
    if (!running.empty() || workers.runningCount() > 0) {
        workers.stopAll();
        if (!workers.waitUntilIdle(stopWaitMs))
            throw FitError(QStringLiteral("The model runs of the last operation are still going "
                                          "on on the MPI workers; start again once they have "
                                          "ended."));
        if (!running.empty())
            endRunning({});
    }
    ready = false;
    setUp();
}

void MpiRunPool::start(const RunTicket& ticket) {
    setUp();
    if (idle() == 0)
        throw FitError(
            QStringLiteral("Run %1 was started with no MPI worker free.").arg(ticket.run));
    // Every worker evaluates with the settings of its setup; an operation with
    // other settings would be evaluated wrongly there.
    if (setupSource() != sent) {
        RunOutcome o;
        o.run = ticket.run;
        o.failed = true;
        o.error = QStringLiteral("The settings of the evaluation changed after the MPI workers "
                                 "were set up; a job calibrates with one set of settings.");
        QTimer::singleShot(0, this, [this, o] { emit finished(o); });
        return;
    }
    RunRequest request;
    request.run = ticket.run;
    request.vector = ticket.vector;
    request.needModelValues =
        ticket.reading == Reading::ModelValues || ticket.reading == Reading::ModelValuesAndFit;
    request.needFit = ticket.reading == Reading::ModelValuesAndFit;
    request.pauseBeforeMs = ticket.pauseBeforeMs;
    request.phase = ticket.pauseBeforeMs > 0 ? RunPhase::InitialSimplex : RunPhase::Search;
    const int rank = workers.start(request);
    running[ticket.run] = {ticket.reading, rank};
}

void MpiRunPool::stopAll() {
    if (running.empty())
        return;
    workers.stopAll();
    stopDeadline.start(stopAnswerMs);
}

void MpiRunPool::onFinished(int rank, const RunResult& result) {
    const auto it = running.find(result.run);
    if (it == running.end())
        return; // given up as stopped already
    const Reading reading = it->second.reading;
    running.erase(it);
    if (running.empty())
        stopDeadline.stop();

    RunOutcome o;
    o.run = int(result.run);
    o.started = true;
    o.worker = rank;
    o.place = result.workspace;
    o.node = result.node;
    o.stopped = result.stopped;
    o.exitStatus = result.exitStatus;
    o.startedAt = timeOf(result.startedMs);
    o.durationSeconds = result.durationSeconds;
    o.output = result.outputTail;
    for (const RunTryReport& t : result.earlierTries) {
        RunTry early;
        early.result.complete = false;
        early.result.why = t.incompleteReason;
        early.result.onlyMarks = t.onlyMarks;
        early.result.failure = t.failure;
        early.result.output = linesOf(t.output);
        early.exitStatus = t.exitStatus;
        early.startedAt = timeOf(t.startedMs);
        early.durationSeconds = t.durationSeconds;
        o.earlierTries.push_back(std::move(early));
    }
    if (!result.error.isEmpty()) {
        o.failed = true;
        o.error = result.error;
        if (!result.outputTail.isEmpty())
            o.error += QStringLiteral("\nThe model's last output:\n") + result.outputTail;
    } else {
        o.result = evaluationOf(result, reading, evaluated);
        // Standard error says where it happened too, for the job's log on a cluster.
        if (!o.result.complete && !o.stopped)
            note(QStringLiteral("model run %1 was incomplete on %2 (%3)%4")
                     .arg(o.run)
                     .arg(placeOf(o.node, o.place), result.exitText,
                          result.outputTail.isEmpty()
                              ? QString()
                              : QStringLiteral("; its last output:\n") + result.outputTail));
    }
    emit finished(o);
}

void MpiRunPool::onFailed(const QString& message) {
    // Nothing more comes from the workers: every running run has failed.
    endRunning(message);
}

void MpiRunPool::giveUpStopped() {
    endRunning({});
}

void MpiRunPool::endRunning(const QString& error) {
    stopDeadline.stop();
    const auto lost = std::move(running);
    running.clear();
    for (const auto& [run, r] : lost) {
        RunOutcome o;
        o.run = int(run);
        o.started = true;
        o.worker = r.rank;
        o.failed = !error.isEmpty();
        o.error = error;
        o.stopped = error.isEmpty();
        const WorkspaceInfo info = workers.workspaceOf(r.rank);
        o.place = info.workspace;
        o.node = info.node;
        emit finished(o);
    }
}
