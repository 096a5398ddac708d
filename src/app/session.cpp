#include "app/session.h"

#include "base/fit_error.h"
#include "base/number_format.h"

#include <QCoreApplication>

Session::Session(QObject* parent)
    : QObject(parent), lb(this), mrun(this), rfedit(this), evaluator(db, mrun, this) {
    form.table_LIST.text = QStringLiteral("?");
    for (ComboState* c : {&form.obs_fld, &form.mod_fld, &form.idx_fld, &form.var_fld})
        c->text = QStringLiteral("select");
    form.comboBox1.text = QStringLiteral("ComboBox1");
    mrun.setShowType(sstShowMinimized);
    rfedit.setShowType(sstShowNormal);
    evaluator.setConnectionWatcher(this);
    evaluator.setStopQuery([this] { return stopFlag; });
    evaluator.setTellsRunVariables(true);
    // Creation: the counter, Nmax and its edit box.
    cnt = 0;
    settings.max_call = 50;
    setMaxCallText(QStringLiteral("50"));
}

void Session::setMaxCallText(const QString& text) {
    form.edit2 = text;
    // max_call keeps its last valid value when the text is no integer.
    settings.max_call = parseMaxCalls(text);
}

void Session::plotParameter(int index) {
    const int k = index + 1; // entries count from 0, parameters from 1; none selected gives 0
    form.comboBox1.index = index;
    series.clear();
    for (int e = 1; e <= nobs; ++e) {
        if (e < int(fimdt.size()) && k >= 0 && k < int(fimdt[e].size()))
            series.append(QPointF(e, double(fimdt[e][k])));
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
    // Asked twice while the model still runs: a model that hangs would keep the
    // first request from ever being honoured, so the model run is ended. The run
    // then counts as incomplete and the stop goes its usual way.
    if (stopFlag && mrun.working()) {
        lb.append(QStringLiteral("Stop requested again: the running model is ended."), true);
        mrun.kill();
        return;
    }
    stopFlag = true;
}

void Session::refuseWhileModelRuns() {
    evaluator.refuseWhileModelRuns();
}

// ---- Reporter ----

void Session::log(const QString& line, bool select) {
    lb.append(line, select);
}

void Session::clearLog() {
    lb.clear();
}

void Session::saveLog(const QString& fileName) {
    lb.save(fileName);
}

void Session::evaluated(double criterion) {
    addChartPoint(cnt, criterion);
    cnt = cnt + 1;
    if (!haveBest || criterion < bestSoFar) {
        bestSoFar = criterion;
        haveBest = true;
    }
    emit progress(cnt, progressTotal > 0 ? progressTotal : settings.max_call, bestSoFar,
                  runClock.isValid() ? runClock.elapsed() : 0);
}

void Session::parameterListChanged() {
    parmintAfterOpen();
}

void Session::parameterValuesChanged() {
    emit parmintOpened();
}

// ---- ConnectionWatcher ----

void Session::connectionClosed() {
    parmintOpen = false;
    emit connectionChanged(false);
}

void Session::connectionReopened() {
    emit connectionChanged(true);
    parmintAfterOpen();
    if (!form.resultQuery.isEmpty()) {
        db.query(form.resultQuery); // fails like the reopening of the result query
        emit resultOpened();
    }
}

Session::BusyScope::BusyScope(Session& session) : s(session) {
    if (s.busyDepth++ == 0) {
        s.stopFlag = false;
        emit s.busyChanged(true);
    }
}

Session::BusyScope::~BusyScope() {
    if (--s.busyDepth == 0)
        emit s.busyChanged(false);
}
