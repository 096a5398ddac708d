#pragma once
// The spreadsheet report of the uncertainty analysis, written as an .xlsx file.
//
// Sheets, cells and charts are collected in memory and the file is written once,
// by saveCopyAs. As in an interactive spreadsheet, every new sheet goes in front
// of the sheet added before it and becomes the active one, so the sheets added in
// the order sensitivities, Fisher information, covariance read covariance,
// Fisher information, sensitivities from left to right. appendSheet puts a sheet
// behind all of them instead.
#include "analysis/matrix_unit.h"
#include "analysis/sensitivity_table.h"

#include <QList>
#include <QMap>
#include <QString>
#include <variant>

// Main axes of the confidence ellipse of two parameters, from their 2 x 2
// covariance matrix V. lambda1 >= lambda2 are the eigenvalues; s1 and s2 are
// the slopes, in the plane (parameter 1, parameter 2), of the axes of lambda2
// and lambda1. A slope of +infinity stands for an axis parallel to the axis of
// parameter 2 (that is what an uncorrelated pair with the larger variance in
// parameter 1 gives).
struct EllipseAxes {
    double lambda1 = 0;
    double lambda2 = 0;
    double s1 = 0;
    double s2 = 0;
};
EllipseAxes ellipseAxes(const LongMatrix& V);

// The report file name: <databaseFolder><batchResultName>.xlsx in a batch run, otherwise
// <databaseFolder>opti_res.xlsx. An empty databaseFolder leaves the name relative to the
// working directory.
QString reportWorkbookPath(const QString& databaseFolder, bool unattended,
                           const QString& resultFile);

class Workbook {
  public:
    using Cell = std::variant<QString, double>;

    // Sheet names, for the content each sheet holds.
    static inline const QString sensitivitySheet = QStringLiteral("sensitivities");
    static inline const QString fisherSheet = QStringLiteral("Fisher information");
    static inline const QString covarianceSheet = QStringLiteral("covariance");

    // Text written in place of a slope whose axis runs parallel to parameter 2.
    static inline const QString verticalAxisText = QStringLiteral("vertical");

    // A new empty sheet, placed before the active sheet; it becomes the active sheet.
    // Throws FitError for a name a spreadsheet does not accept or one already used.
    void addSheet(const QString& name);
    // The same, but the new sheet goes behind every other sheet (it still becomes
    // the active one).
    void appendSheet(const QString& name);

    // Cells of the active sheet; row and column are 1-based (column 1 is A).
    // A number that is not finite is stored as the text "NAN", "INF" or "-INF",
    // because the file format has no such numbers. Throws FitError when there is
    // no sheet or the position lies outside a worksheet.
    void setText(int row, int column, const QString& text);
    void setNumber(int row, int column, double value);

    // A new sheet holding positions r1..r2 x c1..c2 of M (position (r, c) is
    // M[r-1][c-1]): "P" + c labels in row 1 from column c + 1, "P" + r labels in
    // column A from row r + 1, and the values at (r + 1, c + 1); A1 stays empty.
    void addMatrixSheet(const QString& name, int r1, int r2, int c1, int c2, const LongMatrix& M);
    void addMatrixSheet(const QString& name, int r1, int r2, int c1, int c2,
                        const SensitivityTable& M);

    // The eigenvalues and main axes of the confidence ellipse of a pair of
    // parameters, below the 2 x 2 matrix of the active sheet: A4 "Eigenvalues",
    // B5 lambda1, B6 lambda2, A7 "main axes of conf. ellipse", A8/B8 alias1 and s1,
    // A9/B9 alias2 and s2. An axis parallel to parameter 2 shows as "vertical".
    void writeEllipseBlock(const LongMatrix& V, const QString& alias1, const QString& alias2);

    // A cell by 1-based row and column; row 0 stands for none.
    struct CellRef {
        int row = 0;
        int column = 0;
    };
    // One series of a scatter chart: x from xColumn, y from yColumn, rows
    // firstRow..lastRow of the sheet that holds the chart.
    struct ChartSeries {
        CellRef name;     // the cell holding the series' name...
        QString nameText; // ...or this text when name.row is 0
        int firstRow = 0, lastRow = 0;
        int xColumn = 0, yColumn = 0;
        bool line = false; // a straight line through the points instead of markers
        int rgb = -1;      // its colour as 0xRRGGBB; -1: the spreadsheet's choice
    };
    struct ScatterChart {
        QString title;
        CellRef xTitle, yTitle; // cells holding the axis titles
        QList<ChartSeries> series;
        bool logY = false;
        bool legend = true;
        CellRef at; // where its top left corner lies
    };
    // A native scatter chart on the active sheet, drawn from its cells. Throws
    // FitError when there is no sheet or a reference lies outside a worksheet.
    void addScatterChart(const ScatterChart& chart);

    // Writes the whole workbook to path, replacing an existing file only once
    // the new one is complete. Throws FitError naming the path and the reason.
    // The workbook stays as it is and can be saved again.
    void saveCopyAs(const QString& path) const;

    // Sheet names from left to right.
    QStringList sheetNames() const;

  private:
    struct Sheet {
        QString name;
        QMap<std::pair<int, int>, Cell> cells;
        QList<ScatterChart> charts;
    };
    Sheet& active();
    void checkName(const QString& name) const;
    void setCell(int row, int column, Cell value);

    QList<Sheet> sheets; // left to right
    int activeSheet = 0;
};
