#include "ui/fit_chart.h"

#include "base/fit_error.h"

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QFileDialog>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMessageBox>
#include <QPixmap>
#include <QScatterSeries>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <tuple>

// A label format with as many decimals as the tick step needs and no more: "%g"
// gives a narrow range of large values labels that repeat ("12345.7" at every
// tick) or that grow too wide and shrink to "…".
QString tickLabelFormat(double min, double max, int ticks) {
    const double step = ticks > 1 ? (max - min) / (ticks - 1) : max - min;
    const double magnitude = std::max(std::fabs(min), std::fabs(max));
    if (!(step > 0) || !std::isfinite(step))
        return QStringLiteral("%g");
    const int decimals = std::max(0, int(std::ceil(-std::log10(step) - 1e-9)));
    if (magnitude >= 1e7 || decimals > 6) {
        // Scientific: the digits that tell the ticks apart.
        const int digits = std::clamp(int(std::ceil(std::log10(magnitude / step) - 1e-9)), 1, 8);
        return QStringLiteral("%.%1e").arg(digits);
    }
    return QStringLiteral("%.%1f").arg(decimals);
}

FitChart::FitChart(QWidget* parent) : QWidget(parent) {
    chartObj = new QChart;
    chartObj->setTitle(QStringLiteral("observed vs simulated"));
    chartObj->setBackgroundBrush(Qt::white);
    chartObj->setBackgroundRoundness(8);
    chartObj->setAnimationOptions(QChart::NoAnimation);
    chartObj->legend()->setAlignment(Qt::AlignRight);

    axisX = new QValueAxis;
    axisX->setLabelFormat(QStringLiteral("%g"));
    axisY = new QValueAxis;
    axisY->setLabelFormat(QStringLiteral("%g"));
    chartObj->addAxis(axisX, Qt::AlignBottom);
    chartObj->addAxis(axisY, Qt::AlignLeft);

    line = new QLineSeries;
    line->setObjectName(QStringLiteral("identityLine"));
    line->setName(QStringLiteral("1:1"));
    QPen pen(QColor(90, 90, 90));
    pen.setWidthF(1.5);
    pen.setStyle(Qt::DashLine);
    line->setPen(pen);
    chartObj->addSeries(line);
    line->attachAxis(axisX);
    line->attachAxis(axisY);

    view = new QChartView(chartObj, this);
    view->setRenderHint(QPainter::Antialiasing);
    noteLabel = new QLabel(this);
    noteLabel->setObjectName(QStringLiteral("fitNote"));
    noteLabel->setWordWrap(true);
    noteLabel->hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(view, 1);
    layout->addWidget(noteLabel);
    setMinimumSize(200, 150);

    saveAct = new QAction(QStringLiteral("save as PNG…"), this);
    saveAct->setObjectName(QStringLiteral("savePngAction"));
    connect(saveAct, &QAction::triggered, this, &FitChart::saveWithDialog);
    view->addAction(saveAct);
    view->setContextMenuPolicy(Qt::ActionsContextMenu);

    timer.setSingleShot(true);
    timer.setInterval(refreshIntervalMs);
    connect(&timer, &QTimer::timeout, this, [this] {
        if (!isVisible()) {
            staleWhileHidden = true; // read when the chart comes into view
            return;
        }
        refreshNow();
    });
    showFit(FitData{});
}

void FitChart::requestRefresh() {
    // A delayed read that found the database closed (the next model run had
    // begun) is made up for at once: the request comes right after a model run,
    // and runs back to back leave the delayed read no moment with the file open.
    if (missedRead && isVisible()) {
        refreshNow();
        return;
    }
    if (!timer.isActive())
        timer.start();
}

void FitChart::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (staleWhileHidden) {
        staleWhileHidden = false;
        requestRefresh();
    }
}

void FitChart::refreshNow() {
    timer.stop();
    staleWhileHidden = false;
    if (!src)
        return;
    ++reads;
    try {
        const std::optional<FitData> fit = src();
        missedRead = !fit;
        if (fit)
            showFit(*fit);
    } catch (const FitError& e) {
        showFit(FitData{});
        setNote(QStringLiteral("The rows cannot be read: %1").arg(e.message()));
    }
}

QColor FitChart::groupColour(int i) {
    return QColor::fromRgb(fitGroupRgb(i));
}

void FitChart::clearSeries() {
    for (QScatterSeries* s : groups) {
        chartObj->removeSeries(s);
        delete s;
    }
    groups.clear();
    line->clear();
}

void FitChart::showFit(const FitData& fit) {
    clearSeries();
    axisX->setTitleText(fit.observedColumn);
    axisY->setTitleText(fit.simulatedColumn);

    const std::vector<FitGroup> drawn = fit.drawnGroups();
    for (int g = 0; g < int(drawn.size()); ++g) {
        auto* s = new QScatterSeries;
        s->setName(drawn[g].label);
        s->setMarkerShape(QScatterSeries::MarkerShapeCircle);
        s->setMarkerSize(8);
        s->setColor(groupColour(g));
        s->setBorderColor(groupColour(g).darker(130));
        QList<QPointF> pts;
        pts.reserve(int(drawn[g].rows.size()));
        for (const int i : drawn[g].rows)
            pts.append(QPointF(fit.points[i].observed, fit.points[i].simulated));
        s->replace(pts);
        chartObj->addSeries(s);
        s->attachAxis(axisX);
        s->attachAxis(axisY);
        groups.append(s);
    }
    // Many groups would crowd the chart with their legend entries.
    chartObj->legend()->setVisible(!groups.isEmpty() && groups.size() <= 20);

    // Both axes span the same values, so the 1:1 line is the diagonal.
    double lo = 0, hi = 1;
    if (!fit.points.empty()) {
        std::tie(lo, hi) = fit.range();
        const double pad = hi > lo ? (hi - lo) * 0.05 : (lo == 0 ? 1 : std::fabs(lo) * 0.1);
        lo -= pad;
        hi += pad;
    }
    for (QValueAxis* a : {axisX, axisY}) {
        a->setRange(lo, hi);
        a->applyNiceNumbers();
    }
    // Nice numbers may round the two axes differently; one range for both.
    const double min = std::min(axisX->min(), axisY->min());
    const double max = std::max(axisX->max(), axisY->max());
    for (QValueAxis* a : {axisX, axisY}) {
        a->setRange(min, max);
        a->setLabelFormat(tickLabelFormat(min, max, a->tickCount()));
    }
    if (!fit.points.empty())
        line->replace(QList<QPointF>{{min, min}, {max, max}});

    QStringList notes;
    if (fit.observedColumn.isEmpty() || fit.simulatedColumn.isEmpty())
        notes << QStringLiteral("Open the result table and choose its observation and model "
                                "columns to see the fit.");
    if (fit.skipped > 0)
        notes << QStringLiteral("%1 row(s) without an observed or simulated value (or still at "
                                "-99) are left out.")
                     .arg(fit.skipped);
    if (const int all = int(fit.groups().size()); all > maxFitGroupsDrawn)
        notes << QStringLiteral("%1 groups of %2: too many to tell apart, shown in one colour.")
                     .arg(all)
                     .arg(fit.indexColumn);
    setNote(notes.join(QLatin1Char(' ')));
}

void FitChart::setNote(const QString& text) {
    noteLabel->setText(text);
    noteLabel->setVisible(!text.isEmpty());
}

QString FitChart::note() const {
    return noteLabel->text();
}

bool FitChart::savePng(const QString& path) const {
    return view->grab().save(path, "PNG");
}

void FitChart::saveWithDialog() {
    const QString path = choosePngPath
                             ? choosePngPath()
                             : QFileDialog::getSaveFileName(this, QStringLiteral("save as PNG"),
                                                            QStringLiteral("fit.png"),
                                                            QStringLiteral("PNG image (*.png)"));
    if (path.isEmpty())
        return;
    if (savePng(path))
        return;
    const QString message = QStringLiteral("The picture could not be written to '%1'.").arg(path);
    if (onError)
        onError(message);
    else
        QMessageBox::warning(this, QStringLiteral("Fitmara"), message);
}
