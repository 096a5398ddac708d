#include "app/session.h"

#include "app/fit_error.h"
#include "app/number_format.h"

#include <QCoreApplication>
#include <QThread>

void ComboState::selectIgnoringCase(const QString& name) {
    index = -1;
    for (int i = 0; i < items.size(); ++i) {
        if (items[i].compare(name, Qt::CaseInsensitive) == 0) {
            select(i);
            return;
        }
    }
}

Session::Session(QObject* parent) : QObject(parent), lb(this), mrun(this), rfedit(this) {
    table_LIST.text = QStringLiteral("?");
    for (ComboState* c : {&obs_fld, &mod_fld, &idx_fld, &var_fld})
        c->text = QStringLiteral("select");
    comboBox1.text = QStringLiteral("ComboBox1");
    mrun.setShowType(sstShowMinimized);
    rfedit.setShowType(sstShowNormal);
    // Creation: the counter, Nmax and its edit box.
    cnt = 0;
    max_call = 50;
    Edit2Change(QStringLiteral("50"));
}

Session::~Session() = default;

void Session::Edit2Change(const QString& text) {
    edit2 = text;
    // max_call keeps its last valid value when the text is no integer.
    max_call = parseDecimalInt(text);
}

void Session::ComboBox1CloseUp(int index) {
    const int k = index + 1; // entries count from 0, parameters from 1; none selected gives 0
    comboBox1.index = index;
    series.clear();
    for (int e = 1; e <= nobs; ++e) {
        if (e < int(fimdt.size()) && k >= 0 && k < int(fimdt[e].size()))
            series.append(QPointF(e, double(fimdt[e][k])));
    }
    emit chartReplaced();
}

void Session::Button6Click() {
    closeWasRequested = true;
    emit closeRequested();
}

void Session::processEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Session::pause(int ms) {
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

void Session::clearChart() {
    series.clear();
    criterionSeries.clear();
    emit chartCleared();
}

void Session::addChartPoint(double x, double yv) {
    series.append(QPointF(x, yv));
    criterionSeries.append(QPointF(x, yv));
    criterionSeriesName = criterionName();
    emit chartPointAdded(x, yv);
}

void Session::setStatus(const QString& text) {
    emit statusMessage(text);
}

QString Session::criterionName() const {
    switch (criterion) {
    case 2:
        return QStringLiteral("NRMSE");
    case 3:
        return QStringLiteral("CV(RMSE)");
    default:
        return QStringLiteral("RMSE");
    }
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
    if (mrun.working())
        throw FitError(QStringLiteral("The model started earlier is still running; wait until it "
                                      "has ended, then start again."));
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
