// The main window, its chart, the result dialog and the run file editor,
// driven through their widgets against real SQLite files (offscreen).
#include "app/session.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "runs/run_pool.h"
#include "support/session_fixture.h"
#include "support/xlsx_reader.h"
#include "ui/error_chart.h"
#include "ui/fit_chart.h"
#include "ui/main_window.h"
#include "ui/result_dialog.h"
#include "ui/style.h"
#include "ui/text_editor_dialog.h"

#include <QAction>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QListWidget>
#include <QLogValueAxis>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScatterSeries>
#include <QSet>
#include <QSpinBox>
#include <QSplitter>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QValueAxis>

#include <functional>
#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

// Runs SQL on a database file through its own connection (not the program's).
void sqlExec(const QString& file, const QString& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.toUtf8().constData(), &db), SQLITE_OK);
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &err);
    const std::string msg = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << msg;
}

// The first column of the first row of a query, as text ("" when there is none).
QString sqlValue(const QString& file, const QString& sql) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.toUtf8().constData(), &db) != SQLITE_OK)
        return QStringLiteral("<no db>");
    sqlite3_stmt* st = nullptr;
    QString out;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(st, 0);
        out = t ? QString::fromUtf8(reinterpret_cast<const char*>(t)) : QString();
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

const char* kFixtureSql = R"(
create table PARM_INT (ITEM_IX integer primary key autoincrement, FNAME CHAR(16), PNAME CHAR(10),
  MINIMUM DOUBLE, MAXIMUM DOUBLE, IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, SELECTION CHAR(50),
  ALIAS char(15), ERROR Double);
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS)
  values ('model_par', 'k1', 0, 10, 1.5, 0.123456789012, 2.25, 'id=1', 'growth');
insert into PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS)
  values ('model_par', 'k2', 0, 5, 0.0001, 0.01, 0.0002, 'id=1', 'decay');
create table model_par (id integer, k1 double, k2 double);
insert into model_par values (1, 1.5, 0.0001);
create table results (nr integer, grp integer, obs double, sim double, var double);
insert into results values (1, 1, 1.0, 1.1, 0.1);
insert into results values (2, 1, 2.0, 2.2, 0.1);
insert into results values (3, 2, 3.0, 2.9, 0.2);
)";

// Answers the program's questions without dialogs and counts them.
struct ScriptedAsker : Asker {
    int databaseAsks = 0;
    QString runFileAnswer;  // the run file "chosen" in the dialog; empty: cancelled
    QString workbookAnswer; // the workbook's file name; empty: cancelled
    bool chooseDatabase(QString&) override {
        ++databaseAsks;
        return false;
    }
    bool chooseRunFile(QString& path) override {
        if (runFileAnswer.isEmpty())
            return false;
        path = runFileAnswer;
        return true;
    }
    bool chooseWorkbookPath(QString& path) override {
        if (workbookAnswer.isEmpty())
            return false;
        path = workbookAnswer;
        return true;
    }
    void showResultDialog(Session&) override {}
    void showHelp(const QString&, const QString&) override {}
    void editTextFile(const QString&) override {}
};

template <class T> T* find(QWidget* root, const char* name) {
    T* w = root->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        dbFile = dir.filePath(QStringLiteral("calib.sqlite"));
        sqlExec(dbFile, QString::fromLatin1(kFixtureSql));
        session = std::make_unique<Session>();
        session->settings().pauseAfterRunMs = 0;
        session->settings().pauseBeforeVertexMs = 0;
        window = std::make_unique<MainWindow>(*session);
        session->setAsker(&asker);
        window->errorPresenter = [this](const QString& m) { errors << m; };
        window->confirmPresenter = [this](const QString& q) {
            questions << q;
            return confirmAnswer;
        };
    }
    void TearDown() override {
        window.reset();
        session.reset();
    }

    void openDatabase() {
        session->settings().databaseFile = dbFile;
        window->runAction([this] { session->openDatabase(); });
        ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    }

    // Chooses an entry of a drop-down list as the person does (its list closes on it).
    static void choose(QComboBox* combo, int index) {
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        QCoreApplication::processEvents();
    }

    void openResultTable(const QString& cond) {
        choose(find<QComboBox>(window.get(), "resultTableCombo"),
               session->setup().tables().items.indexOf(QStringLiteral("results")));
        auto* edit = find<QLineEdit>(window.get(), "condition");
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, cond);
        QTest::mouseClick(find<QPushButton>(window.get(), "openResultTableButton"), Qt::LeftButton);
        QCoreApplication::processEvents();
    }

    QTemporaryDir dir;
    QString dbFile;
    ScriptedAsker asker;
    std::unique_ptr<Session> session;
    std::unique_ptr<MainWindow> window;
    QStringList errors;
    QStringList questions;     // what the window asked the person
    bool confirmAnswer = true; // and the answer
};

TEST_F(WindowTest, ControlsCarryTheirCaptionsAndDefaults) {
    MainWindow* w = window.get();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Fitmara parameter calibration"));
    EXPECT_NEAR(w->width(), 965, 40);
    EXPECT_NEAR(w->height(), 521, 40);

    const std::pair<const char*, const char*> buttons[] = {
        {"openRunFileButton", "open runfile"},
        {"changeDatabaseButton", "change database"},
        {"openResultTableButton", "open result table"},
        {"startCalibrationButton", "start optimization "},
        {"editRunFileButton", "edit runfile"},
        {"exitButton", "exit"},
        {"checkModelRunButton", "check model run"},
        {"sensitivityButton", "sensitivity coefficient"},
        {"addParameterButton", "add parameter record"},
        {"uncertaintyButton", "uncertainty (FIM)"},
        {"stopButton", "stop"},
    };
    for (const auto& [name, caption] : buttons)
        if (auto* b = find<QPushButton>(w, name)) {
            EXPECT_EQ(b->text(), QString::fromLatin1(caption)) << name;
        }
    EXPECT_FALSE(find<QPushButton>(w, "openResultTableButton")->isEnabled());
    EXPECT_FALSE(find<QPushButton>(w, "stopButton")->isEnabled());
    // Nothing to save before an uncertainty analysis.
    EXPECT_EQ(find<QPushButton>(w, "saveWorkbookButton")->text(), QStringLiteral("save workbook…"));
    EXPECT_FALSE(find<QPushButton>(w, "saveWorkbookButton")->isEnabled());
    EXPECT_TRUE(find<QLabel>(w, "runFileLabel")->text().contains(QLatin1String("open runfile")));

    const std::pair<const char*, const char*> labels[] = {
        {"tableNameLabel", "table name"},
        {"conditionLabel", "filter condition"},
        {"toleranceLabel", "criterion"},
        {"sensitivityStepLabel", "step size"},
        {"sensitivityPercentLabel", "%"},
        {"observedColumnLabel", "observation"},
        {"modelColumnLabel", "model"},
        {"criterionLabel", "error assessment"},
        {"indexColumnLabel", "index field"},
        {"varianceColumnLabel", "ob.variance"},
        {"maxEvaluationsLabel", "Nmax"},
        {"runTimeoutLabel", "run timeout [s]"},
        {"sensitivityPlotLabel", "plot sensitivities to"},
    };
    for (const auto& [name, caption] : labels)
        if (auto* l = find<QLabel>(w, name)) {
            EXPECT_EQ(l->text(), QString::fromLatin1(caption)) << name;
        }

    EXPECT_EQ(find<QLineEdit>(w, "sensitivityStepEdit")->text(), QStringLiteral("5"));
    EXPECT_EQ(find<QLineEdit>(w, "maxEvaluationsEdit")->text(), QStringLiteral("50"));
    EXPECT_EQ(find<QLineEdit>(w, "toleranceEdit")->text(), QStringLiteral("0.0001"));
    EXPECT_EQ(find<QLineEdit>(w, "condition")->text(), QString());
    EXPECT_EQ(session->settings().maxEvaluations, 50);
    EXPECT_EQ(find<QSpinBox>(w, "pauseAfterRunEdit")->value(), 0); // the fixture's setting
    EXPECT_EQ(find<QSpinBox>(w, "pauseBeforeVertexEdit")->value(), 0);

    const std::pair<const char*, const char*> radios[] = {{"rmseRadio", "RMSE no groups"},
                                                          {"nrmseRadio", "NRMSE (groups)"},
                                                          {"cvRmseRadio", "CV(RMSE) (groups)"}};
    for (const auto& [name, caption] : radios)
        if (auto* r = find<QRadioButton>(w, name)) {
            EXPECT_EQ(r->text(), QString::fromLatin1(caption)) << name;
        }
    EXPECT_TRUE(find<QRadioButton>(w, "rmseRadio")->isChecked());
    EXPECT_EQ(find<QRadioButton>(w, "cvRmseRadio")->toolTip(),
              QStringLiteral("coefficient of variation of the RMSE"));

    const std::pair<const char*, const char*> combos[] = {
        {"resultTableCombo", "?"},         {"indexColumnCombo", "select"},
        {"observedColumnCombo", "select"}, {"varianceColumnCombo", "select"},
        {"modelColumnCombo", "select"},    {"parameterPlotCombo", "choose a parameter"}};
    for (const auto& [name, text] : combos)
        if (auto* c = find<QComboBox>(w, name)) {
            EXPECT_EQ(c->count(), 0) << name;
            EXPECT_EQ(c->placeholderText(), QString::fromLatin1(text)) << name;
        }
    for (const char* name : {"parameterGrid", "resultGrid"})
        find<QTableView>(w, name);
    for (const char* name : {"runFileLines", "logList"})
        find<QListWidget>(w, name);

    auto* tabs = find<QTabWidget>(w, "pageTabs");
    const char* tabNames[] = {"parametersTab", "resultTab", "modelCallTab", "fitmaraTab"};
    const char* tabTitles[] = {"parameters", "result table", "model call", "fitmara"};
    ASSERT_EQ(tabs->count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(tabs->widget(i)->objectName(), QString::fromLatin1(tabNames[i]));
        EXPECT_EQ(tabs->tabText(i), QString::fromLatin1(tabTitles[i]));
    }
    EXPECT_EQ(tabs->currentWidget()->objectName(), QStringLiteral("fitmaraTab"));

    auto* chart = find<ErrorChart>(w, "criterionChart");
    EXPECT_EQ(chart->chart()->title(), QStringLiteral("error function"));
    EXPECT_FALSE(chart->chart()->legend()->isVisible());
    EXPECT_EQ(chart->series()->objectName(), QStringLiteral("Series2"));
    EXPECT_EQ(chart->series()->color(), QColor(0, 64, 128));
    EXPECT_EQ(chart->series()->markerShape(), QScatterSeries::MarkerShapeCircle);
    EXPECT_EQ(chart->valueAxis()->labelFormat(), QStringLiteral("%.2E"));
}

TEST_F(WindowTest, OpeningADatabaseShowsParmIntAndTheParameterList) {
    openDatabase();
    EXPECT_EQ(window->windowTitle(), dbFile);
    auto* grid = find<QTableView>(window.get(), "parameterGrid");
    ASSERT_NE(grid->model(), nullptr);
    EXPECT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(grid->model()->columnCount(), 11);
    // Numbers are shown with all their digits, not rounded by the view.
    auto* delegate = qobject_cast<QStyledItemDelegate*>(grid->itemDelegate());
    ASSERT_NE(delegate, nullptr);
    const auto cellText = [&](int row, int column) {
        return delegate->displayText(grid->model()->index(row, column).data(), QLocale::c());
    };
    EXPECT_EQ(cellText(0, 6), QStringLiteral("0.123456789012"));
    EXPECT_EQ(cellText(1, 5), QStringLiteral("0.0001"));
    EXPECT_EQ(cellText(0, 10), QString()); // ERROR is NULL

    auto* combo = find<QComboBox>(window.get(), "parameterPlotCombo");
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(0), QStringLiteral("growth"));
    EXPECT_EQ(combo->itemText(1), QStringLiteral("decay"));
    EXPECT_EQ(combo->currentIndex(), 0);

    auto* tables = find<QComboBox>(window.get(), "resultTableCombo");
    QStringList shown;
    for (int i = 0; i < tables->count(); ++i)
        shown << tables->itemText(i);
    EXPECT_EQ(shown, session->setup().tables().items);
    EXPECT_TRUE(shown.contains(QStringLiteral("results")));

    // A model run closes the connection: the grid empties, and fills again
    // when PARM_INT is reopened.
    session->database().close();
    emit session->connectionChanged(false);
    EXPECT_EQ(grid->model(), nullptr);
    window->runAction([this] { session->reopen(); });
    ASSERT_NE(grid->model(), nullptr);
    EXPECT_EQ(grid->model()->rowCount(), 2);
}

TEST_F(WindowTest, EditingAParmIntCellWritesTheDatabase) {
    openDatabase();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    errors.clear(); // the first activation may have complained; not this test's matter
    auto* tabs = find<QTabWidget>(window.get(), "pageTabs");
    tabs->setCurrentIndex(0);
    auto* grid = find<QTableView>(window.get(), "parameterGrid");

    // Types into a cell's editor and closes it with Enter.
    auto typeInto = [&](int row, int column, const QString& text) {
        const QModelIndex index = grid->model()->index(row, column);
        grid->setCurrentIndex(index);
        grid->edit(index);
        auto* editor = grid->viewport()->findChild<QLineEdit*>();
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the closed editor
    };

    typeInto(0, 4, QStringLiteral("7.125")); // MAXIMUM of "growth"
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select MAXIMUM from PARM_INT where ALIAS='growth'")),
              QStringLiteral("7.125"));

    typeInto(1, 9, QStringLiteral("fall")); // ALIAS of "decay"
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select count(*) from PARM_INT where ALIAS='fall'")),
              QStringLiteral("1"));

    // Text that is no number in a number column is refused and not stored.
    typeInto(0, 5, QStringLiteral("abc"));
    EXPECT_EQ(errors.size(), 1);
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select IVAL from PARM_INT where PNAME='k1'")),
              QStringLiteral("1.5"));
}

TEST_F(WindowTest, ResultTableOpensWithFilterAndFillsTheFourLists) {
    openDatabase();
    auto* button3 = find<QPushButton>(window.get(), "openResultTableButton");
    choose(find<QComboBox>(window.get(), "resultTableCombo"),
           session->setup().tables().items.indexOf(QStringLiteral("results")));
    EXPECT_EQ(session->settings().resultTable, QStringLiteral("results"));
    EXPECT_EQ(button3->text(), QStringLiteral("open results as result table"));
    EXPECT_TRUE(button3->isEnabled());

    openResultTable(QStringLiteral("obs > 1"));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(session->settings().condition, QStringLiteral("obs > 1"));
    auto* grid = find<QTableView>(window.get(), "resultGrid");
    ASSERT_NE(grid->model(), nullptr);
    EXPECT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(grid->model()->columnCount(), 5);

    const QStringList columns = {"nr", "grp", "obs", "sim", "var"};
    for (const char* name :
         {"indexColumnCombo", "observedColumnCombo", "varianceColumnCombo", "modelColumnCombo"}) {
        auto* c = find<QComboBox>(window.get(), name);
        QStringList shown;
        for (int i = 0; i < c->count(); ++i)
            shown << c->itemText(i);
        EXPECT_EQ(shown, columns) << name;
        EXPECT_EQ(c->currentIndex(), -1) << name;
    }
    choose(find<QComboBox>(window.get(), "observedColumnCombo"), 2);
    choose(find<QComboBox>(window.get(), "modelColumnCombo"), 3);
    EXPECT_EQ(session->setup().columnList(ColumnRole::Observed).selected(), QStringLiteral("obs"));
    EXPECT_EQ(session->setup().columnList(ColumnRole::Model).selected(), QStringLiteral("sim"));

    // An empty condition becomes "1=1" and the edit shows it. The columns the
    // person chose stay chosen where the rows still have them.
    openResultTable(QString());
    EXPECT_EQ(find<QLineEdit>(window.get(), "condition")->text(), QStringLiteral("1=1"));
    EXPECT_EQ(grid->model()->rowCount(), 3);
    EXPECT_EQ(session->setup().columnList(ColumnRole::Observed).selected(), QStringLiteral("obs"));
    EXPECT_EQ(find<QComboBox>(window.get(), "modelColumnCombo")->currentText(),
              QStringLiteral("sim"));
    EXPECT_EQ(session->settings().modelColumn, QStringLiteral("sim"));
    EXPECT_EQ(session->setup().columnList(ColumnRole::Index).index, -1);
    sqlExec(dbFile, QStringLiteral("create table other (nr integer, sim double)"));
    session->setup().tables().items << QStringLiteral("other");
    emit session->stateChanged();
    choose(find<QComboBox>(window.get(), "resultTableCombo"),
           session->setup().tables().items.indexOf(QStringLiteral("other")));
    QTest::mouseClick(find<QPushButton>(window.get(), "openResultTableButton"), Qt::LeftButton);
    EXPECT_EQ(session->settings().modelColumn, QStringLiteral("sim"));
    EXPECT_EQ(session->settings().observedColumn, QString()); // "other" has no obs
    choose(find<QComboBox>(window.get(), "resultTableCombo"),
           session->setup().tables().items.indexOf(QStringLiteral("results")));

    // A condition the engine rejects: a message, an empty grid, empty lists.
    openResultTable(QStringLiteral("nosuchcolumn = 1"));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(grid->model()->rowCount(), 0);
    EXPECT_EQ(find<QComboBox>(window.get(), "observedColumnCombo")->count(), 0);
}

TEST_F(WindowTest, NmaxFollowsEveryKeystrokeAndKeepsItsValueWhileEmpty) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    errors.clear();
    auto* edit = find<QLineEdit>(window.get(), "maxEvaluationsEdit");
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    EXPECT_EQ(edit->text(), QString());
    EXPECT_EQ(session->settings().maxEvaluations, 50);

    QList<int> seen;
    for (QChar c : QStringLiteral("123")) {
        QTest::keyClicks(edit, QString(c));
        seen << session->settings().maxEvaluations;
    }
    EXPECT_EQ(seen, (QList<int>{1, 12, 123}));

    QTest::keyClicks(edit, QStringLiteral("x-,"));
    EXPECT_EQ(edit->text(), QStringLiteral("123"));
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(edit, Qt::Key_Backspace);
    EXPECT_EQ(edit->text(), QString());
    EXPECT_EQ(session->settings().maxEvaluations, 1);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();

    // A value set by the program (NX= on the command line) shows in the field.
    session->setMaxEvaluationsText(QStringLiteral("77"));
    emit session->stateChanged();
    EXPECT_EQ(edit->text(), QStringLiteral("77"));
}

TEST_F(WindowTest, OtherEditsAndChoicesReachTheSession) {
    QTest::keyClicks(find<QLineEdit>(window.get(), "sensitivityStepEdit"), QStringLiteral("0"));
    QTest::keyClicks(find<QLineEdit>(window.get(), "toleranceEdit"), QStringLiteral("5"));
    EXPECT_EQ(session->settings().sensitivityStep, QStringLiteral("50"));
    EXPECT_EQ(session->settings().tolerance, QStringLiteral("0.00015"));

    find<QRadioButton>(window.get(), "cvRmseRadio")->click();
    EXPECT_EQ(session->settings().criterion, 3);
    session->settings().criterion = 2; // EF=NRMSE
    emit session->stateChanged();
    EXPECT_TRUE(find<QRadioButton>(window.get(), "nrmseRadio")->isChecked());

    // The search: the simplex unless the person (or SM=LM) chooses least squares.
    auto* search = find<QComboBox>(window.get(), "searchMethodBox");
    EXPECT_EQ(search->currentIndex(), 0);
    EXPECT_FALSE(session->settings().leastSquares);
    search->setCurrentIndex(1);
    EXPECT_TRUE(session->settings().leastSquares);
    session->settings().leastSquares = false;
    emit session->stateChanged();
    EXPECT_EQ(search->currentIndex(), 0);

    find<QSpinBox>(window.get(), "pauseAfterRunEdit")->setValue(250);
    find<QSpinBox>(window.get(), "pauseBeforeVertexEdit")->setValue(40);
    EXPECT_EQ(session->settings().pauseAfterRunMs, 250);
    EXPECT_EQ(session->settings().pauseBeforeVertexMs, 40);

    // The run timeout and the resume box, both ways.
    auto* timeout = find<QDoubleSpinBox>(window.get(), "runTimeoutEdit");
    auto* resume = find<QCheckBox>(window.get(), "resumeCheck");
    EXPECT_EQ(timeout->text(), QStringLiteral("none"));
    EXPECT_EQ(resume->text(), QStringLiteral("resume"));
    timeout->setValue(2.5);
    resume->click();
    EXPECT_EQ(session->settings().runTimeoutS, 2.5);
    EXPECT_TRUE(session->batch().resume);
    session->settings().runTimeoutS = 7; // TO=7
    session->batch().resume = false;
    emit session->stateChanged();
    EXPECT_EQ(timeout->value(), 7);
    EXPECT_FALSE(resume->isChecked());

    session->logList().append(QStringLiteral("first"));
    session->logList().append(QStringLiteral("second"), true);
    auto* logList = find<QListWidget>(window.get(), "logList");
    ASSERT_EQ(logList->count(), 2);
    EXPECT_EQ(logList->item(1)->text(), QStringLiteral("second"));
    EXPECT_EQ(logList->currentRow(), 1);
    session->logList().clear();
    EXPECT_EQ(logList->count(), 0);

    emit session->progress(3, 50, 0.25, 65000);
    EXPECT_EQ(window->statusBar()->currentMessage(),
              QStringLiteral("evaluation 3 of 50, best 0.25, elapsed 01:05"));
    session->setStatus(QStringLiteral("hello"));
    EXPECT_EQ(window->statusBar()->currentMessage(), QStringLiteral("hello"));
}

// In an MPI job the workers set the number of runs at once: the box shows
// them and takes no other number.
TEST_F(WindowTest, TheWorkersOfAnMpiJobSetTheParallelRuns) {
    struct Workers : RunPool {
        int size() const override { return 3; }
        int idle() const override { return 3; }
        void start(const RunTicket&) override {}
        void stopAll() override {}
    } workers;
    EXPECT_TRUE(find<QSpinBox>(window.get(), "parallelRunsEdit")->isEnabled());
    // As the program does: the pool first, then the window.
    window.reset();
    session->setRemoteRunPool(&workers);
    window = std::make_unique<MainWindow>(*session);
    auto* box = find<QSpinBox>(window.get(), "parallelRunsEdit");
    EXPECT_EQ(box->value(), 3);
    EXPECT_FALSE(box->isEnabled());
    EXPECT_TRUE(box->toolTip().contains(QLatin1String("MPI"))) << box->toolTip().toStdString();
    window.reset();
    session->setRemoteRunPool(nullptr);
}

TEST_F(WindowTest, ChartFollowsTheSessionAndSurvivesValuesBelowTheLogAxis) {
    ErrorChart* chart = window->errorChart();
    session->clearChart();
    session->addChartPoint(1, 2.5);
    session->addChartPoint(2, 0.0);  // no place on a logarithmic axis
    session->addChartPoint(3, -1.0); // nor this
    session->addChartPoint(4, 0.004);
    const QList<QPointF> pts = chart->points();
    ASSERT_EQ(pts.size(), 2);
    EXPECT_EQ(pts[0], QPointF(1, 2.5));
    EXPECT_EQ(pts[1], QPointF(4, 0.004));
    EXPECT_EQ(chart->omittedCount(), 2);
    EXPECT_FALSE(chart->toolTip().isEmpty());
    // Every drawn point lies inside the axis, which stays positive.
    EXPECT_GT(chart->valueAxis()->min(), 0.0);
    EXPECT_LE(chart->valueAxis()->min(), 0.004);
    EXPECT_GE(chart->valueAxis()->max(), 2.5);
    EXPECT_FALSE(chart->grab().isNull());

    // Evaluations are counted from 0: the axis starts there, not at a negative count.
    session->clearChart();
    for (int e = 0; e <= 53; ++e)
        session->addChartPoint(e, 40.0 + e);
    EXPECT_EQ(chart->countAxis()->min(), 0.0);
    EXPECT_GE(chart->countAxis()->max(), 53.0);
    session->clearChart();
    session->addChartPoint(1, 2.5);
    session->addChartPoint(4, 0.004);

    // Showing another tab hides the parameter list; that is no choice of a parameter.
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto* tabs = find<QTabWidget>(window.get(), "pageTabs");
    tabs->setCurrentIndex(0);
    tabs->setCurrentIndex(3);
    QCoreApplication::processEvents();
    EXPECT_EQ(chart->points().size(), 2);

    // The parameter plot replaces the course, x ascending.
    session->keepSensitivities(3, {{}, {5.0L, 0.1L}, {6.0L, -0.2L}, {7.0L, 0.3L}});
    choose(find<QComboBox>(window.get(), "parameterPlotCombo"), -1);
    EXPECT_EQ(chart->points(), (QList<QPointF>{{1, 5}, {2, 6}, {3, 7}}));
    EXPECT_EQ(chart->omittedCount(), 0);
    session->form().parameterPlotCombo.items = {QStringLiteral("growth")};
    emit session->stateChanged();
    // Through the real list: it opens, the entry is taken, it closes.
    auto* combo1 = find<QComboBox>(window.get(), "parameterPlotCombo");
    combo1->showPopup();
    combo1->setCurrentIndex(0);
    combo1->hidePopup();
    QTRY_COMPARE(chart->points(), (QList<QPointF>{{1, 0.1}, {3, 0.3}}));
    EXPECT_EQ(chart->omittedCount(), 1);

    session->keepSensitivities(0, {});
    choose(find<QComboBox>(window.get(), "parameterPlotCombo"), 0);
    EXPECT_TRUE(chart->points().isEmpty());

    chart->replace({{3, 1.0}, {1, 10.0}, {2, 100.0}});
    EXPECT_EQ(chart->points(), (QList<QPointF>{{1, 10}, {2, 100}, {3, 1}}));
    chart->addPoint(1.5, 50);
    EXPECT_EQ(chart->points()[1], QPointF(1.5, 50));
    session->clearChart();
    EXPECT_TRUE(chart->points().isEmpty());
    EXPECT_EQ(chart->omittedCount(), 0);
}

TEST_F(WindowTest, ChartKeepsPointsNearADecadeClearOfItsEdges) {
    // Sensitivities of model values often end just below 1 or just above a
    // decade; their markers must not be cut by the chart's edge.
    const std::pair<double, double> cases[] = {
        {0.0012, 0.95}, {1.05, 9.6}, {1.0, 10.0}, {0.099, 0.5}, {3.0, 3.0}};
    ErrorChart* chart = window->errorChart();
    for (const auto& [low, high] : cases) {
        session->clearChart();
        session->addChartPoint(1, low);
        session->addChartPoint(2, high);
        EXPECT_LE(chart->valueAxis()->min() * 1.25, low) << low << " " << high;
        EXPECT_GE(chart->valueAxis()->max(), high * 1.25) << low << " " << high;
        EXPECT_GT(chart->valueAxis()->min(), 0.0);
    }
}

TEST_F(WindowTest, WhileTheModelRunsTheStartingActionsAreDisabled) {
    openDatabase();
    choose(find<QComboBox>(window.get(), "resultTableCombo"), 0); // enables openResultTableButton
    const char* guarded[] = {
        "openRunFileButton",      "changeDatabaseButton", "openResultTableButton",
        "startCalibrationButton", "editRunFileButton",    "checkModelRunButton",
        "sensitivityButton",      "addParameterButton",   "uncertaintyButton"};
    auto* stop = find<QPushButton>(window.get(), "stopButton");
    auto* grid = find<QTableView>(window.get(), "parameterGrid");
    {
        OperationRunner::BusyScope busy(session->operations());
        emit session->stateChanged(); // a refresh in the middle of the run keeps it so
        for (const char* name : guarded)
            EXPECT_FALSE(find<QPushButton>(window.get(), name)->isEnabled()) << name;
        EXPECT_FALSE(find<QComboBox>(window.get(), "resultTableCombo")->isEnabled());
        EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
        for (const char* name : {"logList", "runFileLines"})
            EXPECT_TRUE(find<QWidget>(window.get(), name)->isEnabled()) << name;
        for (const char* name : {"criterionChart", "parameterGrid", "resultGrid", "exitButton"})
            EXPECT_TRUE(find<QWidget>(window.get(), name)->isEnabled()) << name;
        EXPECT_TRUE(stop->isEnabled());
        QTest::mouseClick(stop, Qt::LeftButton);
        EXPECT_TRUE(session->stopRequested());
        // The first stop says what a second one does; the note goes with the run.
        EXPECT_TRUE(window->statusBar()->currentMessage().contains(
            QLatin1String("press stop again to end a model that hangs")))
            << window->statusBar()->currentMessage().toStdString();

        // Closing the window asks, then waits for the run to return.
        EXPECT_FALSE(window->close());
        EXPECT_EQ(questions.size(), 1);
    }
    EXPECT_EQ(window->statusBar()->currentMessage(), QString());
    for (const char* name : guarded)
        EXPECT_TRUE(find<QPushButton>(window.get(), name)->isEnabled()) << name;
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_NE(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
}

// The stop button with parallel runs: every model under way in the workspaces
// ends at once, the model's tables are restored and the workspaces go.
TEST_F(WindowTest, StopEndsEveryParallelRunAndRestoresTheTables) {
    const QString touch = dir.filePath(QStringLiteral("runs.txt"));
    const QString script = fixture::writeRunScript(
        dir.path(), {"--db", "calib.sqlite", "--behave", "hang", "--touch", touch});
    fixture::setupSession(*session, dbFile, script, {"results", "obs", "sim", "grp", "var"});
    session->settings().parallelRuns = 3;
    auto* stop = find<QPushButton>(window.get(), "stopButton");
    int seen = 0;
    QTimer watch;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QFile f(touch);
        seen = f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
        if (seen >= 3 || clock.elapsed() > 20000) {
            watch.stop();
            QTest::mouseClick(stop, Qt::LeftButton);
        }
    });
    watch.start(50);
    QTest::mouseClick(find<QPushButton>(window.get(), "startCalibrationButton"), Qt::LeftButton);
    EXPECT_EQ(seen, 3) << "three models should have been running";
    EXPECT_LT(clock.elapsed(), 15000);
    EXPECT_FALSE(session->busy());
    EXPECT_EQ(fixture::queryText(dbFile, "select k1 || ' ' || k2 from model_par"), "1.5 0.0001");
    EXPECT_FALSE(QFile::exists(dbFile + ".fitmara-run"));
    EXPECT_FALSE(QDir(dir.filePath(QStringLiteral(".fitmara-work"))).exists());
    // No model of the run is left.
    EXPECT_TRUE(fixture::processesMentioning(touch).isEmpty());
}

TEST_F(WindowTest, ExitAndCloseRequestsCloseTheWindow) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QTest::mouseClick(find<QPushButton>(window.get(), "exitButton"), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(session->closeWasRequested());

    // A close asked for during a run happens when the run has returned.
    window->show();
    {
        OperationRunner::BusyScope busy(session->operations());
        emit session->closeRequested();
        EXPECT_TRUE(window->isVisible());
    }
    QTRY_VERIFY(!window->isVisible());
}

TEST_F(WindowTest, TheCommandLineIsAppliedOnceAtTheFirstShowingNotDuringARunNorNested) {
    // Whatever the command line handler does with no arguments, it either asks
    // for the database or reports a failure: either shows that it ran.
    auto runs = [this] { return asker.databaseAsks + errors.size(); };
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QTRY_COMPARE(runs(), 1); // the first showing
    QTest::qWait(20);
    EXPECT_EQ(runs(), 1); // once, although the showing and the focus both announce it

    {
        OperationRunner::BusyScope busy(session->operations());
        window->onActivated();
    }
    EXPECT_EQ(runs(), 1);

    // The focus coming back from one of the program's dialogs, or from any
    // other window, applies nothing again.
    auto focusGoesTo = [](QWidget* w) {
        w->activateWindow();
        QTRY_COMPARE(QGuiApplication::focusWindow(), w->windowHandle());
    };
    QWidget other;
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    focusGoesTo(&other);
    focusGoesTo(window.get());
    {
        ResultDialog dialog(*session, window.get());
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        focusGoesTo(&dialog);
        dialog.hide();
        focusGoesTo(window.get());
        QTest::qWait(20);
    }
    EXPECT_EQ(runs(), 1);

    // An activation that arrives while the first one is under way is not nested in it.
    window.reset();
    window = std::make_unique<MainWindow>(*session);
    int nested = 0;
    errors.clear();
    window->errorPresenter = [&](const QString& m) {
        errors << m;
        if (nested++ == 0)
            window->onActivated();
    };
    session->setArguments({QStringLiteral("NX=abc")});
    window->onActivated();
    EXPECT_EQ(errors.size(), 1);
}

// What the person changes after the start stands: closing a dialog does not
// bring back the command line's filter, columns, Nmax or run file.
TEST_F(WindowTest, ClosingADialogKeepsWhatThePersonChangedAfterTheStart) {
    const QString lineScript = fixture::writeRunScript(dir.path(), {"--db", dbFile}, "line.sh");
    const QString chosenScript = fixture::writeRunScript(dir.path(), {"--db", dbFile}, "chosen.sh");
    session->setArguments({"RF=" + lineScript, "DB=" + dbFile, "RT=results", "CD=nr > 0", "OB=obs",
                           "MO=sim", "NX=7"});
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QTRY_COMPARE(session->settings().maxEvaluations, 7);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    ASSERT_EQ(session->settings().condition, QStringLiteral("nr > 0"));

    // The person's own choices.
    openResultTable(QStringLiteral("obs > 1"));
    choose(find<QComboBox>(window.get(), "observedColumnCombo"), 4); // var as observed, say
    auto* nmax = find<QLineEdit>(window.get(), "maxEvaluationsEdit");
    nmax->setFocus();
    nmax->selectAll();
    QTest::keyClicks(nmax, QStringLiteral("9"));
    asker.runFileAnswer = chosenScript;
    QTest::mouseClick(find<QPushButton>(window.get(), "openRunFileButton"), Qt::LeftButton);
    ASSERT_EQ(session->modelProcess().program(), chosenScript);

    // A dialog of the program comes and goes, twice.
    for (int i = 0; i < 2; ++i) {
        ResultDialog dialog(*session, window.get());
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        dialog.activateWindow();
        QTRY_COMPARE(QGuiApplication::focusWindow(), dialog.windowHandle());
        dialog.close();
        window->activateWindow();
        QTRY_COMPARE(QGuiApplication::focusWindow(), window->windowHandle());
        QTest::qWait(20);
    }
    EXPECT_EQ(session->settings().condition, QStringLiteral("obs > 1"));
    EXPECT_EQ(find<QLineEdit>(window.get(), "condition")->text(), QStringLiteral("obs > 1"));
    EXPECT_EQ(session->settings().observedColumn, QStringLiteral("var"));
    EXPECT_EQ(session->settings().modelColumn, QStringLiteral("sim"));
    EXPECT_EQ(session->settings().maxEvaluations, 9);
    EXPECT_EQ(nmax->text(), QStringLiteral("9"));
    EXPECT_EQ(session->settings().runFile, chosenScript);
    EXPECT_EQ(session->modelProcess().program(), chosenScript);
    EXPECT_TRUE(find<QLabel>(window.get(), "runFileLabel")->text().contains(chosenScript));
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(WindowTest, ABatchRunReportsFailuresThroughTheBatchHookNotABox) {
    QStringList batchErrors;
    window->onBatchError = [&](const QString& m) { batchErrors << m; };
    session->setArguments({QStringLiteral("GO")});
    window->runAction([] { throw FitError(QStringLiteral("the model failed")); });
    EXPECT_EQ(batchErrors, QStringList{QStringLiteral("the model failed")});
    EXPECT_TRUE(errors.isEmpty());

    session->setArguments({QStringLiteral("go")}); // not the batch key
    window->runAction([] { throw std::runtime_error("plain failure"); });
    EXPECT_EQ(batchErrors.size(), 1);
    EXPECT_EQ(errors, QStringList{QStringLiteral("plain failure")});
}

TEST_F(WindowTest, AddParameterRecordOpensTheSelectionDialogBesideTheWindow) {
    openDatabase();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto* b = find<QPushButton>(window.get(), "addParameterButton");
    auto selectionDialogs = [] {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            n += w->inherits("ParameterSelectionDialog") && w->isVisible();
        return n;
    };
    QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_EQ(selectionDialogs(), 1);
    QTest::mouseClick(b, Qt::LeftButton); // the same dialog again, not a second one
    EXPECT_EQ(selectionDialogs(), 1);

    int calls = 0;
    window->onAddParameter = [&] { ++calls; };
    QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_EQ(calls, 1);
}

class ResultDialogTest : public WindowTest {};

TEST_F(ResultDialogTest, ShowsTheNamesWithTheInitialAndOptimisedValues) {
    openDatabase();
    ResultDialog dialog(*session, window.get());
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("FINISH"));
    EXPECT_EQ(find<QLabel>(&dialog, "explanationLabel")->text(),
              QStringLiteral("IVAL: inital values;   AVAL: values after optimisation"));
    EXPECT_EQ(find<QPushButton>(&dialog, "acceptButton")->text(),
              QStringLiteral("make the result values usable  "));
    EXPECT_EQ(find<QPushButton>(&dialog, "discardButton")->text(),
              QStringLiteral("discard: keep the values from before the run"));
    QTableView* grid = dialog.grid();
    ASSERT_EQ(grid->model()->rowCount(), 2);
    QStringList visible;
    for (int c = 0; c < grid->model()->columnCount(); ++c)
        if (!grid->isColumnHidden(c))
            visible << grid->model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(visible, (QStringList{"PNAME", "IVAL", "AVAL", "ALIAS"}));
    const int aval = dialog.model()->record().indexOf(QStringLiteral("AVAL"));
    EXPECT_DOUBLE_EQ(grid->model()->index(0, aval).data().toDouble(), 2.25);
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST_F(ResultDialogTest, DeclineAndCloseBoxLeaveWithoutAccepting) {
    openDatabase();
    for (int way = 0; way < 2; ++way) {
        ResultDialog dialog(*session, window.get());
        dialog.show();
        if (way == 0)
            QTest::mouseClick(find<QPushButton>(&dialog, "discardButton"), Qt::LeftButton);
        else
            dialog.close();
        EXPECT_FALSE(dialog.isVisible()) << way;
        EXPECT_EQ(dialog.result(), QDialog::Rejected) << way;
        EXPECT_FALSE(session->resultAccepted()) << way;
    }
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select k1 from model_par")), QStringLiteral("1.5"));
}

TEST_F(ResultDialogTest, AcceptWritesTheOptimisedValuesIntoTheModelTables) {
    openDatabase();
    ResultDialog dialog(*session, window.get());
    QStringList shown;
    dialog.errorPresenter = [&](const QString& m) { shown << m; };
    dialog.show();
    QTest::mouseClick(find<QPushButton>(&dialog, "acceptButton"), Qt::LeftButton);
    EXPECT_TRUE(shown.isEmpty()) << shown.join('\n').toStdString();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(session->resultAccepted());
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select k1 from model_par")), QStringLiteral("2.25"));
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select k2 from model_par")),
              QStringLiteral("0.0002"));
}

TEST_F(ResultDialogTest, AFailedWriteBackKeepsTheDialogOpen) {
    // The parameter names a model table that does not exist: the write-back fails.
    sqlExec(dbFile, QStringLiteral("update PARM_INT set FNAME='no_such_table'"));
    openDatabase();
    ResultDialog dialog(*session, window.get());
    QStringList shown;
    dialog.errorPresenter = [&](const QString& m) { shown << m; };
    dialog.show();
    QTest::mouseClick(find<QPushButton>(&dialog, "acceptButton"), Qt::LeftButton);
    EXPECT_EQ(shown.size(), 1);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(session->resultAccepted());
}

// The result dialog shown by the window as an optimisation shows it: it waits
// for the person. `during` runs once the dialog is up; then the accept button
// is pressed, as the person would. Returns whether the dialog was still there
// to be pressed.
bool answerResultDialogAfter(MainWindow& window, Session& session,
                             const std::function<void()>& during) {
    bool pressed = false;
    QTimer::singleShot(0, [&] {
        during();
        QTimer::singleShot(20, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<ResultDialog*>(w);
                if (dialog && dialog->isVisible()) {
                    QTest::mouseClick(
                        dialog->findChild<QPushButton*>(QStringLiteral("acceptButton")),
                        Qt::LeftButton);
                    pressed = true;
                }
            }
        });
    });
    window.showResultDialog(session);
    return pressed;
}

TEST_F(ResultDialogTest, AQuitNobodyAskedForDoesNotDeclineTheValuesUnseen) {
    openDatabase();
    // Qt posts a quit of its own when it believes the last window closed; it
    // would close every window, the dialog with it.
    const bool pressed = answerResultDialogAfter(
        *window, *session, [] { QCoreApplication::postEvent(qApp, new QEvent(QEvent::Quit)); });
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(session->resultAccepted());
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select k1 from model_par")), QStringLiteral("2.25"));
}

TEST_F(ResultDialogTest, TheDialogWaitsForTheAnswerAlsoWhenTheProgramIsToEndAfterwards) {
    openDatabase();
    // The person pressed "exit" while the model ran: the program ends after the
    // optimisation, but the values are still offered first.
    bool pressed = false;
    QTimer::singleShot(0, [&] {
        session->requestClose();
        QCoreApplication::exit(0);
        pressed = answerResultDialogAfter(*window, *session, [] {});
    });
    QCoreApplication::exec(); // ends at once when the dialog has been answered
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(session->resultAccepted());
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select k1 from model_par")), QStringLiteral("2.25"));
}

// ------------------------------------------------------------- the end of a calibration

// A calibration in the window with the stand-in model (sim = obs * k1), the
// window answering the program's questions with its real dialogs.
class CalibrationEndTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        sqlExec(dbFile, QStringLiteral("update PARM_INT set ERROR = 0.5"));
    }
    void setUpModel(const QStringList& extraArgs = {}) {
        QStringList args = {
            "--db",    "calib.sqlite",
            "--touch", touch,
            "--sql",   "UPDATE results SET sim = obs * (select k1 from model_par where id = 1)"};
        args << extraArgs;
        fixture::setupSession(*session, dbFile, fixture::writeRunScript(dir.path(), args),
                              {"results", "obs", "sim", "grp", "var"});
        session->setAsker(window.get());
        emit session->stateChanged();
    }
    // Calls `act` once with the result dialog as soon as it is shown.
    void whenDialogShows(std::function<void(ResultDialog&)> act) {
        auto* poll = new QTimer(window.get());
        QObject::connect(poll, &QTimer::timeout, poll, [this, poll, act] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<ResultDialog*>(w); d && d->isVisible()) {
                    poll->stop();
                    poll->deleteLater();
                    ++dialogsShown;
                    act(*d);
                    return;
                }
        });
        poll->start(20);
    }
    QString parmState() const {
        return sqlValue(dbFile, QStringLiteral("select group_concat(AVAL || '/' || "
                                               "coalesce(ERROR, '-'), ' ') from PARM_INT"));
    }
    QString modelState() const {
        return sqlValue(dbFile, QStringLiteral("select k1 || ' ' || k2 from model_par"));
    }
    static QStringList visibleColumns(ResultDialog& d) {
        QStringList out;
        for (int c = 0; c < d.grid()->model()->columnCount(); ++c)
            if (!d.grid()->isColumnHidden(c))
                out << d.grid()->model()->headerData(c, Qt::Horizontal).toString();
        return out;
    }

    QString touch = dir.filePath(QStringLiteral("runs.txt"));
    int dialogsShown = 0;
};

// Declining (the button or Escape) leaves PARM_INT and the model's tables as
// they were before the run, as the button says.
TEST_F(CalibrationEndTest, DecliningLeavesParmIntAndTheTablesAsBeforeTheRun) {
    setUpModel();
    session->setMaxEvaluationsText(QStringLiteral("4"));
    const QString parmBefore = parmState(), modelBefore = modelState();
    ASSERT_EQ(parmBefore, QStringLiteral("2.25/0.5 0.0002/0.5"));
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way);
        QString title, outcome, avalShown;
        QStringList columns;
        whenDialogShows([&](ResultDialog& d) {
            title = d.windowTitle();
            outcome = d.outcome()->text();
            columns = visibleColumns(d);
            avalShown = parmState();
            if (way == 0)
                QTest::mouseClick(d.findChild<QPushButton*>(QStringLiteral("discardButton")),
                                  Qt::LeftButton);
            else
                QTest::keyClick(&d, Qt::Key_Escape);
        });
        QTest::mouseClick(find<QPushButton>(window.get(), "startCalibrationButton"),
                          Qt::LeftButton);
        ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
        EXPECT_EQ(title, QStringLiteral("FINISH"));
        EXPECT_TRUE(outcome.contains(QLatin1String("Nmax"))) << outcome.toStdString();
        EXPECT_TRUE(outcome.contains(QLatin1String("RMSE"))) << outcome.toStdString();
        EXPECT_EQ(columns, (QStringList{"PNAME", "IVAL", "AVAL", "ALIAS"}));
        EXPECT_NE(avalShown, parmBefore); // the dialog offered the new values
        EXPECT_EQ(parmState(), parmBefore);
        EXPECT_EQ(modelState(), modelBefore);
        EXPECT_FALSE(session->resultAccepted());
    }
    EXPECT_EQ(dialogsShown, 2);
}

// Stopped before any model run completed: nothing to offer, nothing changed,
// after either search.
class StopBeforeAnyRun : public CalibrationEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StopBeforeAnyRun, OffersNothingAndChangesNothing) {
    setUpModel({"--behave", "hang"});
    session->settings().leastSquares = GetParam();
    const QString parmBefore = parmState(), modelBefore = modelState();
    whenDialogShows([](ResultDialog& d) { d.reject(); });
    auto* stop = find<QPushButton>(window.get(), "stopButton");
    QTimer watch;
    int presses = 0;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QFile f(touch);
        if (!f.exists())
            return;
        // The first stop waits for the run; the second ends the model that hangs.
        QTest::mouseClick(stop, Qt::LeftButton);
        if (++presses == 2)
            watch.stop();
    });
    watch.start(100);
    QTest::mouseClick(find<QPushButton>(window.get(), "startCalibrationButton"), Qt::LeftButton);
    EXPECT_EQ(presses, 2);
    EXPECT_EQ(dialogsShown, 0);
    EXPECT_TRUE(session->logList().lines().join('\n').contains(
        QLatin1String("stopped before any model run completed")))
        << session->logList().lines().join('\n').toStdString();
    EXPECT_EQ(parmState(), parmBefore);
    EXPECT_EQ(modelState(), modelBefore);
    EXPECT_FALSE(session->busy());
}

INSTANTIATE_TEST_SUITE_P(Searches, StopBeforeAnyRun, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "LeastSquares" : "Simplex");
                         });

// Stopped after some runs: the dialog says so and offers the best completed
// run (not the mean of the vertices); accepting writes it, and the result table
// then holds what those values simulate.
TEST_F(CalibrationEndTest, AStoppedRunOffersItsBestCompletedRun) {
    setUpModel();
    session->setMaxEvaluationsText(QStringLiteral("40"));
    QObject::connect(session.get(), &Session::progress, window.get(), [this](int done) {
        if (done == 3)
            session->requestStop();
    });
    QString title, outcome, offered;
    whenDialogShows([&](ResultDialog& d) {
        title = d.windowTitle();
        outcome = d.outcome()->text();
        offered = sqlValue(dbFile, QStringLiteral("select group_concat(AVAL, ' ') from PARM_INT"));
        QTest::mouseClick(d.findChild<QPushButton*>(QStringLiteral("acceptButton")),
                          Qt::LeftButton);
    });
    QTest::mouseClick(find<QPushButton>(window.get(), "startCalibrationButton"), Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(title, QStringLiteral("calibration stopped"));
    // Vertices (1.5, 0.0001), (1.623.., 0.0001), (1.5, 0.0101): the first is the
    // best (ties go to the first); their mean would be k1 = 1.541...
    EXPECT_EQ(offered, QStringLiteral("1.5 0.0001"));
    const double best = 0.5 * std::sqrt(14.0 / 3.0);
    EXPECT_TRUE(outcome.contains(QLatin1String("stopped"))) << outcome.toStdString();
    EXPECT_TRUE(outcome.contains(formatGeneral(best))) << outcome.toStdString();
    EXPECT_EQ(modelState(), QStringLiteral("1.5 0.0001"));
    // The last trial ran k1 = 1.5 too, so the check is on the extra run: the
    // result table holds sim = obs * 1.5 after it, and the log says so.
    EXPECT_EQ(sqlValue(dbFile, QStringLiteral("select group_concat(sim, ' ') from results")),
              QStringLiteral("1.5 3.0 4.5"));
    EXPECT_TRUE(session->logList().lines().join('\n').contains(
        QLatin1String("simulated values at the accepted values")));
}

// ------------------------------------------------------------- check model run

TEST_F(CalibrationEndTest, CheckModelRunTellsHowTheModelEndedAndRefreshesTheGrid) {
    setUpModel();
    sqlExec(dbFile, QStringLiteral("update results set sim = -99 where nr = 3; "
                                   "update model_par set k1 = 2"));
    QTest::mouseClick(find<QPushButton>(window.get(), "checkModelRunButton"), Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QString log = session->logList().lines().join('\n');
    EXPECT_TRUE(log.contains(QLatin1String("exit status 0"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QLatin1String("3 of 3 rows of results hold simulated values in sim")))
        << log.toStdString();
    // sim = 2 obs: RMSE = sqrt((1 + 4 + 9) / 3).
    EXPECT_TRUE(log.contains(QStringLiteral("RMSE = ") + formatGeneral(std::sqrt(14.0 / 3.0))))
        << log.toStdString();
    auto* grid = find<QTableView>(window.get(), "resultGrid");
    ASSERT_EQ(grid->model()->rowCount(), 3);
    EXPECT_EQ(grid->model()->index(2, 3).data().toDouble(), 6.0);
    EXPECT_FALSE(session->busy());
}

// A model that hangs: stop ends it; "exit" asks, then ends it and closes.
TEST_F(CalibrationEndTest, CheckModelRunCanBeStoppedAndExitEndsTheModel) {
    setUpModel({"--behave", "hang"});
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto* stop = find<QPushButton>(window.get(), "stopButton");
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way);
        QFile::remove(touch);
        bool stopWasEnabled = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!QFile::exists(touch))
                return;
            watch.stop();
            stopWasEnabled = stop->isEnabled();
            if (way == 0)
                QTest::mouseClick(stop, Qt::LeftButton);
            else
                QTest::mouseClick(find<QPushButton>(window.get(), "exitButton"), Qt::LeftButton);
        });
        watch.start(50);
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(find<QPushButton>(window.get(), "checkModelRunButton"), Qt::LeftButton);
        EXPECT_TRUE(stopWasEnabled);
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_FALSE(session->busy());
        EXPECT_TRUE(fixture::processesMentioning(touch).isEmpty());
        EXPECT_TRUE(
            session->logList().lines().join('\n').contains(QLatin1String("ended on request")));
    }
    EXPECT_EQ(questions.size(), 1); // "exit" asked before it ended the model
    QTRY_VERIFY(!window->isVisible());
}

// ------------------------------------------------------------- progress

TEST_F(CalibrationEndTest, TheStatusBarTellsTheProgressOfParallelRuns) {
    setUpModel({"--behave", "slow", "--sleep", "300"});
    session->settings().parallelRuns = 3;
    session->setMaxEvaluationsText(QStringLiteral("6"));
    whenDialogShows([](ResultDialog& d) { d.reject(); });
    QStringList seen;
    QObject::connect(session.get(), &Session::progress, window.get(),
                     [&] { seen << window->statusBar()->currentMessage(); });
    QTest::mouseClick(find<QPushButton>(window.get(), "startCalibrationButton"), Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QRegularExpression going(
        QStringLiteral("^evaluation \\d+ of 9(, best [0-9.E-]+)?, elapsed \\d\\d:\\d\\d; "
                       "[0-3] of 3 model runs going on$"));
    int matching = 0, withBest = 0;
    for (const QString& m : seen) {
        matching += going.match(m).hasMatch();
        withBest += m.contains(QLatin1String(", best "));
    }
    EXPECT_GT(matching, 3) << seen.join('\n').toStdString();
    EXPECT_GT(withBest, 0) << seen.join('\n').toStdString();

    // A run going on for long is named with its time.
    session->operationProgress().startClock();
    session->operationProgress().setRunStarted(17, -72000);
    session->operationProgress().setRunStarted(18, -3000);
    EXPECT_TRUE(session->progressDetails().contains(QLatin1String("run 17 going on for 01:12")))
        << session->progressDetails().toStdString();
    session->operationProgress().runChanged(17, false);
    EXPECT_FALSE(session->progressDetails().contains(QLatin1String("going on for")));
}

// ------------------------------------------------------------- the workbook

TEST_F(CalibrationEndTest, SaveWorkbookWritesTheLastAnalysisAndSaysWhere) {
    setUpModel();
    auto* save = find<QPushButton>(window.get(), "saveWorkbookButton");
    EXPECT_FALSE(save->isEnabled());
    session->setAsker(&asker);
    QTest::mouseClick(find<QPushButton>(window.get(), "uncertaintyButton"), Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    ASSERT_TRUE(save->isEnabled());
    // The protocol's full path is in the log.
    EXPECT_TRUE(session->logList().lines().contains(
        QStringLiteral("written: ") + QDir::current().absoluteFilePath("PROT_UNC.TXT")));

    asker.workbookAnswer = dir.filePath(QStringLiteral("mine"));
    QTest::mouseClick(save, Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const QString file = dir.filePath(QStringLiteral("mine.xlsx"));
    ASSERT_TRUE(QFile::exists(file));
    EXPECT_TRUE(session->logList().lines().last().contains(file))
        << session->logList().lines().last().toStdString();
    const XlsxReader book(file);
    EXPECT_EQ(book.sheetNames(),
              (QStringList{"covariance", "Fisher information", "sensitivities", "fit"}));
    // The sensitivity sheet: "P1" labels and the base run's model values.
    EXPECT_EQ(book.cell("sensitivities", 1, 2), XlsxReader::text("P1"));
    ASSERT_TRUE(book.cell("sensitivities", 3, 2).has_value());
    EXPECT_NEAR(book.cell("sensitivities", 3, 2)->number, double(session->sensitivityRows()[1][0]),
                1e-9);
}

TEST(TextEditorDialogTest, SavesTheEditedFileKeepingLineEndsAndExecuteBit) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("run.sh"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\r\necho one\r\n");
    }
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    TextEditorDialog dialog(file);
    ASSERT_TRUE(dialog.load());
    EXPECT_EQ(dialog.editor()->toPlainText(), QStringLiteral("#!/bin/sh\necho one\n"));
    dialog.editor()->moveCursor(QTextCursor::End);
    dialog.editor()->insertPlainText(QStringLiteral("echo two\n"));
    EXPECT_TRUE(dialog.isModified());
    ASSERT_TRUE(dialog.save()) << dialog.errorString().toStdString();
    EXPECT_FALSE(dialog.isModified());

    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("#!/bin/sh\r\necho one\r\necho two\r\n"));
    EXPECT_TRUE(QFile::permissions(file) & QFile::ExeOwner);

    TextEditorDialog missing(dir.filePath(QStringLiteral("none.sh")));
    EXPECT_FALSE(missing.load());
    EXPECT_FALSE(missing.errorString().isEmpty());
}

// One short optimisation with the stand-in model, started by the button: the
// window shows the course while the run keeps the starting actions disabled.
TEST_F(WindowTest, AnOptimisationRunIsMirroredWhileItRuns) {
    const QString runScript = fixture::writeRunScript(
        dir.path(), {QStringLiteral("--db"), dbFile, QStringLiteral("--sql"),
                     QStringLiteral("UPDATE results SET sim = obs * (select k1 from model_par "
                                    "where id = 1)")});
    openDatabase();
    session->setRunFile(runScript);
    choose(find<QComboBox>(window.get(), "resultTableCombo"),
           session->setup().tables().items.indexOf(QStringLiteral("results")));
    openResultTable(QStringLiteral("1=1"));
    choose(find<QComboBox>(window.get(), "observedColumnCombo"), 2);
    choose(find<QComboBox>(window.get(), "modelColumnCombo"), 3);
    choose(find<QComboBox>(window.get(), "indexColumnCombo"), 1);
    choose(find<QComboBox>(window.get(), "varianceColumnCombo"), 4);
    auto* nmax = find<QLineEdit>(window.get(), "maxEvaluationsEdit");
    nmax->selectAll();
    QTest::keyClicks(nmax, QStringLiteral("6"));
    ASSERT_EQ(session->settings().maxEvaluations, 6);

    int pointsSeen = 0, disabledWhilePointAdded = 0;
    auto* start = find<QPushButton>(window.get(), "startCalibrationButton");
    auto* stop = find<QPushButton>(window.get(), "stopButton");
    QObject::connect(session.get(), &Session::chartPointAdded, window.get(), [&] {
        ++pointsSeen;
        disabledWhilePointAdded += !start->isEnabled() && stop->isEnabled();
    });
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();

    EXPECT_GE(pointsSeen, 3);
    EXPECT_EQ(disabledWhilePointAdded, pointsSeen);
    EXPECT_EQ(window->errorChart()->points().size() + window->errorChart()->omittedCount(),
              session->chartSeries().size());
    EXPECT_EQ(find<QListWidget>(window.get(), "logList")->count(), session->logList().count());
    EXPECT_GT(session->logList().count(), 0);
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    // PARM_INT was reopened after the runs and is shown again.
    auto* grid = find<QTableView>(window.get(), "parameterGrid");
    ASSERT_NE(grid->model(), nullptr);
    EXPECT_EQ(grid->model()->rowCount(), 2);
}

// ------------------------------------------------------------- the fit chart

class FitChartTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        // A third group; one row still at -99, one without an observation.
        sqlExec(dbFile, "insert into results values (4, 3, 4.0, -99, 0.1);"
                        "insert into results values (5, 3, null, 1.0, 0.1);"
                        "insert into results values (6, 3, 5.0, 5.5, 0.1);");
        chart = find<FitChart>(window.get(), "fitChart");
        openDatabase();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        find<QTabWidget>(window.get(), "pageTabs")
            ->setCurrentWidget(find<QWidget>(window.get(), "resultTab"));
        openResultTable(QStringLiteral("1=1"));
        choose(find<QComboBox>(window.get(), "observedColumnCombo"), 2);
        choose(find<QComboBox>(window.get(), "modelColumnCombo"), 3);
        choose(find<QComboBox>(window.get(), "indexColumnCombo"), 1);
    }

    // (observed, simulated) of every drawn point, group by group.
    QList<QList<QPointF>> drawn() const {
        QList<QList<QPointF>> out;
        for (QScatterSeries* s : chart->groupSeries())
            out << s->points();
        return out;
    }

    FitChart* chart = nullptr;
};

TEST_F(FitChartTest, EachGroupInItsOwnColourBesideTheGridWithTheOneToOneLine) {
    QTRY_COMPARE(chart->groupSeries().size(), 3);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(drawn(),
              (QList<QList<QPointF>>{{{1.0, 1.1}, {2.0, 2.2}}, {{3.0, 2.9}}, {{5.0, 5.5}}}));
    QStringList names;
    QSet<QRgb> colours;
    for (QScatterSeries* s : chart->groupSeries()) {
        names << s->name();
        colours << s->color().rgb();
    }
    EXPECT_EQ(names, (QStringList{"1", "2", "3"}));
    EXPECT_EQ(colours.size(), 3);
    EXPECT_EQ(chart->observedAxis()->titleText(), QStringLiteral("obs"));
    EXPECT_EQ(chart->simulatedAxis()->titleText(), QStringLiteral("sim"));
    EXPECT_TRUE(chart->note().contains(QStringLiteral("2 row(s)"))) << chart->note().toStdString();

    // The 1:1 line spans both axes, which share one range around every value.
    const QList<QPointF> line = chart->identityLine()->points();
    ASSERT_EQ(line.size(), 2);
    EXPECT_EQ(line[0].x(), line[0].y());
    EXPECT_EQ(line[1].x(), line[1].y());
    EXPECT_LE(line[0].x(), 1.0);
    EXPECT_GE(line[1].x(), 5.5);
    EXPECT_EQ(chart->observedAxis()->min(), chart->simulatedAxis()->min());
    EXPECT_EQ(chart->observedAxis()->max(), chart->simulatedAxis()->max());

    // Drawn offscreen, every group's colour is on the picture.
    QDir().mkpath(QStringLiteral(BINARY_DIR "/screenshots"));
    const QString file = QStringLiteral(BINARY_DIR "/screenshots/fit_chart.png");
    ASSERT_TRUE(chart->savePng(file));
    const QImage picture(file);
    ASSERT_FALSE(picture.isNull());
    for (QScatterSeries* s : chart->groupSeries()) {
        int pixels = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                pixels += picture.pixel(x, y) == s->color().rgb();
        EXPECT_GT(pixels, 20) << s->name().toStdString();
    }

    // Beside the grid, in a splitter the person can drag.
    auto* splitter = find<QSplitter>(window.get(), "resultSplitter");
    EXPECT_EQ(splitter->indexOf(find<QTableView>(window.get(), "resultGrid")), 0);
    EXPECT_EQ(splitter->indexOf(chart), 1);
    window->grab().save(QStringLiteral(BINARY_DIR "/screenshots/result_table_with_fit.png"));
}

TEST_F(FitChartTest, FollowsEveryModelRunReadingAtMostOncePerInterval) {
    QTRY_COMPARE(chart->groupSeries().size(), 3);
    // A burst of requests is one read.
    const int before = chart->readCount();
    for (int i = 0; i < 20; ++i)
        chart->requestRefresh();
    QTest::qWait(3 * FitChart::refreshIntervalMs);
    EXPECT_EQ(chart->readCount(), before + 1);

    // A model run writes sim = obs * k1 into every row, the -99 one included.
    session->setRunFile(fixture::writeRunScript(
        dir.path(), {QStringLiteral("--db"), dbFile, QStringLiteral("--sql"),
                     QStringLiteral("UPDATE results SET sim = obs * (select k1 from model_par "
                                    "where id = 1)")}));
    window->runAction([this] { session->evaluateModel({0, 2.0, 0.0002}, 0); });
    ASSERT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    QTRY_COMPARE(drawn(), (QList<QList<QPointF>>{
                              {{1.0, 2.0}, {2.0, 4.0}}, {{3.0, 6.0}}, {{4.0, 8.0}, {5.0, 10.0}}}));
    EXPECT_TRUE(chart->note().contains(QStringLiteral("1 row(s)")));

    // Out of sight it does not read; it catches up when it comes into view.
    auto* tabs = find<QTabWidget>(window.get(), "pageTabs");
    tabs->setCurrentWidget(find<QWidget>(window.get(), "fitmaraTab"));
    const int hidden = chart->readCount();
    sqlExec(dbFile, "update results set sim = 0.5 where nr = 1");
    emit session->resultOpened();
    QTest::qWait(3 * FitChart::refreshIntervalMs);
    EXPECT_EQ(chart->readCount(), hidden);
    tabs->setCurrentWidget(find<QWidget>(window.get(), "resultTab"));
    QTRY_COMPARE(chart->groupSeries().value(0)->points().value(0), QPointF(1.0, 0.5));

    // A closed result table leaves nothing to draw.
    window->runAction([this] { session->openDatabase(); });
    QTRY_COMPARE(chart->groupSeries().size(), 0);
    EXPECT_TRUE(chart->identityLine()->points().isEmpty());
}

TEST_F(FitChartTest, ContextMenuSavesThePictureAsPng) {
    QTRY_COMPARE(chart->groupSeries().size(), 3);
    auto* view = chart->findChild<QChartView*>();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->contextMenuPolicy(), Qt::ActionsContextMenu);
    ASSERT_TRUE(view->actions().contains(chart->saveAction()));
    EXPECT_EQ(chart->saveAction()->text(), QStringLiteral("save as PNG…"));

    QStringList failures;
    chart->onError = [&](const QString& m) { failures << m; };
    const QString good = dir.filePath("fit.png");
    chart->choosePngPath = [&] { return good; };
    chart->saveAction()->trigger();
    const QImage saved(good);
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.size(), view->size() * view->devicePixelRatio());
    EXPECT_TRUE(failures.isEmpty());

    chart->choosePngPath = [&] { return dir.filePath("missing/fit.png"); };
    chart->saveAction()->trigger();
    ASSERT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures[0].contains("missing/fit.png"));
}

// What the session holds shows on every tab once it says its state changed;
// the pictures of the tabs are kept for a look at the layout.
TEST_F(WindowTest, EveryTabShowsTheSessionsStateAndIsPictured) {
    openDatabase();
    openResultTable(QStringLiteral("1=1"));
    session->form().runFileLines = {QStringLiteral("#!/bin/sh"),
                                    QStringLiteral("exec ./model --db calib.sqlite")};
    for (int i = 1; i <= 12; ++i) {
        session->logList().append(QStringLiteral("%1  error %2").arg(i).arg(1.0 / (i * i)),
                                  i == 12);
        session->addChartPoint(i, 1.0 / (i * i));
    }
    emit session->stateChanged();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QDir().mkpath(QStringLiteral(BINARY_DIR "/screenshots"));
    auto* tabs = find<QTabWidget>(window.get(), "pageTabs");
    for (int i = 0; i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        QCoreApplication::processEvents();
        const QString file = QStringLiteral(BINARY_DIR "/screenshots/tab%1_%2.png")
                                 .arg(i + 1)
                                 .arg(tabs->tabText(i).replace(' ', '_'));
        ASSERT_TRUE(window->grab().save(file)) << file.toStdString();
        EXPECT_EQ(QImage(file).size(), window->size() * window->devicePixelRatio());
    }

    // The run file's lines, the log with its last line selected, the chart's points.
    auto* runFile = find<QListWidget>(window.get(), "runFileLines");
    ASSERT_EQ(runFile->count(), 2);
    EXPECT_EQ(runFile->item(1)->text(), QStringLiteral("exec ./model --db calib.sqlite"));
    auto* log = find<QListWidget>(window.get(), "logList");
    ASSERT_EQ(log->count(), 12);
    EXPECT_EQ(log->currentRow(), 11);
    EXPECT_EQ(log->item(11)->text(), QStringLiteral("12  error %1").arg(1.0 / 144));
    const QVector<QPointF> points = find<ErrorChart>(window.get(), "criterionChart")->points();
    ASSERT_EQ(points.size(), 12);
    EXPECT_EQ(points.front(), QPointF(1, 1));
    EXPECT_EQ(points.back(), QPointF(12, 1.0 / 144));
    // The result grid shows the rows of the open result query.
    EXPECT_GT(find<QTableView>(window.get(), "resultGrid")->model()->rowCount(), 0);

    ResultDialog dialog(*session, window.get());
    dialog.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog.grab().save(QStringLiteral(BINARY_DIR "/screenshots/result_dialog.png")));
    EXPECT_GT(dialog.grid()->model()->rowCount(), 0);
}

} // namespace

int main(int argc, char** argv) {
    // Widgets need a platform even when ctest lists the cases at build time;
    // without a display the offscreen one serves.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    applyStyle(app); // the screenshots show the program's own look
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
