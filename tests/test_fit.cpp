// The fit of the model without a window: the rows read from the result table,
// their groups, and the report's "fit" sheet read back from the .xlsx file.
#include "analysis/fit_sheet.h"
#include "base/fit_error.h"
#include "evaluation/fit_points.h"
#include "paramdb/database.h"
#include "support/session_fixture.h"
#include "support/xlsx_reader.h"

#include <QCoreApplication>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Seven rows; three cannot be drawn: one still at the -99 mark, one without an
// observation, one whose simulated value is text.
const char* kResultsSql = R"(
create table results (ID integer primary key, SITE, OBS double, SIM, VAR double);
insert into results values
  (1, 'A', 1.0, 1.1, 1), (2, 'A', 2.0, 1.8, 1), (3, 'B', 3.0, -99, 1), (4, 'B', null, 2.0, 1),
  (5, 'B', 4.0, 4.4, 1), (6, 2, 5.0, 'x', 1), (7, 'C', 6.0, 5.5, 1);
)";

class FitPoints : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        db.open(fixture::makeDb(tmp.path(), kResultsSql));
    }
    QTemporaryDir tmp;
    Database db{QStringLiteral("fit_points_test")};
};

QList<int> ids(const FitData& fit) {
    // The observed values here are the row numbers' own: 1, 2, 4, 6 for rows 1, 2, 5, 7.
    QList<int> out;
    for (const FitPoint& p : fit.points)
        out << int(p.observed);
    return out;
}

TEST_F(FitPoints, SelectedRowsWithBothValuesInTableOrder) {
    struct Case {
        const char* name;
        const char* condition;
        const char* index;
        QList<int> observed;
        int skipped;
        QStringList groups;
    };
    const Case cases[] = {
        {"all rows", "1=1", "SITE", {1, 2, 4, 6}, 3, {"A", "B", "C"}},
        {"condition with or", "SITE = 'A' or SITE = 'C'", "SITE", {1, 2, 6}, 0, {"A", "C"}},
        // The condition is the person's SQL, a trailing comment included.
        {"trailing comment", "SITE = 'B' -- the middle site", "SITE", {4}, 2, {"B"}},
        {"no index column", "1=1", "", {1, 2, 4, 6}, 3, {"all rows"}},
        {"no row selected", "ID > 100", "SITE", {}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FitData fit = readFitPoints(db, "results", c.condition, "OBS", "SIM", c.index);
        EXPECT_EQ(ids(fit), c.observed);
        EXPECT_EQ(fit.skipped, c.skipped);
        QStringList labels;
        for (const FitGroup& g : fit.groups())
            labels << g.label;
        EXPECT_EQ(labels, c.groups);
    }
    const FitData all = readFitPoints(db, "results", "1=1", "OBS", "SIM", "SITE");
    ASSERT_EQ(all.points.size(), 4u);
    EXPECT_EQ(all.points[1].simulated, 1.8);
    EXPECT_EQ(all.points[2].index.toString(), QStringLiteral("B"));
    EXPECT_EQ(all.groups()[0].rows, (std::vector<int>{0, 1}));
    EXPECT_EQ(all.range(), std::make_pair(1.0, 6.0));
}

TEST_F(FitPoints, MissingRolesGiveNoPointsAndEngineErrorsRaise) {
    EXPECT_TRUE(readFitPoints(db, "results", "1=1", "", "SIM", "SITE").points.empty());
    EXPECT_TRUE(readFitPoints(db, "results", "1=1", "OBS", "", "SITE").points.empty());
    EXPECT_THROW(readFitPoints(db, "results", "nosuch = 1", "OBS", "SIM", ""), FitError);
    EXPECT_THROW(readFitPoints(db, "nosuch", "1=1", "OBS", "SIM", ""), FitError);
}

TEST(FitGroups, LabelsAndTheLimitOfGroupsDrawnApart) {
    EXPECT_EQ(fitGroupLabel(QVariant(qlonglong(12))), QStringLiteral("12"));
    EXPECT_EQ(fitGroupLabel(QVariant(1.5)), QStringLiteral("1.5"));
    EXPECT_EQ(fitGroupLabel(QVariant(QStringLiteral("north"))), QStringLiteral("north"));
    EXPECT_EQ(fitGroupLabel(QVariant()), QStringLiteral("(empty)"));

    // Every group that is drawn apart has a colour of its own.
    QSet<unsigned> colours;
    for (int i = 0; i < maxFitGroupsDrawn; ++i)
        colours << fitGroupRgb(i);
    EXPECT_EQ(colours.size(), maxFitGroupsDrawn);
    EXPECT_EQ(fitGroupRgb(0), 0x1f77b4u);

    for (const int groups : {maxFitGroupsDrawn, maxFitGroupsDrawn + 1}) {
        SCOPED_TRACE(groups);
        FitData fit;
        fit.indexColumn = "G";
        for (int i = 0; i < 2 * groups; ++i)
            fit.points.push_back({QVariant(i % groups), double(i), double(i)});
        EXPECT_EQ(int(fit.groups().size()), groups);
        const std::vector<FitGroup> drawn = fit.drawnGroups();
        if (groups <= maxFitGroupsDrawn) {
            EXPECT_EQ(int(drawn.size()), groups);
            EXPECT_EQ(drawn[1].rows, (std::vector<int>{1, 1 + groups}));
        } else {
            ASSERT_EQ(drawn.size(), 1u);
            EXPECT_EQ(drawn[0].label, allRowsLabel);
            EXPECT_EQ(int(drawn[0].rows.size()), 2 * groups);
        }
    }
}

// ------------------------------------------------------------- the sheet

class FitSheet : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

    // Groups 7 and "east" interleaved in the table.
    static FitData sample() {
        FitData fit;
        fit.indexColumn = "SITE";
        fit.observedColumn = "OBS";
        fit.simulatedColumn = "SIM";
        fit.points = {{QVariant(qlonglong(7)), 1.0, 1.5},
                      {QVariant(QStringLiteral("east")), 4.0, 3.0},
                      {QVariant(qlonglong(7)), 2.0, 2.5}};
        fit.skipped = 2;
        return fit;
    }
};

TEST_F(FitSheet, RowsGroupedAfterTheOtherSheetsWithBothChartsOnTheirRanges) {
    Workbook book;
    book.addMatrixSheet(Workbook::sensitivitySheet, 1, 1, 1, 1, LongMatrix{{1}});
    book.addMatrixSheet(Workbook::fisherSheet, 1, 1, 1, 1, LongMatrix{{2}});
    book.addMatrixSheet(Workbook::covarianceSheet, 1, 1, 1, 1, LongMatrix{{3}});
    addFitSheet(book, sample(), {{0, 0.9}, {1, 0.5}, {2, 0.25}}, QStringLiteral("RMSE"));
    book.saveCopyAs(path("report.xlsx"));

    const XlsxReader xlsx(path("report.xlsx"));
    EXPECT_EQ(xlsx.sheetNames(),
              (QStringList{"covariance", "Fisher information", "sensitivities", "fit"}));
    // The sheets before it are as they were.
    EXPECT_EQ(xlsx.cell("covariance", 2, 2), XlsxReader::number(3));

    using C = XlsxReader;
    const QMap<std::pair<int, int>, XlsxCell> expected{
        {{1, 1}, C::text("SITE")},     {{1, 2}, C::text("OBS")},
        {{1, 3}, C::text("SIM")},      {{1, 4}, C::text("residual")},
        {{2, 1}, C::number(7)},        {{2, 2}, C::number(1)},
        {{2, 3}, C::number(1.5)},      {{2, 4}, C::number(-0.5)},
        {{3, 1}, C::number(7)},        {{3, 2}, C::number(2)},
        {{3, 3}, C::number(2.5)},      {{3, 4}, C::number(-0.5)},
        {{4, 1}, C::text("east")},     {{4, 2}, C::number(4)},
        {{4, 3}, C::number(3)},        {{4, 4}, C::number(1)},
        {{1, 6}, C::text("1:1 line")}, {{2, 6}, C::number(1)},
        {{3, 6}, C::number(4)},        {{5, 6}, C::text("rows left out")},
        {{6, 6}, C::number(2)},        {{1, 8}, C::text("model run")},
        {{1, 9}, C::text("RMSE")},     {{2, 8}, C::number(0)},
        {{2, 9}, C::number(0.9)},      {{3, 8}, C::number(1)},
        {{3, 9}, C::number(0.5)},      {{4, 8}, C::number(2)},
        {{4, 9}, C::number(0.25)},
    };
    EXPECT_EQ(xlsx.cells("fit"), expected);

    const QList<XlsxChart> charts = xlsx.charts("fit");
    ASSERT_EQ(charts.size(), 2);
    EXPECT_TRUE(charts[0].part.startsWith("xl/charts/chart")) << charts[0].part.toStdString();
    EXPECT_EQ(charts[0].type, QStringLiteral("scatterChart"));
    EXPECT_EQ(charts[0].title, QStringLiteral("observed vs simulated"));
    EXPECT_FALSE(charts[0].logScale);
    // One series per group, named by its index cell, then the 1:1 line; the
    // axes are titled with the column names.
    for (const char* f : {"fit!$A$2", "fit!$B$2:$B$3", "fit!$C$2:$C$3", "fit!$A$4", "fit!$B$4",
                          "fit!$C$4", "fit!$F$1", "fit!$F$2:$F$3", "fit!$B$1", "fit!$C$1"})
        EXPECT_TRUE(charts[0].formulas.contains(QString::fromLatin1(f))) << f;
    EXPECT_EQ(charts[0].formulas.count("fit!$F$2:$F$3"), 2) << "x and y of the 1:1 line";
    // Each group in the window's colour for it, not left to the spreadsheet.
    for (int g = 0; g < 2; ++g)
        EXPECT_TRUE(charts[0].colours.contains(
            QString::number(fitGroupRgb(g), 16).toUpper().rightJustified(6, QLatin1Char('0'))))
            << g;

    EXPECT_EQ(charts[1].type, QStringLiteral("scatterChart"));
    EXPECT_TRUE(charts[1].logScale);
    for (const char* f : {"fit!$I$1", "fit!$H$2:$H$4", "fit!$I$2:$I$4", "fit!$H$1"})
        EXPECT_TRUE(charts[1].formulas.contains(QString::fromLatin1(f))) << f;
}

TEST_F(FitSheet, WithoutRowsOrCriterionTheChartsThatHaveNothingToShowAreLeftOut) {
    struct Case {
        const char* name;
        bool points;
        QVector<QPointF> criterion;
        int charts;
        bool logScale; // of the criterion chart, when there is one
    };
    const Case cases[] = {
        {"no criterion", true, {}, 1, false},
        {"no rows", false, {{0, 1}}, 1, true},
        // A zero has no place on a logarithmic axis.
        {"criterion reaching zero", true, {{0, 1}, {1, 0}}, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FitData fit = sample();
        if (!c.points)
            fit.points.clear();
        Workbook book;
        addFitSheet(book, fit, c.criterion, QStringLiteral("NRMSE"));
        book.saveCopyAs(path("small.xlsx"));
        const XlsxReader xlsx(path("small.xlsx"));
        const QList<XlsxChart> charts = xlsx.charts("fit");
        ASSERT_EQ(charts.size(), c.charts);
        if (!c.criterion.isEmpty()) {
            EXPECT_EQ(charts.back().logScale, c.logScale);
        }
        if (!c.points) {
            EXPECT_FALSE(xlsx.cell("fit", 2, 6).has_value()) << "no 1:1 line without rows";
            EXPECT_TRUE(xlsx.cell("fit", 2, 1)->isText);
        }
    }
}

TEST(FitSheetCharts, ReferencesOutsideTheSheetAreRefused) {
    Workbook book;
    Workbook::ScatterChart chart;
    chart.at = {2, 11};
    EXPECT_THROW(book.addScatterChart(chart), FitError); // no sheet yet
    book.appendSheet("fit");
    Workbook::ChartSeries s;
    s.firstRow = 3;
    s.lastRow = 2;
    s.xColumn = 2;
    s.yColumn = 3;
    chart.series = {s};
    EXPECT_THROW(book.addScatterChart(chart), FitError); // rows the wrong way round
    chart.series[0].lastRow = 1048577;
    EXPECT_THROW(book.addScatterChart(chart), FitError);
    chart.series[0].lastRow = 4;
    chart.at = {0, 11};
    EXPECT_THROW(book.addScatterChart(chart), FitError);
    chart.at = {2, 11};
    EXPECT_NO_THROW(book.addScatterChart(chart));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
