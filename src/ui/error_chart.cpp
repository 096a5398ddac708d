#include "ui/error_chart.h"

#include <QChart>
#include <QChartView>
#include <QLogValueAxis>
#include <QScatterSeries>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <limits>

ErrorChart::ErrorChart(QWidget* parent) : QWidget(parent) {
    chartObj = new QChart;
    chartObj->setTitle(QStringLiteral("error function"));
    chartObj->setBackgroundBrush(Qt::white);
    chartObj->setBackgroundRoundness(8);
    chartObj->legend()->hide();
    chartObj->setAnimationOptions(QChart::NoAnimation);

    series2 = new QScatterSeries;
    series2->setObjectName(QStringLiteral("Series2"));
    series2->setName(QStringLiteral("Series2"));
    series2->setMarkerShape(QScatterSeries::MarkerShapeCircle);
    series2->setMarkerSize(7);
    series2->setColor(QColor(0, 64, 128));
    series2->setBorderColor(QColor(0, 64, 128));
    series2->setPointLabelsVisible(false);
    chartObj->addSeries(series2);

    axisX = new QValueAxis;
    axisX->setLabelFormat(QStringLiteral("%g"));
    axisX->setRange(0, 1);
    chartObj->addAxis(axisX, Qt::AlignBottom);
    series2->attachAxis(axisX);

    axisY = new QLogValueAxis;
    axisY->setBase(10);
    // Two decimals and a signed exponent: 1.23E+02, 4.50E-03.
    axisY->setLabelFormat(QStringLiteral("%.2E"));
    axisY->setMinorTickCount(-1);
    axisY->setRange(1, 10);
    chartObj->addAxis(axisY, Qt::AlignLeft);
    series2->attachAxis(axisY);
    showCriterionCourse();

    view = new QChartView(chartObj, this);
    view->setRenderHint(QPainter::Antialiasing);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    setMinimumSize(200, 150);
}

void ErrorChart::showCriterionCourse(const QString& criterionName) {
    chartObj->setTitle(QStringLiteral("error function"));
    axisX->setTitleText(QStringLiteral("model run"));
    axisY->setTitleText(criterionName.isEmpty() ? QStringLiteral("criterion") : criterionName);
}

void ErrorChart::showSensitivities(const QString& parameter) {
    chartObj->setTitle(parameter.isEmpty()
                           ? QStringLiteral("model value per observation")
                           : QStringLiteral("sensitivity to %1 per observation").arg(parameter));
    axisX->setTitleText(QStringLiteral("observation"));
    axisY->setTitleText(parameter.isEmpty() ? QStringLiteral("model value")
                                            : QStringLiteral("sensitivity"));
}

void ErrorChart::clear() {
    series2->clear();
    omitted = 0;
    updateRanges();
    updateNote();
}

// A logarithmic axis has no place for zero or a negative error (a model run
// that left no difference, or a sensitivity column with negative entries).
// Such a value is left out of the drawing instead of breaking the axis; the
// count is shown in the chart's tooltip so the gap is not silent.
void ErrorChart::addPoint(double x, double y) {
    if (!(y > 0) || !std::isfinite(y) || !std::isfinite(x)) {
        ++omitted;
        updateNote();
        emit pointsOmitted(omitted);
        return;
    }
    insertSorted(QPointF(x, y));
    updateRanges();
}

void ErrorChart::replace(const QVector<QPointF>& pts) {
    QList<QPointF> kept;
    int left = 0;
    for (const QPointF& p : pts) {
        if (p.y() > 0 && std::isfinite(p.y()) && std::isfinite(p.x()))
            kept.append(p);
        else
            ++left;
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); });
    series2->replace(kept);
    omitted = left;
    updateRanges();
    updateNote();
    if (left > 0)
        emit pointsOmitted(omitted);
}

QVector<QPointF> ErrorChart::points() const {
    return series2->points();
}

void ErrorChart::insertSorted(const QPointF& p) {
    const QList<QPointF> pts = series2->points();
    // Evaluation numbers arrive in ascending order: appending is the usual case.
    if (pts.isEmpty() || pts.last().x() <= p.x()) {
        series2->append(p);
        return;
    }
    int pos = 0;
    while (pos < pts.size() && pts[pos].x() <= p.x())
        ++pos;
    series2->insert(pos, p);
}

void ErrorChart::updateRanges() {
    const QList<QPointF> pts = series2->points();
    if (pts.isEmpty()) {
        axisX->setRange(0, 1);
        axisY->setRange(1, 10);
        return;
    }
    double xmin = std::numeric_limits<double>::max(), xmax = std::numeric_limits<double>::lowest();
    double ymin = std::numeric_limits<double>::max(), ymax = std::numeric_limits<double>::lowest();
    for (const QPointF& p : pts) {
        xmin = std::min(xmin, p.x());
        xmax = std::max(xmax, p.x());
        ymin = std::min(ymin, p.y());
        ymax = std::max(ymax, p.y());
    }
    const double xpad = xmax > xmin ? (xmax - xmin) * 0.05 : 1.0;
    axisX->setRange(xmin - xpad, xmax + xpad);
    axisX->applyNiceNumbers();
    // Run and observation numbers are whole: ticks between them would repeat
    // a label or shrink it to "…".
    axisX->setLabelFormat(QStringLiteral("%.0f"));
    if (axisX->max() - axisX->min() < 4) {
        axisX->setRange(std::floor(xmin) - 1, std::ceil(xmax) + 1);
        axisX->setTickCount(int(axisX->max() - axisX->min()) + 1);
    }
    // Rounding to nice numbers can reach far below the first evaluation (0
    // becomes -20 for fifty runs): no count lies there, so the axis starts at 0.
    if (xmin >= 0 && axisX->min() < 0) {
        axisX->setMin(0);
        axisX->setTickType(QValueAxis::TicksDynamic);
        axisX->setTickAnchor(0);
        const double span = axisX->max();
        const double raw = span / 5.0;
        const double mag = std::pow(10.0, std::floor(std::log10(raw)));
        const double norm = raw / mag;
        axisX->setTickInterval(std::max(1.0, (norm <= 1   ? 1
                                              : norm <= 2 ? 2
                                              : norm <= 5 ? 5
                                                          : 10) *
                                                 mag));
    } else {
        axisX->setTickType(QValueAxis::TicksFixed);
    }
    // Whole decades around the values, with a tenth of a decade to spare at
    // either end: a value just below a decade (0.95) or on it (1E0) would
    // otherwise sit on the chart's edge with its marker cut in half.
    const double margin = std::pow(10.0, 0.1);
    const double lo = std::pow(10.0, std::ceil(std::log10(ymin / margin)) - 1.0);
    const double hi = std::pow(10.0, std::floor(std::log10(ymax * margin)) + 1.0);
    axisY->setRange(lo, hi);
}

void ErrorChart::updateNote() {
    const QString note =
        omitted > 0 ? tr("%n value(s) not greater than zero cannot be shown on the logarithmic "
                         "axis and were left out.",
                         nullptr, omitted)
                    : QString();
    setToolTip(note);
    view->setToolTip(note);
}
