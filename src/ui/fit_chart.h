#pragma once
// The chart "observed vs simulated" beside the result grid: one point per
// selected row, one colour per group of the index column, and the 1:1 line.
//
// It reads its rows through a source the window gives it. Reads are asked for
// often (after every model run, every change of a column role) and coalesced:
// one timer collects the requests, so the result table is read at most a few
// times a second, and not at all while the chart cannot be seen.
#include "evaluation/fit_points.h"

#include <QColor>
#include <QList>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

class QAction;
class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

// The printf format of an axis's tick labels from its range and tick count.
QString tickLabelFormat(double min, double max, int ticks);

class FitChart : public QWidget {
    Q_OBJECT
  public:
    // Rows to draw; nothing when they cannot be read just now (the model holds
    // the database), which keeps the picture as it is. May throw FitError.
    using Source = std::function<std::optional<FitData>()>;

    static constexpr int refreshIntervalMs = 250;

    explicit FitChart(QWidget* parent = nullptr);

    void setSource(Source source) { src = std::move(source); }
    // Reads again within refreshIntervalMs; requests in between are one read.
    void requestRefresh();
    // Reads and draws at once.
    void refreshNow();
    // Draws the given rows.
    void showFit(const FitData& fit);

    // Writes the picture as a PNG file; false when it cannot be written.
    bool savePng(const QString& path) const;
    // "save as PNG…" of the context menu.
    QAction* saveAction() const { return saveAct; }
    // Asks for the PNG's file name; a file dialog unless set. Empty: cancelled.
    std::function<QString()> choosePngPath;
    // Tells the person that saving failed; a message box unless set.
    std::function<void(const QString&)> onError;

    // The distinct colour of group i (0-based).
    static QColor groupColour(int i);

    QChart* chart() const { return chartObj; }
    QList<QScatterSeries*> groupSeries() const { return groups; }
    QLineSeries* identityLine() const { return line; }
    QValueAxis* observedAxis() const { return axisX; }
    QValueAxis* simulatedAxis() const { return axisY; }
    // What the chart cannot show (rows left out, a read that failed); empty when all is shown.
    QString note() const;
    // Reads done so far.
    int readCount() const { return reads; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void clearSeries();
    void setNote(const QString& text);
    void saveWithDialog();

    Source src;
    QTimer timer;
    bool missedRead = false; // the last read found the database closed
    bool staleWhileHidden = false;
    int reads = 0;

    QChartView* view = nullptr;
    QChart* chartObj = nullptr;
    QValueAxis* axisX = nullptr;
    QValueAxis* axisY = nullptr;
    QList<QScatterSeries*> groups;
    QLineSeries* line = nullptr;
    QLabel* noteLabel = nullptr;
    QAction* saveAct = nullptr;
};
