#pragma once
// A small reader of .xlsx files for tests: sheet names in tab order and the
// value of each cell, read with the system's unzip program.
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

struct XlsxCell {
    bool isText = false;
    QString text;      // the text of a text cell
    double number = 0; // the value of a number cell

    bool operator==(const XlsxCell&) const = default;
};

// A chart drawn on a sheet, as its part in the file describes it.
struct XlsxChart {
    QString part;          // "xl/charts/chart1.xml"
    QString type;          // the plot's element: "scatterChart", "lineChart", ...
    QString title;         // the text of the chart's own title
    QStringList formulas;  // every cell reference (<c:f>) in document order
    bool logScale = false; // an axis with a logarithmic scale
    QStringList colours;   // every colour given (<a:srgbClr val>) in document order
};

class XlsxReader {
  public:
    // Reads the whole workbook; throws std::runtime_error when the file cannot
    // be unpacked or parsed.
    explicit XlsxReader(const QString& path);

    QStringList sheetNames() const { return names; }

    // The cell at a 1-based row and column, or nothing for an empty cell.
    std::optional<XlsxCell> cell(const QString& sheet, int row, int column) const;
    // All non-empty cells of a sheet, keyed by (row, column).
    QMap<std::pair<int, int>, XlsxCell> cells(const QString& sheet) const;
    // The charts drawn on a sheet, in the order of its drawing.
    QList<XlsxChart> charts(const QString& sheet) const { return sheetCharts.value(sheet); }

    static XlsxCell text(const QString& t) { return XlsxCell{true, t, 0}; }
    static XlsxCell number(double v) { return XlsxCell{false, {}, v}; }

  private:
    QStringList names;
    QMap<QString, QMap<std::pair<int, int>, XlsxCell>> sheets;
    QMap<QString, QList<XlsxChart>> sheetCharts;
};

// Lets gtest print a cell in a failure message.
void PrintTo(const XlsxCell& cell, std::ostream* os);
