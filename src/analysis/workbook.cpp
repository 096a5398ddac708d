#include "analysis/workbook.h"

#include "base/fit_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <xlsxwriter.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sys/stat.h>

namespace {

constexpr int maxRows = 1048576;
constexpr int maxColumns = 16384;

bool insideSheet(int row, int column) {
    return row >= 1 && row <= maxRows && column >= 1 && column <= maxColumns;
}

QString numberText(double value) {
    if (std::isnan(value))
        return QStringLiteral("NAN");
    return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
}

QString errnoText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// Makes a finished temporary file look like a freshly created one: the
// temporary file is private to its owner, a report should not be.
void applyDefaultPermissions(const QByteArray& path) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(path.constData(), 0666 & ~mask);
}

// The cell reference as libxlsxwriter counts: from 0.
lxw_row_t row0(int row) {
    return static_cast<lxw_row_t>(row - 1);
}
lxw_col_t col0(int column) {
    return static_cast<lxw_col_t>(column - 1);
}

// One chart, drawn from the cells of its sheet; the formulas the file holds name
// the sheet, so the chart follows edits of those cells.
lxw_error insertChart(lxw_workbook* book, lxw_worksheet* ws, const QString& sheetName,
                      const Workbook::ScatterChart& spec) {
    lxw_chart* chart = workbook_add_chart(book, LXW_CHART_SCATTER);
    if (!chart)
        return LXW_ERROR_MEMORY_MALLOC_FAILED;
    const QByteArray sheet = sheetName.toUtf8();
    const QByteArray title = spec.title.toUtf8();
    if (!spec.title.isEmpty())
        chart_title_set_name(chart, title.constData());
    if (spec.xTitle.row != 0)
        chart_axis_set_name_range(chart->x_axis, sheet.constData(), row0(spec.xTitle.row),
                                  col0(spec.xTitle.column));
    if (spec.yTitle.row != 0)
        chart_axis_set_name_range(chart->y_axis, sheet.constData(), row0(spec.yTitle.row),
                                  col0(spec.yTitle.column));
    if (spec.logY)
        chart_axis_set_log_base(chart->y_axis, 10);
    if (!spec.legend)
        chart_legend_set_position(chart, LXW_CHART_LEGEND_NONE);
    else
        chart_legend_set_position(chart, LXW_CHART_LEGEND_RIGHT);

    for (const Workbook::ChartSeries& s : spec.series) {
        lxw_chart_series* series = chart_add_series(chart, nullptr, nullptr);
        if (!series)
            return LXW_ERROR_MEMORY_MALLOC_FAILED;
        chart_series_set_categories(series, sheet.constData(), row0(s.firstRow), col0(s.xColumn),
                                    row0(s.lastRow), col0(s.xColumn));
        chart_series_set_values(series, sheet.constData(), row0(s.firstRow), col0(s.yColumn),
                                row0(s.lastRow), col0(s.yColumn));
        if (s.name.row != 0) {
            chart_series_set_name_range(series, sheet.constData(), row0(s.name.row),
                                        col0(s.name.column));
        } else if (!s.nameText.isEmpty()) {
            // A leading "=" would make the name a formula.
            const QByteArray name =
                (s.nameText.startsWith(QLatin1Char('=')) ? QStringLiteral(" ") + s.nameText
                                                         : s.nameText)
                    .toUtf8();
            chart_series_set_name(series, name.constData());
        }
        if (s.line) {
            lxw_chart_line line{};
            line.color = s.rgb >= 0 ? lxw_color_t(s.rgb) : 0x595959;
            line.width = 1.25;
            line.dash_type = LXW_CHART_LINE_DASH_DASH;
            chart_series_set_line(series, &line);
            chart_series_set_marker_type(series, LXW_CHART_MARKER_NONE);
        } else {
            chart_series_set_marker_type(series, LXW_CHART_MARKER_CIRCLE);
            chart_series_set_marker_size(series, 6);
            // Spreadsheet programs do not agree on automatic series colours
            // (one draws every series alike): a colour given is kept.
            if (s.rgb >= 0) {
                lxw_chart_fill fill{};
                fill.color = lxw_color_t(s.rgb);
                chart_series_set_marker_fill(series, &fill);
                lxw_chart_line border{};
                border.color = lxw_color_t(s.rgb);
                chart_series_set_marker_line(series, &border);
            }
        }
    }
    lxw_chart_options options{};
    options.x_scale = 1.5;
    options.y_scale = 1.5;
    return worksheet_insert_chart_opt(ws, row0(spec.at.row), col0(spec.at.column), chart, &options);
}

} // namespace

EllipseAxes ellipseAxes(const LongMatrix& V) {
    // Each step is worked out in extended precision and kept as a double.
    const long double v00 = V[0][0], v01 = V[0][1], v10 = V[1][0], v11 = V[1][1];
    const double mean = static_cast<double>((v11 + v00) / 2);
    const double disc = static_cast<double>(v10 * v01 + (v11 - v00) * (v11 - v00) / 4);
    const long double root = std::sqrt(static_cast<long double>(disc));
    EllipseAxes axes;
    axes.lambda1 = static_cast<double>(root + mean);
    axes.lambda2 = static_cast<double>(mean - root);
    constexpr double vertical = std::numeric_limits<double>::infinity();

    if (v01 == 0) {
        // Uncorrelated: the axes are those of the parameters. The larger variance
        // lambda1 belongs to parameter 1 when V[0][0] > V[1][1]; then the axis of
        // lambda2 (slope s1) runs along parameter 2. For equal variances the
        // ellipse is a circle and the parameter axes are as good as any.
        if (v00 > v11) {
            axes.s1 = vertical;
            axes.s2 = 0;
        } else {
            axes.s1 = 0;
            axes.s2 = vertical;
        }
        return axes;
    }

    const double denominator = static_cast<double>(v00 - axes.lambda1);
    if (denominator != 0) {
        axes.s1 = static_cast<double>(v01 / denominator);
    } else {
        // A correlation too weak to show in V[0][0] - lambda1 (it cancels when
        // V[0][0] > V[1][1]); the first row of (V - lambda2) gives the same
        // eigenvector without the cancellation.
        axes.s1 = static_cast<double>((axes.lambda2 - v00) / v01);
    }
    if (std::isinf(axes.s1))
        axes.s1 = vertical;
    if (axes.s1 == 0)
        axes.s2 = vertical;
    else if (std::isinf(axes.s1))
        axes.s2 = 0;
    else
        axes.s2 = static_cast<double>(-1.0L / axes.s1);
    return axes;
}

QString reportWorkbookPath(const QString& databaseFolder, bool unattended,
                           const QString& resultFile) {
    return databaseFolder + (unattended && !resultFile.isEmpty()
                                 ? resultFile + QStringLiteral(".xlsx")
                                 : QStringLiteral("opti_res.xlsx"));
}

void Workbook::checkName(const QString& name) const {
    static const QString forbidden = QStringLiteral("[]:*?/\\");
    bool valid = !name.isEmpty() && name.size() <= 31 && !name.startsWith(QLatin1Char('\'')) &&
                 !name.endsWith(QLatin1Char('\''));
    for (const QChar ch : name)
        if (forbidden.contains(ch))
            valid = false;
    if (!valid)
        throw FitError(QStringLiteral("invalid worksheet name '%1'").arg(name));
    for (const Sheet& sheet : sheets)
        if (sheet.name.compare(name, Qt::CaseInsensitive) == 0)
            throw FitError(QStringLiteral("a worksheet named '%1' already exists").arg(name));
}

void Workbook::addSheet(const QString& name) {
    checkName(name);
    sheets.prepend(Sheet{name, {}, {}});
    activeSheet = 0;
}

void Workbook::appendSheet(const QString& name) {
    checkName(name);
    sheets.append(Sheet{name, {}, {}});
    activeSheet = int(sheets.size()) - 1;
}

Workbook::Sheet& Workbook::active() {
    if (sheets.isEmpty())
        throw FitError(QStringLiteral("the workbook has no worksheet to write to"));
    return sheets[activeSheet];
}

void Workbook::setCell(int row, int column, Cell value) {
    Sheet& sheet = active();
    if (!insideSheet(row, column))
        throw FitError(QStringLiteral("cell (%1, %2) lies outside the worksheet '%3'")
                           .arg(row)
                           .arg(column)
                           .arg(sheet.name));
    sheet.cells.insert({row, column}, std::move(value));
}

void Workbook::addScatterChart(const ScatterChart& chart) {
    Sheet& sheet = active();
    auto outside = [&sheet](const QString& what) {
        return FitError(
            QStringLiteral("the chart's %1 lies outside the worksheet '%2'").arg(what, sheet.name));
    };
    if (!insideSheet(chart.at.row, chart.at.column))
        throw outside(QStringLiteral("position"));
    for (const CellRef& t : {chart.xTitle, chart.yTitle})
        if (t.row != 0 && !insideSheet(t.row, t.column))
            throw outside(QStringLiteral("axis title"));
    for (const ChartSeries& s : chart.series) {
        if (s.name.row != 0 && !insideSheet(s.name.row, s.name.column))
            throw outside(QStringLiteral("series name"));
        if (s.firstRow > s.lastRow || !insideSheet(s.firstRow, s.xColumn) ||
            !insideSheet(s.lastRow, s.yColumn) || !insideSheet(s.lastRow, s.xColumn))
            throw outside(QStringLiteral("data"));
    }
    sheet.charts.append(chart);
}

void Workbook::setText(int row, int column, const QString& text) {
    setCell(row, column, text);
}

void Workbook::setNumber(int row, int column, double value) {
    if (std::isfinite(value))
        setCell(row, column, value == 0 ? 0.0 : value); // no "-0" in the sheet
    else
        setCell(row, column, numberText(value));
}

namespace {

template <typename Matrix>
void writeMatrixSheet(Workbook& book, const QString& name, int r1, int r2, int c1, int c2,
                      const Matrix& M) {
    book.addSheet(name);
    for (int c = c1; c <= c2; ++c)
        book.setText(1, c + 1, QStringLiteral("P") + QString::number(c));
    for (int r = r1; r <= r2; ++r)
        book.setText(r + 1, 1, QStringLiteral("P") + QString::number(r));
    for (int r = r1; r <= r2; ++r)
        for (int c = c1; c <= c2; ++c)
            book.setNumber(r + 1, c + 1, static_cast<double>(M[r - 1][c - 1]));
}

} // namespace

void Workbook::addMatrixSheet(const QString& name, int r1, int r2, int c1, int c2,
                              const LongMatrix& M) {
    writeMatrixSheet(*this, name, r1, r2, c1, c2, M);
}

void Workbook::addMatrixSheet(const QString& name, int r1, int r2, int c1, int c2,
                              const SensitivityTable& M) {
    writeMatrixSheet(*this, name, r1, r2, c1, c2, M);
}

void Workbook::writeEllipseBlock(const LongMatrix& V, const QString& alias1,
                                 const QString& alias2) {
    const EllipseAxes axes = ellipseAxes(V);
    auto setSlope = [this](int row, double slope) {
        if (std::isinf(slope))
            setText(row, 2, verticalAxisText);
        else
            setNumber(row, 2, slope);
    };
    setText(4, 1, QStringLiteral("Eigenvalues"));
    setNumber(5, 2, axes.lambda1);
    setNumber(6, 2, axes.lambda2);
    setText(7, 1, QStringLiteral("main axes of conf. ellipse"));
    setText(8, 1, alias1);
    setSlope(8, axes.s1);
    setText(9, 1, alias2);
    setSlope(9, axes.s2);
}

QStringList Workbook::sheetNames() const {
    QStringList names;
    for (const Sheet& sheet : sheets)
        names << sheet.name;
    return names;
}

void Workbook::saveCopyAs(const QString& path) const {
    auto failure = [&path](const QString& reason) {
        return FitError(QStringLiteral("cannot write the workbook '%1': %2").arg(path, reason));
    };
    if (path.isEmpty())
        throw failure(QStringLiteral("no file name"));
    const QFileInfo target(path);
    if (target.isDir())
        throw failure(QStringLiteral("it is a directory"));

    // The file is built beside the target and renamed over it at the end, so a
    // failed write never leaves a damaged report in place of the previous one.
    QTemporaryFile temp(target.absolutePath() + QStringLiteral("/.") + target.fileName() +
                        QStringLiteral(".XXXXXX"));
    temp.setAutoRemove(true);
    if (!temp.open())
        throw failure(temp.errorString());
    temp.close();
    const QByteArray tempName = QFile::encodeName(temp.fileName());

    lxw_workbook* book = workbook_new(tempName.constData());
    if (!book)
        throw failure(QStringLiteral("the workbook could not be created"));
    lxw_error error = LXW_NO_ERROR;
    QString where;
    for (const Sheet& sheet : sheets) {
        lxw_worksheet* ws = workbook_add_worksheet(book, sheet.name.toUtf8().constData());
        if (!ws) {
            error = LXW_ERROR_SHEETNAME_ALREADY_USED;
            where = sheet.name;
            break;
        }
        for (auto it = sheet.cells.cbegin(); it != sheet.cells.cend() && !error; ++it) {
            const auto row = static_cast<lxw_row_t>(it.key().first - 1);
            const auto col = static_cast<lxw_col_t>(it.key().second - 1);
            if (const auto* text = std::get_if<QString>(&it.value()))
                error =
                    text->isEmpty()
                        ? LXW_NO_ERROR
                        : worksheet_write_string(ws, row, col, text->toUtf8().constData(), nullptr);
            else
                error = worksheet_write_number(ws, row, col, std::get<double>(it.value()), nullptr);
        }
        for (const ScatterChart& chart : sheet.charts) {
            if (error)
                break;
            error = insertChart(book, ws, sheet.name, chart);
        }
        if (error) {
            where = sheet.name;
            break;
        }
    }
    errno = 0;
    const lxw_error closeError = workbook_close(book); // frees the workbook in every case
    const int closeErrno = errno;
    if (error)
        throw failure(
            QStringLiteral("%1 (sheet '%2')").arg(QString::fromUtf8(lxw_strerror(error)), where));
    if (closeError) {
        QString reason = QString::fromUtf8(lxw_strerror(closeError));
        if (closeErrno)
            reason += QStringLiteral(" (") + errnoText(closeErrno) + QLatin1Char(')');
        throw failure(reason);
    }

    applyDefaultPermissions(tempName);
    if (std::rename(tempName.constData(), QFile::encodeName(target.absoluteFilePath())) != 0)
        throw failure(errnoText(errno));
    temp.setAutoRemove(false); // renamed: nothing left to remove
}
