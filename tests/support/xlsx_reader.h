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

    static XlsxCell text(const QString& t) { return XlsxCell{true, t, 0}; }
    static XlsxCell number(double v) { return XlsxCell{false, {}, v}; }

  private:
    QStringList names;
    QMap<QString, QMap<std::pair<int, int>, XlsxCell>> sheets;
};

// Lets gtest print a cell in a failure message.
void PrintTo(const XlsxCell& cell, std::ostream* os);
