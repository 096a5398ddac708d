#include "app/operation_progress.h"

#include "model/model_process.h"

#include <QStringList>

void OperationProgress::start(int expected) {
    evaluationCount = 0;
    expectedEvaluations = expected;
    bestCriterion = 0;
    bestKnown = false;
    clock.start();
}

void OperationProgress::clearRuns() {
    running = 0;
    runWorkers = 0;
    runsInFlight.clear();
}

void OperationProgress::evaluated(double criterion) {
    ++evaluationCount;
    if (!bestKnown || criterion < bestCriterion) {
        bestCriterion = criterion;
        bestKnown = true;
    }
}

void OperationProgress::runsGoing(int runningNow, int workersNow) {
    running = runningNow;
    runWorkers = workersNow;
}

void OperationProgress::runChanged(int run, bool going) {
    if (going)
        runsInFlight.insert(run, elapsedMs());
    else
        runsInFlight.remove(run);
}

bool OperationProgress::progressLineDue() {
    const qint64 now = elapsedMs();
    if (lastProgressLineMs >= 0 && now - lastProgressLineMs < 10000)
        return false;
    lastProgressLineMs = now;
    return true;
}

namespace {
QString clockText(qint64 ms) {
    const qint64 secs = ms / 1000;
    return QStringLiteral("%1:%2")
        .arg(secs / 60, 2, 10, QLatin1Char('0'))
        .arg(secs % 60, 2, 10, QLatin1Char('0'));
}
// A run going on for longer than this is named in the progress: it may hang.
constexpr qint64 kLongRunMs = 10000;
} // namespace

QString OperationProgress::details(const ModelProcess& inPlace, bool stopping) const {
    QStringList parts;
    const qint64 now = elapsedMs();
    if (runWorkers > 1)
        parts << QStringLiteral("%1 of %2 model runs going on").arg(running).arg(runWorkers);
    if (!runsInFlight.isEmpty()) {
        // The oldest run going on (the lowest number among equals).
        auto oldest = runsInFlight.cbegin();
        for (auto it = runsInFlight.cbegin(); it != runsInFlight.cend(); ++it)
            if (it.value() < oldest.value())
                oldest = it;
        if (now - oldest.value() >= kLongRunMs)
            parts << QStringLiteral("run %1 going on for %2")
                         .arg(oldest.key())
                         .arg(clockText(now - oldest.value()));
    } else if (inPlace.working() && inPlace.durationMs() >= kLongRunMs) {
        parts
            << QStringLiteral("the model run going on for %1").arg(clockText(inPlace.durationMs()));
    }
    QString text = parts.join(QStringLiteral(", "));
    if (stopping) {
        if (!text.isEmpty())
            text += QStringLiteral("; ");
        text += QStringLiteral("stopping after the current model run (press stop again to end a "
                               "model that hangs)");
    }
    return text;
}
