#pragma once
// The error chart: the course of the error function (evaluation number, error)
// and the parameter plot, drawn as round markers on a logarithmic value axis.
// Qt Charts stays behind this class; the window only feeds it points.
#include <QPointF>
#include <QVector>
#include <QWidget>

class QChart;
class QChartView;
class QScatterSeries;
class QLogValueAxis;
class QValueAxis;

class ErrorChart : public QWidget {
    Q_OBJECT
  public:
    explicit ErrorChart(QWidget* parent = nullptr);

    void clear();
    // What the chart shows: the course of the criterion per model run, or the
    // per-observation sensitivities to one parameter (its name given).
    void showCriterionCourse(const QString& criterionName = QString());
    void showSensitivities(const QString& parameter);
    void addPoint(double x, double y);
    // Replaces the whole content (the parameter plot).
    void replace(const QVector<QPointF>& points);

    // The points the series holds, x ascending.
    QVector<QPointF> points() const;
    // Points that could not be drawn because their value is not positive.
    int omittedCount() const { return omitted; }

    QChart* chart() const { return chartObj; }
    QScatterSeries* series() const { return series2; }
    QLogValueAxis* valueAxis() const { return axisY; }
    QValueAxis* countAxis() const { return axisX; }

  signals:
    void pointsOmitted(int count);

  private:
    void insertSorted(const QPointF& p);
    void updateRanges();
    void updateNote();

    QChartView* view = nullptr;
    QChart* chartObj = nullptr;
    QScatterSeries* series2 = nullptr;
    QLogValueAxis* axisY = nullptr;
    QValueAxis* axisX = nullptr;
    int omitted = 0;
};
