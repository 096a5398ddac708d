#include "app/session.h"

#include "base/fit_error.h"
#include "base/number_format.h"

#include <QCoreApplication>
#include <QFileInfo>

Session::Session(QObject* parent)
    : QObject(parent), logList(this), modelProcess(this), editorProcess(this),
      evaluator(db, modelProcess, this) {
    form.resultTableCombo.text = QStringLiteral("?");
    for (ComboState* c : {&form.observedColumnCombo, &form.modelColumnCombo, &form.indexColumnCombo,
                          &form.varianceColumnCombo})
        c->text = QStringLiteral("select");
    form.parameterPlotCombo.text = QStringLiteral("choose a parameter");
    evaluator.setConnectionWatcher(this);
    evaluator.setStopQuery([this] { return stopFlag; });
    evaluator.setTellsRunVariables(true);
    // Creation: the counter, Nmax and its edit box.
    evaluationCount = 0;
    settings.maxEvaluations = 50;
    setMaxEvaluationsText(QStringLiteral("50"));
}

void Session::setMaxEvaluationsText(const QString& text) {
    form.maxEvaluationsText = text;
    // maxEvaluations keeps its last valid value when the text is no integer.
    settings.maxEvaluations = parseMaxCalls(text);
}

void Session::plotParameter(int index) {
    const int k = index + 1; // entries count from 0, parameters from 1; none selected gives 0
    form.parameterPlotCombo.index = index;
    series.clear();
    for (int e = 1; e <= observationCount; ++e) {
        if (e < int(sensitivityRows.size()) && k >= 0 && k < int(sensitivityRows[e].size()))
            series.append(QPointF(e, double(sensitivityRows[e][k])));
    }
    emit chartReplaced();
}

void Session::requestClose() {
    closeWasRequested = true;
    emit closeRequested();
}

void Session::processEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Session::clearChart() {
    series.clear();
    criterionSeries.clear();
    emit chartCleared();
}

void Session::addChartPoint(double x, double yv) {
    series.append(QPointF(x, yv));
    criterionSeries.append(QPointF(x, yv));
    criterionSeriesName = settings.criterionName();
    emit chartPointAdded(x, yv);
}

void Session::setStatus(const QString& text) {
    emit statusMessage(text);
}

void Session::requestStop() {
    if (!busy())
        return;
    // "check model run" has no run boundary to wait for: the stop ends the model.
    if (checkRunGoing) {
        stopFlag = true;
        if (modelProcess.working()) {
            logList.append(QStringLiteral("check model run: stopped, the model is ended."), true);
            modelProcess.kill();
        }
        return;
    }
    // Asked twice while the model still runs: a model that hangs would keep the
    // first request from ever being honoured, so the model run is ended. The run
    // then counts as incomplete and the stop goes its usual way.
    if (stopFlag && modelProcess.working()) {
        logList.append(QStringLiteral("Stop requested again: the running model is ended."), true);
        modelProcess.kill();
        return;
    }
    stopFlag = true;
}

void Session::endRunningModels() {
    if (!busy())
        return;
    stopFlag = true;
    // Parallel runs end with the stop (their pool ends every run going on); the
    // run in place is ended here, as a second stop would.
    if (modelProcess.working()) {
        logList.append(QStringLiteral("The running model is ended."), true);
        modelProcess.kill();
    }
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

QString Session::progressDetails() const {
    QStringList parts;
    const qint64 now = runClock.isValid() ? runClock.elapsed() : 0;
    if (runsWorkers > 1)
        parts << QStringLiteral("%1 of %2 model runs going on").arg(runsRunning).arg(runsWorkers);
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
    } else if (modelProcess.working() && modelProcess.durationMs() >= kLongRunMs) {
        parts << QStringLiteral("the model run going on for %1")
                     .arg(clockText(modelProcess.durationMs()));
    }
    QString text = parts.join(QStringLiteral(", "));
    if (stopFlag) {
        if (!text.isEmpty())
            text += QStringLiteral("; ");
        text += QStringLiteral("stopping after the current model run (press stop again to end a "
                               "model that hangs)");
    }
    return text;
}

void Session::refuseWhileModelRuns() {
    evaluator.refuseWhileModelRuns();
}

// ---- Reporter ----

void Session::log(const QString& line, bool select) {
    logList.append(line, select);
}

void Session::clearLog() {
    logList.clear();
}

void Session::saveLog(const QString& fileName) {
    logList.save(fileName);
    noteFileWritten(fileName);
}

void Session::noteFileWritten(const QString& fileName) {
    const QString full = QFileInfo(fileName).absoluteFilePath();
    if (!filesWritten.contains(full))
        filesWritten << full;
}

void Session::logFilesWritten() {
    // A batch run's protocols are its product and stay as they are; the
    // person at the window is told where the files went.
    if (!settings.autorun)
        for (const QString& file : filesWritten)
            logList.append(QStringLiteral("written: ") + file, true);
    filesWritten.clear();
}

void Session::evaluated(double criterion) {
    addChartPoint(evaluationCount, criterion);
    evaluationCount = evaluationCount + 1;
    if (!haveBest || criterion < bestSoFar) {
        bestSoFar = criterion;
        haveBest = true;
    }
    emit progress(evaluationCount, progressTotal > 0 ? progressTotal : settings.maxEvaluations,
                  bestSoFar, runClock.isValid() ? runClock.elapsed() : 0);
}

void Session::parameterListChanged() {
    afterParmIntOpened();
}

void Session::parameterValuesChanged() {
    emit parmIntOpened();
}

// ---- ConnectionWatcher ----

void Session::connectionClosed() {
    emit connectionChanged(false);
}

void Session::connectionReopened() {
    emit connectionChanged(true);
    afterParmIntOpened();
    if (!form.resultQuery.isEmpty()) {
        db.query(form.resultQuery); // fails like the reopening of the result query
        emit resultOpened();
    }
}

Session::BusyScope::BusyScope(Session& session) : s(session) {
    if (s.busyDepth++ == 0) {
        s.stopFlag = false;
        s.runsRunning = 0;
        s.runsWorkers = 0;
        s.runsInFlight.clear();
        emit s.busyChanged(true);
    }
}

Session::BusyScope::~BusyScope() {
    if (--s.busyDepth == 0)
        emit s.busyChanged(false);
}
