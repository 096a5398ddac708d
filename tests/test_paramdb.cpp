// The engine adapter, opening a database with its PARM_INT, and the result table.
#include "app/session.h"
#include "base/fit_error.h"
#include "paramdb/run_marker.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace fixture;

namespace {

const char* kModelSql = R"(
create table crop (ID integer, NAME char(10), GROWTH double, note text);
insert into crop values (1, 'wheat', 0.5, null), (2, 'maize', 0.7, 'x'), (3, 'rice', null, 'y');
create table results (SITE integer, OBS double, SIM double, VAR double);
insert into results values (1, 1.0, 0, 0.1), (1, 2.0, 0, 0.1), (2, 3.0, 0, 0.1);
create view results_v as select * from results;
)";

class ParamDb : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    Session s;
};

TEST_F(ParamDb, MissingFileIsAnErrorNamingThePathAndCreatesNothing) {
    const QString path = dir.path() + "/nowhere.sqlite";
    s.settings().databaseFile = path;
    try {
        s.openDatabase();
        FAIL() << "no error";
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains(path)) << e.message().toStdString();
    }
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(s.database().isOpen());
    // What was done before the failure stays.
    EXPECT_EQ(s.form().caption, path);
}

TEST_F(ParamDb, FileThatIsNoDatabaseFailsWhenOpened) {
    const QString path = dir.path() + "/text.sqlite";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
    f.close();
    s.settings().databaseFile = path;
    EXPECT_THROW(s.openDatabase(), FitError);
    EXPECT_FALSE(s.database().isOpen());
    EXPECT_EQ(QFile(path).size(), 4096);
}

TEST_F(ParamDb, FailedOpenKeepsTheOldListsAndClosesTheConnection) {
    s.settings().databaseFile = makeDb(dir.path(), kModelSql);
    s.openDatabase();
    const QStringList before = s.setup().tables().items;
    s.settings().databaseFile = dir.path() + "/missing.sqlite";
    EXPECT_THROW(s.openDatabase(), FitError);
    EXPECT_EQ(s.setup().tables().items, before);
    EXPECT_TRUE(s.setup().resultQuery().isEmpty());
}

TEST_F(ParamDb, CreatesParmIntWithItsElevenColumnsListedOnlyAfterTheNextOpening) {
    const QString path = makeDb(dir.path(), kModelSql);
    s.settings().databaseFile = path;
    s.openDatabase();
    // Listed without SQLite's own tables, ordered by name ignoring case.
    EXPECT_EQ(s.setup().tables().items, (QStringList{"crop", "results", "results_v"}));
    EXPECT_EQ(s.settings().resultTable, "crop");
    EXPECT_EQ(s.setup().tables().index, 0);
    EXPECT_EQ(s.form().caption, path);
    EXPECT_TRUE(s.form().parameterPlotCombo.items.isEmpty());
    EXPECT_EQ(s.database().columns("PARM_INT"),
              (QStringList{"ITEM_IX", "FNAME", "PNAME", "MINIMUM", "MAXIMUM", "IVAL", "STEP",
                           "AVAL", "SELECTION", "ALIAS", "ERROR"}));
    // The counter numbers the rows itself.
    s.database().exec("insert into parm_int (FNAME, PNAME, ALIAS) values ('crop', 'GROWTH', 'g')");
    s.database().exec("insert into parm_int (FNAME, PNAME, ALIAS) values ('crop', 'GROWTH', '')");
    EXPECT_EQ(queryDouble(path, "select max(ITEM_IX) from parm_int"), 2.0);
    EXPECT_EQ(queryText(path, "select type from pragma_table_info('PARM_INT') where name='FNAME'"),
              "CHAR(16)");
    s.openDatabase();
    EXPECT_EQ(s.setup().tables().items, (QStringList{"crop", "PARM_INT", "results", "results_v"}));
    EXPECT_EQ(s.form().parameterPlotCombo.items, (QStringList{"g", ""}));
    EXPECT_EQ(s.form().parameterPlotCombo.index, 0);
}

TEST_F(ParamDb, ExistingParmIntInAnyCaseIsKeptAndWithoutAliasListsPname) {
    const QString path =
        makeDb(dir.path(), QString(kModelSql) + "create table parm_int (FNAME text, PNAME text);"
                                                "insert into parm_int values ('crop', 'GROWTH');"
                                                "insert into parm_int values ('crop', 'NAME');");
    s.settings().databaseFile = path;
    s.openDatabase();
    EXPECT_EQ(s.database().columns("PARM_INT"), (QStringList{"FNAME", "PNAME"}));
    EXPECT_EQ(s.form().parameterPlotCombo.items, (QStringList{"GROWTH", "NAME"}));
}

TEST_F(ParamDb, AdapterCopiesTablesKeepsTypesRegistersSqrAndReadsNulls) {
    const QString path = makeDb(dir.path(), kModelSql);
    s.settings().databaseFile = path;
    s.openDatabase();
    s.database().copyTable("crop_bop", "crop");
    // The copy is declared like the original: same columns, same declared types.
    EXPECT_EQ(queryText(path, "select sql from sqlite_master where name='crop_bop'").toStdString(),
              "CREATE TABLE \"crop_bop\" (ID integer, NAME char(10), GROWTH double, note text)");
    EXPECT_EQ(queryDouble(path, "select count(*) from crop_bop"), 3.0);
    EXPECT_EQ(queryDouble(path, "select sum(GROWTH) from crop_bop"), 1.2);
    // The target must not exist yet, as with the engine's own select-into.
    EXPECT_THROW(s.database().copyTable("crop_bop", "crop"), FitError);
    // A failed copy leaves nothing behind.
    EXPECT_THROW(s.database().copyTable("nothing_bop", "nothing"), FitError);
    EXPECT_FALSE(s.database().hasTable("nothing_bop"));

    QSqlQuery q = s.database().query(
        " SELECT sqr(avg(( OBS-SIM) * \n(OBS-SIM))) as hs \n  FROM results where 1=1");
    ASSERT_TRUE(q.next());
    EXPECT_NEAR(numberOf(q.value(0)), std::sqrt((1.0 + 4.0 + 9.0) / 3.0), 1e-12);

    QSqlQuery n = s.database().query("select GROWTH, note from crop where ID = 1");
    ASSERT_TRUE(n.next());
    EXPECT_EQ(numberOf(n.value(0)), 0.5);
    EXPECT_EQ(textOf(n.value(1)), QString());
    EXPECT_EQ(s.database().columns("results_v"), (QStringList{"SITE", "OBS", "SIM", "VAR"}));
    s.database().exec("alter table parm_int add r_2 double");
    EXPECT_TRUE(s.database().columns("parm_int").contains("r_2"));
}

// The person's database keeps its file journal and is synced in full again
// after a run's trial writes; a workspace's copy (disposable) is journaled in
// memory and never synced, whatever a run's writes ask, and reopened so, and a
// failed write-back still leaves nothing of itself.
TEST_F(ParamDb, OnlyAWorkspaceCopyIsWrittenWithoutSyncsOrAJournalFile) {
    const QString path = makeDb(dir.path(), kModelSql);
    const auto setting = [](Database& db, const char* pragma) {
        QSqlQuery q = db.query(QStringLiteral("PRAGMA ") + pragma);
        return q.next() ? q.value(0).toString() : QStringLiteral("?");
    };
    for (const bool disposable : {false, true}) {
        SCOPED_TRACE(disposable ? "workspace" : "person's database");
        Database db(QStringLiteral("durability-test"));
        db.setDisposable(disposable);
        db.open(path);
        db.close();
        db.open(path); // each run's end opens it again
        { const UnflushedCommits trialWrites(db); }
        EXPECT_EQ(setting(db, "journal_mode"), disposable ? "memory" : "delete");
        EXPECT_EQ(setting(db, "synchronous"), disposable ? "0" : "2"); // OFF, FULL
        EXPECT_THROW(db.inTransaction([&] {
            db.exec("update crop set GROWTH = 9");
            db.exec("update no_such_table set x = 1");
        }),
                     FitError);
        EXPECT_EQ(queryDouble(path, "select count(*) from crop where GROWTH = 9"), 0.0);
    }
}

// A transaction of ours that reads and then writes waits for another program
// that is writing (up to the busy timeout) instead of failing at once: SQLite
// does not wait for a lock that a reading transaction asks to upgrade.
TEST_F(ParamDb, AWriteTransactionWaitsForAnotherProgramWriting) {
    const QString path = makeDb(dir.path(), kModelSql);
    s.settings().databaseFile = path;
    s.openDatabase();
    std::atomic<bool> writing{false};
    std::thread other([&] {
        sqlite3* h = nullptr;
        ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &h), SQLITE_OK);
        sqlite3_busy_timeout(h, 5000);
        sqlite3_exec(h, "BEGIN IMMEDIATE; INSERT INTO crop (ID) VALUES (100)", nullptr, nullptr,
                     nullptr);
        writing = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_EQ(sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(h);
    });
    while (!writing)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NO_THROW(s.database().inTransaction([&] {
        s.database().query("select count(*) from crop");
        s.database().exec("insert into crop (ID) values (101)");
    }));
    other.join();
    EXPECT_EQ(queryDouble(path, "select count(*) from crop where ID >= 100"), 2.0);
}

TEST_F(ParamDb, ResultTableChoiceConditionAndColumnLists) {
    s.settings().databaseFile = makeDb(dir.path(), kModelSql);
    s.openDatabase();
    EXPECT_EQ(s.setup().openTableCaption(), "open result table");
    EXPECT_FALSE(s.setup().openTableEnabled());

    s.setup().tables().selectIgnoringCase("RESULTS");
    s.setup().applyTableChoice();
    EXPECT_EQ(s.settings().resultTable, "results");
    EXPECT_EQ(s.setup().openTableCaption(), "open results as result table");
    EXPECT_TRUE(s.setup().openTableEnabled());

    s.settings().condition = "   ";
    s.setup().openResultTable();
    EXPECT_EQ(s.settings().condition, "1=1");
    EXPECT_EQ(s.setup().resultQuery(), "select * from results where 1=1");
    for (ComboState* c :
         {&s.setup().columnList(ColumnRole::Observed), &s.setup().columnList(ColumnRole::Model),
          &s.setup().columnList(ColumnRole::Index), &s.setup().columnList(ColumnRole::Variance)}) {
        EXPECT_EQ(c->items, (QStringList{"SITE", "OBS", "SIM", "VAR"}));
        EXPECT_EQ(c->index, -1);
    }
    s.setup().chooseColumnNamed(ColumnRole::Observed, "obs");
    // Opening again keeps the choices whose column is still there; a filter that
    // selects no row still fills the lists.
    s.settings().condition = "SITE = 99";
    s.setup().openResultTable();
    EXPECT_EQ(s.setup().columnList(ColumnRole::Observed).selected(), "OBS");
    EXPECT_EQ(s.settings().observedColumn, "OBS");
    EXPECT_EQ(s.setup().columnList(ColumnRole::Model).index, -1);
    EXPECT_EQ(s.setup().columnList(ColumnRole::Observed).items.size(), 4);

    // A rejected condition: the lists stay empty and the query closed.
    s.settings().condition = "NOSUCH = 1";
    EXPECT_THROW(s.setup().openResultTable(), FitError);
    EXPECT_TRUE(s.setup().columnList(ColumnRole::Observed).items.isEmpty());
    EXPECT_TRUE(s.setup().resultQuery().isEmpty());

    // No table selected: two blanks in the caption, and opening fails.
    s.setup().tables().index = -1;
    s.setup().applyTableChoice();
    EXPECT_EQ(s.setup().openTableCaption(), "open  as result table");
    s.settings().condition = "1=1";
    EXPECT_THROW(s.setup().openResultTable(), FitError);
}

TEST_F(ParamDb, RunFileLinesAndRunnerSettings) {
    const QString script = writeRunScript(dir.path(), {"--db", "x.sqlite"}, "my run.sh");
    s.setRunFile(script);
    EXPECT_EQ(s.settings().runFile, script);
    ASSERT_EQ(s.form().runFileLines.size(), 2);
    EXPECT_EQ(s.form().runFileLines[0], "#!/bin/sh");
    EXPECT_EQ(s.modelProcess().program(), script);
    EXPECT_EQ(s.modelProcess().workingDirectory(), dir.path() + "/");
    // A missing run file is skipped without a word.
    s.setRunFile(dir.path() + "/missing.sh");
    EXPECT_EQ(s.modelProcess().program(), script);
    EXPECT_EQ(s.form().runFileLines.size(), 2);
}

// "edit runfile" with $VISUAL / $EDITOR: the run file reaches the editor as one
// argument, after the editor's own arguments, also when its path has blanks.
TEST_F(ParamDb, EditorGetsTheRunFileAsOneArgument) {
    const QString script = writeRunScript(dir.path(), {"--db", "x.sqlite"}, "my run; file.sh");
    s.setRunFile(script);
    const QString recorder = dir.filePath("editor.sh");
    const QString record = dir.filePath("args.txt");
    {
        QFile f(recorder);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\"; last=$a; "
                               "done > %1\necho '# edited' >> \"$last\"\n")
                    .arg(shellQuote(record))
                    .toUtf8());
        f.close();
        f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
    }
    const QByteArray savedVisual = qgetenv("VISUAL"), savedEditor = qgetenv("EDITOR");
    const struct {
        const char* variable;
        QString value;
        QString arguments;
    } cases[] = {
        {"VISUAL", recorder, script + "|"},
        {"EDITOR", recorder + " --wait", "--wait|" + script + "|"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.variable);
        qunsetenv("VISUAL");
        qunsetenv("EDITOR");
        qputenv(tc.variable, tc.value.toLocal8Bit());
        QFile::remove(record);
        const int lines = s.form().runFileLines.size();
        s.editRunFile();
        QFile f(record);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(QString::fromLocal8Bit(f.readAll()), tc.arguments);
        EXPECT_EQ(s.form().runFileLines.size(), lines + 1); // the list shows the edited file
    }
    for (const auto& [name, value] : {std::pair{"VISUAL", savedVisual}, {"EDITOR", savedEditor}})
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
}

TEST_F(ParamDb, NmaxEditKeepsTheLastValidValue) {
    EXPECT_EQ(s.settings().maxEvaluations, 50);
    EXPECT_EQ(s.form().maxEvaluationsText, "50");
    s.setMaxEvaluationsText("1");
    s.setMaxEvaluationsText("12");
    EXPECT_EQ(s.settings().maxEvaluations, 12);
    EXPECT_THROW(s.setMaxEvaluationsText(""), FitError);
    EXPECT_EQ(s.settings().maxEvaluations, 12);
}

TEST_F(ParamDb, ParameterPlotShowsTheSensitivitiesToTheChosenParameter) {
    s.plotParameter(0);
    EXPECT_TRUE(s.chartSeries().isEmpty());
    s.keepSensitivities(2, {{0, 0, 0}, {10, 1, 2}, {20, 3, 4}});
    s.plotParameter(1); // parameter 2
    ASSERT_EQ(s.chartSeries().size(), 2);
    EXPECT_EQ(s.chartSeries()[0], QPointF(1, 2));
    EXPECT_EQ(s.chartSeries()[1], QPointF(2, 4));
    s.plotParameter(-1); // no entry: the model values
    EXPECT_EQ(s.chartSeries()[1], QPointF(2, 20));
}

// Earlier builds put the marker beside the database's path as it was named.
// A killed run's marker beside a link is taken over (its content, then the
// file goes); one that a running program holds refuses the run.
TEST(RunMarkerBesideALink, AKilledRunsMarkerIsTakenOverAndALockedOneRefuses) {
    QTemporaryDir dir;
    const QString db = dir.filePath("real.sqlite");
    const QString link = dir.filePath("link.sqlite");
    ASSERT_TRUE(QFile(db).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile::link(db, link));
    const QString left = link + ".fitmara-run";
    auto leave = [&](const QByteArray& text) {
        QFile f(left);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    };

    // The killed run: a child that has ended and been reaped.
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const QByteArray killed = QByteArray::number(child) +
                              "\nThis program has backed up the model tables of this database "
                              "and not yet restored them.\n";
    leave(killed);
    {
        RunMarker marker;
        EXPECT_EQ(marker.acquire(link), RunMarker::Found::AfterBackup);
        EXPECT_FALSE(QFile::exists(left));
        QFile mine(db + ".fitmara-run");
        ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
        EXPECT_EQ(mine.readAll(), killed);
        marker.remove();
    }

    // An earlier build's run that works now holds its marker's lock.
    leave(killed);
    int held[2];
    ASSERT_EQ(::pipe(held), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int f = ::open(QFile::encodeName(left).constData(), O_RDWR);
        ::flock(f, LOCK_EX);
        char c = 0;
        (void)!::write(held[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(held[0], &c, 1), 1);
    RunMarker marker;
    EXPECT_THROW(marker.acquire(link), FitError);
    EXPECT_FALSE(marker.held());
    EXPECT_TRUE(QFile::exists(left));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(held[0]);
    ::close(held[1]);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
