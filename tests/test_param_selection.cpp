// Choosing fields of model tables as parameters: the values and conditions of
// the PARM_INT records, the correlation columns, the failures of a press, and
// the dialog driven through its controls.
#include "app/session.h"
#include "base/fit_error.h"
#include "paramdb/param_selection.h"
#include "support/session_fixture.h"
#include "ui/parameter_selection_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace fixture;

namespace {

const char* kModelSql = R"(
create table soil (ITEM_IX integer primary key, code varchar(10), kf double, porosity double,
                   depth double, label text);
insert into soil values (1, 'A1', 2, 0, -2, 'sand');
insert into soil values (2, 'B2', 7, 0.5, 1.5, 'clay');
create table crop (name char(10), growth double, item_ix integer);
insert into crop values ('wheat', 0.25, 4);
)";

// One PARM_INT record as stored.
struct ParmRow {
    QString fname, pname, selection;
    QVariant minimum, maximum, ival, step, aval, alias, error;
};

class ParamSelectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        dbPath = makeDb(dir.path(), kModelSql);
        s.settings().pauseAfterRunMs = 0;
        s.settings().pauseBeforeVertexMs = 0;
        s.settings().databaseFile = dbPath;
        s.openDatabase();
    }

    std::vector<ParmRow> parmRows() {
        std::vector<ParmRow> out;
        QSqlQuery q =
            s.database().query("select FNAME, PNAME, SELECTION, MINIMUM, MAXIMUM, IVAL, STEP, "
                               "AVAL, ALIAS, ERROR from parm_int order by ITEM_IX");
        while (q.next())
            out.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                           q.value(3), q.value(4), q.value(5), q.value(6), q.value(7), q.value(8),
                           q.value(9)});
        return out;
    }

    QStringList correlationColumns() {
        QStringList out;
        for (const QString& c : s.database().columns("parm_int"))
            if (c.startsWith("r_", Qt::CaseInsensitive))
                out << c;
        return out;
    }

    void addExistingParameters(int n) {
        for (int i = 0; i < n; ++i)
            s.database().exec(
                "insert into parm_int (FNAME, PNAME, SELECTION) values ('soil', 'kf', "
                "'ITEM_IX=1')");
    }

    QTemporaryDir dir;
    QString dbPath;
    Session s;
};

// ---- values derived from the field's current value ----

TEST(ParameterDefaults, BoundsStartAndStepFollowTheValue) {
    struct Case {
        double v, minimum, maximum, ival, step;
    };
    // 7 tells extended from double arithmetic: 0.1 * 7 in doubles is 0.7000000000000001.
    const Case cases[] = {
        {2, 0.2, 6, 2, 0.02},
        {0, 0, 0, 0, 0},
        {-2, -0.2, -6, -2, -0.02},
        {7, 0.7, 21, 7, 0.07},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v);
        const ParameterDefaults d = parameterDefaults(c.v);
        EXPECT_EQ(d.minimum, c.minimum);
        EXPECT_EQ(d.maximum, c.maximum);
        EXPECT_EQ(d.ival, c.ival);
        EXPECT_EQ(d.step, c.step);
    }
    // A negative value is not reordered: the minimum lies above the maximum.
    EXPECT_GT(parameterDefaults(-2).minimum, parameterDefaults(-2).maximum);
}

TEST(ParameterValue, NumbersNullAndNumericTextReadOthersFail) {
    EXPECT_EQ(parameterValue(QVariant(), "f"), 0.0);
    EXPECT_EQ(parameterValue(QVariant(QMetaType(QMetaType::Double)), "f"), 0.0);
    EXPECT_EQ(parameterValue(QVariant(qlonglong(3)), "f"), 3.0);
    EXPECT_EQ(parameterValue(QVariant(2.5), "f"), 2.5);
    EXPECT_EQ(parameterValue(QVariant(QString(" 2.5 ")), "f"), 2.5);
    for (const char* bad : {"sand", "", "1e999", "2,5,6"}) {
        SCOPED_TRACE(bad);
        try {
            parameterValue(QVariant(QString::fromLatin1(bad)), "label");
            FAIL() << "no error";
        } catch (const FitError& e) {
            EXPECT_TRUE(e.message().contains("label")) << e.message().toStdString();
        }
    }
}

// ---- the SELECTION condition finds exactly the chosen record ----

TEST_F(ParamSelectionTest, SelectionPicksTheChosenRecordForEveryKeyType) {
    struct Case {
        const char* declared; // declared type of the key column
        const char* chosen;   // SQL literal of the chosen record's key
        const char* other;    // SQL literal of the key of another record
        const char* expected; // the condition written
    };
    const Case cases[] = {
        {"integer", "17", "18", "k=17"},
        {"varchar(10)", "'A1'", "'A2'", "k='A1'"},
        {"char(8)", "'B 2'", "'B'", "k='B 2'"},
        {"text", "'O''Brien'", "'O'", "k='O''Brien'"},
        {"double", "0.1", "0.2", "k=0.1"},
        {"real", "-3.25e-7", "1", "k=-3.25e-07"},
        {"numeric", "'x-1'", "5", "k='x-1'"},
        {"integer", "'abc'", "0", "k='abc'"},
        // Without a declared type a text '17' and a number 17 are different keys.
        {"", "'17'", "17", "k='17'"},
        {"", "17", "'17'", "k=17"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.declared) + " " + c.chosen);
        const QString table = QString("keys%1").arg(++n);
        s.database().exec(QString("create table %1 (k %2, x double)").arg(table, c.declared));
        s.database().exec(QString("insert into %1 values (%2, 1)").arg(table, c.other));
        s.database().exec(QString("insert into %1 values (%2, 42)").arg(table, c.chosen));
        ParamSelection sel(s);
        sel.openTable(table);
        ASSERT_EQ(sel.indexFieldCombo.selected(), "k");
        ASSERT_TRUE(sel.setChecked("x"));
        sel.currentRow = 1;
        sel.useSelection();
        const QString selection = parmRows().back().selection;
        EXPECT_EQ(selection, c.expected);
        QSqlQuery q = s.database().query(
            QString("select count(*), max(x) from %1 where %2").arg(table, selection));
        ASSERT_TRUE(q.next());
        EXPECT_EQ(q.value(0).toInt(), 1);
        EXPECT_EQ(q.value(1).toDouble(), 42.0);
    }
}

TEST_F(ParamSelectionTest, WriteBackFindsTheRecordByItsTextKey) {
    s.database().exec("create table layer (name char(8), kf double)");
    s.database().exec("insert into layer values ('top', 1), ('sub', 2), ('O''Neil', 3)");
    struct Case {
        const char* table;
        const char* index;
        int row;
        const char* check; // the row that must receive the value
    };
    const Case cases[] = {{"soil", "code", 1, "code = 'B2'"},
                          {"layer", "name", 1, "name = 'sub'"},
                          {"layer", "name", 2, "name = 'O''Neil'"}};
    double value = 10.5;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.check);
        value += 1;
        s.database().exec("delete from parm_int");
        ParamSelection sel(s);
        sel.openTable(c.table);
        sel.indexFieldCombo.selectIgnoringCase(c.index);
        sel.currentRow = c.row;
        sel.setChecked("kf");
        sel.useSelection();
        s.database().exec("update parm_int set AVAL = ?", {value});
        s.writeParameters();
        const QString written =
            QString("select count(*) from %1 where kf = %2").arg(c.table).arg(value);
        EXPECT_EQ(queryDouble(dbPath, written), 1.0);
        EXPECT_EQ(queryDouble(dbPath, QString("select kf from %1 where %2").arg(c.table, c.check)),
                  value);
    }
}

TEST_F(ParamSelectionTest, EmptyIndexValueStopsBeforeAnyRecord) {
    s.database().exec("create table nokey (k text, x double)");
    s.database().exec("insert into nokey values (null, 3)");
    ParamSelection sel(s);
    sel.openTable("nokey");
    sel.setChecked("x");
    EXPECT_THROW(sel.useSelection(), FitError);
    EXPECT_TRUE(parmRows().empty());
}

// ---- the records and columns one press writes ----

TEST_F(ParamSelectionTest, EachTickedFieldBecomesOneRecordFromTheCurrentRow) {
    ParamSelection sel(s);
    sel.openTable("soil");
    EXPECT_EQ(sel.checkListBox1,
              QStringList({"ITEM_IX", "code", "kf", "porosity", "depth", "label"}));
    EXPECT_EQ(sel.currentRow, 0);
    EXPECT_EQ(sel.indexFieldCombo.selected(), "ITEM_IX");
    for (const char* f : {"kf", "porosity", "depth"})
        ASSERT_TRUE(sel.setChecked(f));

    const SelectionOutcome out = sel.useSelection();
    EXPECT_EQ(out.appended, 3);
    EXPECT_TRUE(out.close);

    const auto rows = parmRows();
    ASSERT_EQ(rows.size(), 3u);
    struct Expected {
        const char* pname;
        double minimum, maximum, ival, step;
    };
    const Expected expected[] = {
        {"kf", 0.2, 6, 2, 0.02}, {"porosity", 0, 0, 0, 0}, {"depth", -0.2, -6, -2, -0.02}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].fname, "soil");
        EXPECT_EQ(rows[i].pname, expected[i].pname);
        EXPECT_EQ(rows[i].minimum.toDouble(), expected[i].minimum);
        EXPECT_EQ(rows[i].maximum.toDouble(), expected[i].maximum);
        EXPECT_EQ(rows[i].ival.toDouble(), expected[i].ival);
        EXPECT_EQ(rows[i].step.toDouble(), expected[i].step);
        EXPECT_EQ(rows[i].selection, "ITEM_IX=1");
        EXPECT_TRUE(rows[i].aval.isNull());
        // The uncertainty analysis finds a parameter by its ALIAS: the field's name.
        EXPECT_EQ(rows[i].alias.toString(), expected[i].pname);
        EXPECT_TRUE(rows[i].error.isNull());
    }
    EXPECT_EQ(out.addedColumns, QStringList({"r_2", "r_3"}));
    EXPECT_EQ(correlationColumns(), QStringList({"r_2", "r_3"}));
    // The main window's parameter list was read again.
    EXPECT_EQ(s.form().parameterPlotCombo.items.size(), 3);
}

TEST_F(ParamSelectionTest, OneRecordInAnEmptyTableAddsNoColumn) {
    ParamSelection sel(s);
    sel.openTable("soil");
    sel.setChecked("kf");
    const SelectionOutcome out = sel.useSelection();
    EXPECT_EQ(out.appended, 1);
    EXPECT_TRUE(out.addedColumns.isEmpty());
    EXPECT_TRUE(correlationColumns().isEmpty());
}

TEST_F(ParamSelectionTest, OnlyMissingCorrelationColumnsAreAddedPressAfterPress) {
    addExistingParameters(2);
    s.database().exec("alter table parm_int add r_2 double");
    ParamSelection sel(s);
    sel.openTable("soil");
    sel.closeAfterSelection = false;
    for (const char* f : {"kf", "porosity", "depth"})
        sel.setChecked(f);
    SelectionOutcome out = sel.useSelection();
    EXPECT_EQ(out.addedColumns, QStringList({"r_3", "r_4", "r_5"}));
    EXPECT_FALSE(out.close);

    sel.openTable("crop");
    sel.setChecked("growth");
    out = sel.useSelection();
    EXPECT_EQ(out.addedColumns, QStringList({"r_6"}));
    EXPECT_EQ(correlationColumns(), QStringList({"r_2", "r_3", "r_4", "r_5", "r_6"}));
    EXPECT_EQ(parmRows().size(), 6u);
    // A press without ticks appends nothing and finds no column missing.
    sel.setChecked("growth", false);
    out = sel.useSelection();
    EXPECT_EQ(out.appended, 0);
    EXPECT_TRUE(out.addedColumns.isEmpty());
    EXPECT_EQ(parmRows().size(), 6u);
}

TEST_F(ParamSelectionTest, NonNumericFieldStopsThePressKeepingEarlierRecords) {
    ParamSelection sel(s);
    sel.openTable("soil");
    for (const char* f : {"kf", "label", "depth"})
        sel.setChecked(f);
    try {
        sel.useSelection();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("sand")) << e.message().toStdString();
    }
    // Fields are taken in field order: kf and depth come before label.
    const auto rows = parmRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].pname, "kf");
    EXPECT_EQ(rows[1].pname, "depth");
    // The press ended before the columns were completed.
    EXPECT_TRUE(correlationColumns().isEmpty());
    // The records that were kept show in the main window at once.
    EXPECT_EQ(s.form().parameterPlotCombo.items.size(), 2);
}

TEST_F(ParamSelectionTest, IndexFieldIsItemIxIgnoringCaseElseTheFirstField) {
    ParamSelection sel(s);
    sel.openTable("crop");
    EXPECT_EQ(sel.indexFieldCombo.selected(), "item_ix");
    sel.setChecked("growth");
    sel.useSelection();
    EXPECT_EQ(parmRows().back().selection, "item_ix=4");

    s.database().exec("create table plain (zone text, w double)");
    sel.openTable("plain");
    EXPECT_EQ(sel.indexFieldCombo.selected(), "zone");
    EXPECT_EQ(sel.currentRow, -1);
    // An empty table offers no record to take the values from.
    sel.setChecked("w");
    EXPECT_THROW(sel.useSelection(), FitError);
    EXPECT_EQ(parmRows().size(), 1u);
}

TEST_F(ParamSelectionTest, PressAfterAModelRunTakesTheRecordsCurrentValue) {
    ParamSelection sel(s);
    sel.listTables();
    EXPECT_TRUE(sel.tableList.contains("soil"));
    sel.openTable("soil");
    sel.currentRow = 1;
    sel.setChecked("kf");
    // The model closes and reopens the connection and changes the chosen record.
    s.setRunFile(writeRunScript(
        dir.path(), {"--db", dbPath, "--sql", "UPDATE soil SET kf = 11 WHERE code = 'B2'"}));
    s.runModel();
    const SelectionOutcome out = sel.useSelection();
    EXPECT_EQ(out.appended, 1);
    const auto rows = parmRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].ival.toDouble(), 11.0);
    EXPECT_EQ(rows[0].selection, "ITEM_IX=2");
    // The grid shows the value that was used.
    EXPECT_EQ(sel.records.data(sel.records.index(1, 2)).toString(), "11");
}

TEST_F(ParamSelectionTest, NothingIsAppendedWhileTheModelRuns) {
    ParamSelection sel(s);
    sel.openTable("soil");
    sel.setChecked("kf");
    {
        OperationRunner::BusyScope busy(s.operations());
        EXPECT_THROW(sel.useSelection(), FitError);
    }
    EXPECT_TRUE(parmRows().empty());
    // With the connection closed (the model holds the file) the table list is empty.
    s.database().close();
    sel.listTables();
    EXPECT_TRUE(sel.tableList.isEmpty());
}

// ---- the dialog ----

class DialogTest : public ParamSelectionTest {
  protected:
    void SetUp() override {
        ParamSelectionTest::SetUp();
        showParameterSelection(s, nullptr);
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<ParameterSelectionDialog*>(w); d && &d->session() == &s)
                dlg = d;
        ASSERT_NE(dlg, nullptr);
        dlg->errorPresenter = [this](const QString& m) { errors << m; };
        // The activation lists the tables; offscreen platforms may not report it.
        if (!QTest::qWaitForWindowActive(dlg, 2000))
            dlg->onActivated();
        tabList = dlg->findChild<QListWidget*>("tableList");
        fields = dlg->findChild<QListWidget*>("parameterList");
        ixField = dlg->findChild<QComboBox*>("indexFieldCombo");
        grid = dlg->findChild<QTableView*>("recordGrid");
        closeBox = dlg->findChild<QCheckBox*>("closeAfterAddCheck");
        useButton = dlg->findChild<QPushButton*>("addButton");
        ASSERT_TRUE(tabList && fields && ixField && grid && closeBox && useButton);
    }
    void TearDown() override { delete dlg; }

    void openByDoubleClick(const QString& table) {
        const auto found = tabList->findItems(table, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        const QRect r = tabList->visualItemRect(found[0]);
        QTest::mouseClick(tabList->viewport(), Qt::LeftButton, {}, r.center());
        QTest::mouseDClick(tabList->viewport(), Qt::LeftButton, {}, r.center());
    }
    void tick(const QString& field) {
        const auto found = fields->findItems(field, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        found[0]->setCheckState(Qt::Checked);
    }
    void chooseRow(int row) {
        const QRect r = grid->visualRect(grid->model()->index(row, 1));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, r.center());
    }

    ParameterSelectionDialog* dlg = nullptr;
    QStringList errors;
    QListWidget* tabList = nullptr;
    QListWidget* fields = nullptr;
    QComboBox* ixField = nullptr;
    QTableView* grid = nullptr;
    QCheckBox* closeBox = nullptr;
    QPushButton* useButton = nullptr;
};

TEST_F(DialogTest, CaptionsAndDefaults) {
    EXPECT_EQ(dlg->windowTitle(), "Parameter selection");
    EXPECT_FALSE(dlg->isModal());
    EXPECT_TRUE(dlg->isWindow());
    const std::pair<const char*, const char*> labels[] = {
        {"tablesLabel", "available tables"},
        {"parametersLabel", "selectable parameters"},
        {"indexFieldLabel", "index field"},
        {"recordsLabel", "selectable records"}};
    for (const auto& [name, text] : labels)
        EXPECT_EQ(dlg->findChild<QLabel*>(name)->text(), text) << name;
    EXPECT_EQ(closeBox->text(), "close window after selection");
    EXPECT_TRUE(closeBox->isChecked());
    EXPECT_EQ(useButton->text(), "use selection");
    EXPECT_EQ(ixField->placeholderText(), "ix_field");
    EXPECT_EQ(fields->count(), 0);
    QStringList listed;
    for (int i = 0; i < tabList->count(); ++i)
        listed << tabList->item(i)->text();
    EXPECT_EQ(listed, parameterTables(s.database().tables(), QString()));
    EXPECT_TRUE(listed.contains("soil"));
    EXPECT_FALSE(listed.contains("PARM_INT", Qt::CaseInsensitive));
    // The dialog says how it is used and where the proposed values come from.
    EXPECT_TRUE(dlg->findChild<QLabel*>("hintLabel")->text().contains("double-click a field"));
    EXPECT_TRUE(dlg->findChild<QLabel*>("defaultsLabel")->text().contains("MINIMUM = 0.1 v"));
    // A second "add parameter record" shows the same dialog.
    showParameterSelection(s, nullptr);
    int dialogs = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<ParameterSelectionDialog*>(w))
            ++dialogs;
    EXPECT_EQ(dialogs, 1);
}

TEST_F(DialogTest, TickPickAndUseThroughTheControls) {
    openByDoubleClick("soil");
    ASSERT_EQ(fields->count(), 6);
    EXPECT_EQ(fields->item(2)->text(), "kf");
    EXPECT_EQ(fields->item(2)->checkState(), Qt::Unchecked);
    EXPECT_EQ(ixField->currentText(), "ITEM_IX");
    EXPECT_EQ(grid->model()->rowCount(), 2);

    tick("kf");
    tick("depth");
    chooseRow(1);
    QTest::mouseClick(closeBox, Qt::LeftButton);
    EXPECT_FALSE(closeBox->isChecked());
    // The record is identified by its code instead of its number.
    ixField->setCurrentIndex(ixField->findText("code"));
    QTest::mouseClick(useButton, Qt::LeftButton);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();

    auto rows = parmRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].pname, "kf");
    EXPECT_EQ(rows[0].minimum.toDouble(), 0.7);
    EXPECT_EQ(rows[1].pname, "depth");
    EXPECT_EQ(rows[1].ival.toDouble(), 1.5);
    EXPECT_EQ(rows[0].selection, "code='B2'");
    EXPECT_EQ(queryDouble(dbPath, "select kf from soil where " + rows[0].selection), 7.0);
    // Unticked "close window after selection": the dialog stays with its ticks.
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(fields->item(2)->checkState(), Qt::Checked);
    EXPECT_EQ(fields->item(4)->checkState(), Qt::Checked);

    QTest::mouseClick(closeBox, Qt::LeftButton);
    QTest::mouseClick(useButton, Qt::LeftButton);
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(parmRows().size(), 4u);
    EXPECT_EQ(correlationColumns(), QStringList({"r_2", "r_3", "r_4"}));
}

// The headings stay readable whatever the font, and a larger dialog gives the
// records (long values, many fields) the room.
TEST_F(DialogTest, HeadingsDoNotOverlapAndTheRecordsGrowWithTheDialog) {
    openByDoubleClick("soil");
    QCoreApplication::processEvents();
    const QStringList names = {"tablesLabel", "parametersLabel", "recordsLabel"};
    for (int i = 0; i < names.size(); ++i)
        for (int j = i + 1; j < names.size(); ++j) {
            const QLabel* a = dlg->findChild<QLabel*>(names[i]);
            const QLabel* b = dlg->findChild<QLabel*>(names[j]);
            QRect ra(a->pos(), a->sizeHint()), rb(b->pos(), b->sizeHint());
            EXPECT_FALSE(ra.intersects(rb))
                << names[i].toStdString() << " / " << names[j].toStdString();
        }
    // Values are shown whole, not cut to "0....".
    for (int c = 0; c < grid->model()->columnCount(); ++c)
        for (int r = 0; r < grid->model()->rowCount(); ++r) {
            const QString text = grid->model()->index(r, c).data().toString();
            EXPECT_LT(grid->fontMetrics().horizontalAdvance(text), grid->columnWidth(c))
                << text.toStdString();
        }

    const QSize before = grid->size();
    EXPECT_NE(dlg->maximumSize(), dlg->minimumSize()); // not a fixed size
    dlg->resize(dlg->width() + 200, dlg->height() + 150);
    QCoreApplication::processEvents();
    EXPECT_GT(grid->width(), before.width());
    EXPECT_GT(grid->height(), before.height());
}

TEST_F(DialogTest, FailedPressIsReportedAndTheDialogStaysOpen) {
    openByDoubleClick("soil");
    tick("label");
    QTest::mouseClick(useButton, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains("sand"));
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(parmRows().empty());
}

TEST_F(DialogTest, UseSelectionIsDisabledWhileTheModelRuns) {
    {
        OperationRunner::BusyScope busy(s.operations());
        EXPECT_FALSE(useButton->isEnabled());
    }
    EXPECT_TRUE(useButton->isEnabled());
}

} // namespace

int main(int argc, char** argv) {
    // Widgets need a platform even when ctest lists the cases at build time;
    // without a display the offscreen one serves.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Only tables that can hold parameters are offered: not PARM_INT, not the run
// journal, not a backup beside its table, not the opened result table.
TEST(ParameterTablesTest, LeavesOutTheTablesThatHoldNoParameters) {
    const QStringList all = {
        "soil",    "soil_bop", "PARM_INT", "FITMARA_RUNS", "FITMARA_OPERATIONS",
        "results", "lone_bop", "Crop"};
    EXPECT_EQ(parameterTables(all, "RESULTS"), (QStringList{"soil", "lone_bop", "Crop"}));
    EXPECT_EQ(parameterTables(all, QString()),
              (QStringList{"soil", "results", "lone_bop", "Crop"}));
}

TEST(ParameterTablesTest, ANewAliasIsTheFieldNameMadeUnique) {
    const struct {
        const char* field;
        QStringList taken;
        const char* alias;
    } cases[] = {
        {"kf", {}, "kf"},
        {"kf", {"KF ", "kf_2"}, "kf_3"},
        {"a_very_long_field_name", {}, "a_very_long_fie"},
        {"a_very_long_field_name", {"a_very_long_fie"}, "a_very_long_f_2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(uniqueAlias(c.field, c.taken), c.alias) << c.field;
}

TEST_F(DialogTest, TheResultTableAndBackupsAreNotOffered) {
    s.database().exec("create table soil_bop (ITEM_IX integer, kf double)");
    s.settings().resultTable = "crop";
    s.setup().openResultTable(); // opened as the result table
    dlg->onActivated();
    QStringList listed;
    for (int i = 0; i < tabList->count(); ++i)
        listed << tabList->item(i)->text();
    EXPECT_TRUE(listed.contains("soil"));
    EXPECT_FALSE(listed.contains("soil_bop"));
    EXPECT_FALSE(listed.contains("crop"));

    // A second press takes a name already used: the alias is made unique, and the
    // dialog shows the value the defaults come from.
    openByDoubleClick("soil");
    tick("kf");
    chooseRow(1);
    EXPECT_TRUE(dlg->findChild<QLabel*>("defaultsLabel")->text().contains("kf = "))
        << dlg->findChild<QLabel*>("defaultsLabel")->text().toStdString();
    closeBox->setChecked(false);
    QTest::mouseClick(useButton, Qt::LeftButton);
    QTest::mouseClick(useButton, Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const auto rows = parmRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].alias.toString(), "kf");
    EXPECT_EQ(rows[1].alias.toString(), "kf_2");
}
