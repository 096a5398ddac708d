#pragma once
// The fit of the model: observed against simulated values of the selected result
// rows, grouped by the index column. The window's chart and the workbook's "fit"
// sheet both draw from here; nothing in this unit knows a widget.
#include <QString>
#include <QVariant>
#include <utility>
#include <vector>

class Database;

struct FitPoint {
    QVariant index; // value of the index column; invalid when no index column is chosen
    double observed = 0;
    double simulated = 0;
};

// Rows of one value of the index column, as positions in FitData::points.
struct FitGroup {
    QString label;
    std::vector<int> rows;
};

// Beyond this many groups a picture cannot tell them apart by colour (and a
// spreadsheet chart holds at most 255 series): all rows are drawn as one.
constexpr int maxFitGroupsDrawn = 50;
inline const QString allRowsLabel = QStringLiteral("all rows");

struct FitData {
    QString indexColumn, observedColumn, simulatedColumn;
    std::vector<FitPoint> points; // in the order the result table returns them
    // Selected rows left out: a simulated value still at the -99 mark, or an
    // observed or simulated value that is empty or no number.
    int skipped = 0;

    // Groups in the order their first row appears. Without an index column all
    // rows form one group labelled allRowsLabel.
    std::vector<FitGroup> groups() const;
    // The groups a picture shows: groups(), or all rows as one group when there
    // are more than maxFitGroupsDrawn of them.
    std::vector<FitGroup> drawnGroups() const;
    // Smallest and largest of all observed and simulated values; (0, 0) without points.
    std::pair<double, double> range() const;
};

// The colour of group i (from 0) as 0xRRGGBB, the same in the window and in the
// report: ten colours that stay apart on screen and in print, then hues spread
// by the golden angle.
unsigned fitGroupRgb(int i);

// The label of a group: numbers in the general number format, text as it is,
// an empty value as "(empty)".
QString fitGroupLabel(const QVariant& index);

// Reads (index, observed, simulated) of the rows of `table` that `condition`
// selects, in one statement. `index` may be empty (no grouping); an empty
// observed or simulated column gives no points. Errors of the engine (a table
// or condition it rejects) raise FitError.
FitData readFitPoints(Database& db, const QString& table, const QString& condition,
                      const QString& observed, const QString& simulated, const QString& index);
