#include "analysis/fit_sheet.h"

#include "paramdb/database.h"

#include <cmath>

namespace {

constexpr int indexColumn = 1, observedColumn = 2, simulatedColumn = 3, residualColumn = 4;
constexpr int lineColumn = 6;
constexpr int runColumn = 8, criterionColumn = 9;
constexpr int chartColumn = 11;
constexpr int firstChartRow = 2, secondChartRow = 26;

void writeIndex(Workbook& book, int row, const QVariant& index) {
    if (!index.isValid() || index.isNull())
        return;
    if (isNumberValue(index))
        book.setNumber(row, indexColumn, index.toDouble());
    else
        book.setText(row, indexColumn, index.toString());
}

// One block of rows per drawn group (index, observed, simulated, residual),
// each a series of the scatter chart.
void writeFitRows(Workbook& book, const FitData& fit, Workbook::ScatterChart& scatter) {
    int row = 2;
    const std::vector<FitGroup> groups = fit.drawnGroups();
    for (int g = 0; g < int(groups.size()); ++g) {
        const FitGroup& group = groups[g];
        const int first = row;
        for (const int i : group.rows) {
            const FitPoint& p = fit.points[i];
            writeIndex(book, row, p.index);
            book.setNumber(row, observedColumn, p.observed);
            book.setNumber(row, simulatedColumn, p.simulated);
            book.setNumber(row, residualColumn, p.observed - p.simulated);
            ++row;
        }
        Workbook::ChartSeries series;
        // The group's index value names it where there is one, so that the
        // legend shows what the sheet holds.
        const QVariant& index = fit.points[group.rows.front()].index;
        if (group.label != allRowsLabel && index.isValid() && !index.isNull())
            series.name = {first, indexColumn};
        else
            series.nameText = group.label;
        series.firstRow = first;
        series.lastRow = row - 1;
        series.xColumn = observedColumn;
        series.yColumn = simulatedColumn;
        series.rgb = int(fitGroupRgb(g)); // as in the window
        scatter.series.append(series);
    }
}

// The 1:1 line over the range of the values, and the chart with it; a note in
// place of the chart when no row holds two numbers.
void addOneToOneLine(Workbook& book, const FitData& fit, Workbook::ScatterChart& scatter) {
    book.setText(1, lineColumn, QStringLiteral("1:1 line"));
    if (!fit.points.empty()) {
        auto [lo, hi] = fit.range();
        if (lo == hi) { // one value only: a line of no length would not show
            const double pad = lo == 0 ? 1 : std::fabs(lo) * 0.1;
            lo -= pad;
            hi += pad;
        }
        book.setNumber(2, lineColumn, lo);
        book.setNumber(3, lineColumn, hi);
        Workbook::ChartSeries line;
        line.name = {1, lineColumn};
        line.firstRow = 2;
        line.lastRow = 3;
        line.xColumn = lineColumn;
        line.yColumn = lineColumn;
        line.line = true;
        scatter.series.append(line);
        book.addScatterChart(scatter);
    } else {
        book.setText(2, indexColumn,
                     QStringLiteral("No selected row holds an observed and a simulated number."));
    }
}

// The criterion of every model run of the calibration, and its chart.
void writeCriterionCourse(Workbook& book, const QVector<QPointF>& criterion,
                          const QString& criterionName) {
    book.setText(1, runColumn, QStringLiteral("model run"));
    book.setText(1, criterionColumn, criterionName);
    bool allPositive = true;
    for (int i = 0; i < criterion.size(); ++i) {
        book.setNumber(i + 2, runColumn, criterion[i].x());
        book.setNumber(i + 2, criterionColumn, criterion[i].y());
        allPositive = allPositive && criterion[i].y() > 0 && std::isfinite(criterion[i].y());
    }
    if (criterion.isEmpty())
        return;
    Workbook::ScatterChart course;
    course.title = QStringLiteral("error function");
    course.xTitle = {1, runColumn};
    course.yTitle = {1, criterionColumn};
    course.at = {secondChartRow, chartColumn};
    course.legend = false;
    // Like the window's chart: logarithmic where every value allows it.
    course.logY = allPositive;
    Workbook::ChartSeries values;
    values.name = {1, criterionColumn};
    values.firstRow = 2;
    values.lastRow = int(criterion.size()) + 1;
    values.xColumn = runColumn;
    values.yColumn = criterionColumn;
    values.rgb = 0x004080; // the window's error chart
    course.series.append(values);
    book.addScatterChart(course);
}

} // namespace

void addFitSheet(Workbook& book, const FitData& fit, const QVector<QPointF>& criterion,
                 const QString& criterionName) {
    book.appendSheet(fitSheetName);
    book.setText(1, indexColumn, fit.indexColumn);
    book.setText(1, observedColumn, fit.observedColumn);
    book.setText(1, simulatedColumn, fit.simulatedColumn);
    book.setText(1, residualColumn, QStringLiteral("residual"));

    Workbook::ScatterChart scatter;
    scatter.title = QStringLiteral("observed vs simulated");
    scatter.xTitle = {1, observedColumn};
    scatter.yTitle = {1, simulatedColumn};
    scatter.at = {firstChartRow, chartColumn};
    writeFitRows(book, fit, scatter);
    addOneToOneLine(book, fit, scatter);
    if (fit.skipped > 0) {
        book.setText(5, lineColumn, QStringLiteral("rows left out"));
        book.setNumber(6, lineColumn, fit.skipped);
    }
    writeCriterionCourse(book, criterion, criterionName);
}
