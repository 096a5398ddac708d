#include "app/session.h"

#include "base/fit_error.h"
#include "base/number_format.h"

#include <QCoreApplication>

Session::Session(QObject* parent)
    : QObject(parent), logLines(this),
      modelSetup(calibrationSettings,
                 {[this](bool open) { emit connectionChanged(open); },
                  [this] { emit resultOpened(); }, [this] { emit stateChanged(); },
                  [this] { processEvents(); }}),
      db(modelSetup.database()), model(this), editorProcess(this), evaluator(db, model, this),
      operationRunner(db, calibrationSettings, batchOptions, evaluator, *this,
                      [this](bool busyNow) {
                          if (busyNow)
                              progressState.clearRuns();
                          emit busyChanged(busyNow);
                      }) {
    operationRunner.setParallelChanged([this](bool open) {
        if (open)
            progressState.resetProgressLines();
        else
            setStatus(QString());
    });
    formState.parameterPlotCombo.text = QStringLiteral("choose a parameter");
    evaluator.setConnectionWatcher(this);
    evaluator.setStopQuery([this] { return operationRunner.stopRequested(); });
    evaluator.setTellsRunVariables(true);
    // Creation: Nmax and its edit box.
    calibrationSettings.maxEvaluations = 50;
    setMaxEvaluationsText(QStringLiteral("50"));
}

Session::~Session() = default;

void Session::setMaxEvaluationsText(const QString& text) {
    formState.maxEvaluationsText = text;
    // maxEvaluations keeps its last valid value when the text is no integer.
    calibrationSettings.maxEvaluations = parseMaxCalls(text);
}

void Session::plotParameter(int index) {
    const int k = index + 1; // entries count from 0, parameters from 1; none selected gives 0
    formState.parameterPlotCombo.index = index;
    chartPoints.clear();
    for (int e = 1; e <= analysedRows; ++e) {
        if (e < int(sensitivities.size()) && k >= 0 && k < int(sensitivities[e].size()))
            chartPoints.append(QPointF(e, double(sensitivities[e][k])));
    }
    emit chartReplaced();
}

void Session::requestClose() {
    closeAsked = true;
    emit closeRequested();
}

void Session::processEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Session::clearChart() {
    chartPoints.clear();
    criterionSeries.clear();
    emit chartCleared();
}

void Session::addChartPoint(double x, double yv) {
    chartPoints.append(QPointF(x, yv));
    criterionSeries.append(QPointF(x, yv));
    criterionSeriesName = calibrationSettings.criterionName();
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
        operationRunner.requestStop();
        if (model.working()) {
            logLines.append(QStringLiteral("check model run: stopped, the model is ended."), true);
            model.kill();
        }
        return;
    }
    // Asked twice while the model still runs: a model that hangs would keep the
    // first request from ever being honoured, so the model run is ended. The run
    // then counts as incomplete and the stop goes its usual way.
    if (operationRunner.stopRequested() && model.working()) {
        logLines.append(QStringLiteral("Stop requested again: the running model is ended."), true);
        model.kill();
        return;
    }
    operationRunner.requestStop();
}

void Session::endRunningModels() {
    if (!busy())
        return;
    operationRunner.requestStop();
    // Parallel runs end with the stop (their pool ends every run going on); the
    // run in place is ended here, as a second stop would.
    if (model.working()) {
        logLines.append(QStringLiteral("The running model is ended."), true);
        model.kill();
    }
}

QString Session::progressDetails() const {
    return progressState.details(model, operationRunner.stopRequested());
}

void Session::refuseWhileModelRuns() {
    evaluator.refuseWhileModelRuns();
}

// ---- Reporter ----

void Session::log(const QString& line, bool select) {
    logLines.append(line, select);
}

void Session::clearLog() {
    logLines.clear();
}

void Session::saveLog(const QString& fileName) {
    logLines.save(fileName);
    operationRunner.noteFileWritten(fileName);
}

void Session::logFilesWritten() {
    // A batch run's protocols are its product and stay as they are; the
    // person at the window is told where the files went.
    const QStringList files = operationRunner.takeFilesWritten();
    if (!batchOptions.unattended)
        for (const QString& file : files)
            logLines.append(QStringLiteral("written: ") + file, true);
}

void Session::evaluated(double criterion) {
    addChartPoint(progressState.evaluations(), criterion);
    progressState.evaluated(criterion);
    emitProgress();
}

void Session::emitProgress() {
    emit progress(progressState.evaluations(),
                  progressState.expected(calibrationSettings.maxEvaluations), progressState.best(),
                  progressState.elapsedMs());
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
    modelSetup.reopenResultQuery();
}
