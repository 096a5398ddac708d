// The process runner against real programs: shell scripts, the no-op program
// and the stand-in model.
#include "model/dvk_app_exec.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <csignal>
#include <sys/wait.h>

namespace {

const QString fixtureDir = QStringLiteral(FIXTURE_DIR);
const QString standin = fixtureDir + QStringLiteral("/standin_model");
const QString noop = fixtureDir + QStringLiteral("/noop_program");

void writeFile(const QString& path, const QByteArray& content, bool executable) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(content);
    f.close();
    QFile::Permissions p = QFile::ReadOwner | QFile::WriteOwner;
    if (executable)
        p |= QFile::ExeOwner;
    ASSERT_TRUE(QFile::setPermissions(path, p));
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// A child of ours that has been reaped is unknown to waitpid.
bool reaped(int pid) {
    return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// Lets the event loop run for a while (ends of unwatched programs get reaped).
void spin(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

class RunnerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

TEST_F(RunnerTest, StartsWatchesAndReapsAShortProgram) {
    TdvkAppExec run;
    EXPECT_EQ(run.ResultCode(), 0);
    EXPECT_EQ(run.apid(), -99);
    EXPECT_EQ(run.ShowType(), sstShowNormal);
    EXPECT_FALSE(run.working());
    EXPECT_FALSE(run.finished());

    QSignalSpy ended(&run, &TdvkAppExec::ended);
    writeFile(path("exit7.sh"), "#!/bin/sh\nexit 7\n", true);
    run.setApplicationName(path("exit7.sh"));
    run.Execute();
    EXPECT_EQ(run.ResultCode(), -1);
    EXPECT_TRUE(run.working());
    EXPECT_FALSE(run.finished());
    EXPECT_GT(run.apid(), 0);
    EXPECT_TRUE(run.errorString().isEmpty());

    EXPECT_TRUE(run.waitForEnd());
    EXPECT_TRUE(run.finished());
    EXPECT_FALSE(run.working());
    EXPECT_EQ(ended.count(), 1);
    // The exit code is not part of the contract...
    EXPECT_EQ(run.ExitCode(), 0u);
    // ...but the wait status is kept for messages.
    ASSERT_TRUE(WIFEXITED(run.exitStatus()));
    EXPECT_EQ(WEXITSTATUS(run.exitStatus()), 7);
    EXPECT_TRUE(reaped(run.apid()));
    // Waiting again after the end returns at once.
    EXPECT_TRUE(run.waitForEnd());
}

TEST_F(RunnerTest, FailedStartsReportTheErrorNumberAndNeverFinish) {
    QDir().mkpath(path("a_directory"));
    struct Case {
        const char* what;
        QString application, parameters, currentDir;
        int error;
    };
    const Case cases[] = {
        {"missing program", path("no_such_model"), {}, {}, ENOENT},
        {"empty command line", {}, {}, {}, ENOENT},
        {"blanks only", QStringLiteral("  "), QStringLiteral(" "), {}, ENOENT},
        {"bare name not on PATH", QStringLiteral("no-such-program-xyz"), {}, {}, ENOENT},
        {"missing working directory", noop, {}, path("no_such_dir"), ENOENT},
        {"a directory as program", path("a_directory"), {}, {}, EACCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TdvkAppExec run;
        QSignalSpy ended(&run, &TdvkAppExec::ended);
        run.setApplicationName(c.application);
        run.setParameters(c.parameters);
        run.setCurrentDir(c.currentDir);
        run.Execute();
        EXPECT_EQ(run.ResultCode(), c.error);
        EXPECT_FALSE(run.errorString().isEmpty());
        EXPECT_FALSE(run.working());
        EXPECT_EQ(run.apid(), -99);
        QElapsedTimer t;
        t.start();
        EXPECT_FALSE(run.waitForEnd());
        EXPECT_LT(t.elapsed(), 1000);
        spin(50);
        EXPECT_FALSE(run.finished());
        EXPECT_EQ(ended.count(), 0);
    }
}

TEST_F(RunnerTest, ErrorStringNamesTheProgram) {
    TdvkAppExec run;
    run.setApplicationName(path("no_such_model"));
    run.Execute();
    EXPECT_TRUE(run.errorString().contains(QStringLiteral("no_such_model")))
        << run.errorString().toStdString();
}

TEST_F(RunnerTest, FailedStartAfterASuccessfulOneResetsTheState) {
    TdvkAppExec run;
    run.setApplicationName(noop);
    run.Execute();
    ASSERT_TRUE(run.waitForEnd());
    const int firstPid = run.apid();
    run.setApplicationName(path("missing"));
    run.Execute();
    EXPECT_EQ(run.ResultCode(), ENOENT);
    EXPECT_FALSE(run.finished());
    EXPECT_EQ(run.apid(), firstPid);
    EXPECT_FALSE(run.waitForEnd());
}

// The program, its arguments and its working directory, as the started
// program itself sees them.
TEST_F(RunnerTest, CommandLineAndWorkingDirectory) {
    const QByteArray script = "printf '%s|' \"$@\" > args.txt\npwd > pwd.txt\n";
    QDir().mkpath(path("dir with blanks"));
    QDir().mkpath(path("work"));
    const QString blankScript = path("dir with blanks/my model.sh");
    writeFile(blankScript, "#!/bin/sh\n" + script, true);
    const QString plainScript = path("plain_no_x.sh");
    writeFile(plainScript, script, false); // neither "#!" nor execute bit
    const QString noShebang = path("no_shebang_x.sh");
    writeFile(noShebang, script, true);

    struct Case {
        const char* what;
        QString application, parameters;
        QByteArray args;
    };
    const Case cases[] = {
        {"path with blanks, parameters split", blankScript, QStringLiteral("a  b\tc"), "a|b|c|"},
        {"path with blanks, no parameters", blankScript, {}, "|"},
        {"script without execute bit", plainScript, QStringLiteral("x y"), "x|y|"},
        {"executable script without #! line", noShebang, QStringLiteral("z"), "z|"},
        {"program and first arguments in the name", QStringLiteral("sh ") + plainScript,
         QStringLiteral("p q"), "p|q|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(path("work/args.txt"));
        QFile::remove(path("work/pwd.txt"));
        TdvkAppExec run;
        run.setApplicationName(c.application);
        run.setParameters(c.parameters);
        run.setCurrentDir(path("work"));
        run.Execute();
        ASSERT_EQ(run.ResultCode(), -1) << run.errorString().toStdString();
        ASSERT_TRUE(run.waitForEnd());
        EXPECT_EQ(readFile(path("work/args.txt")), c.args);
        EXPECT_EQ(readFile(path("work/pwd.txt")).trimmed(),
                  QFile::encodeName(QDir(path("work")).canonicalPath()));
    }
}

TEST_F(RunnerTest, EmptyCurrentDirInheritsOurs) {
    writeFile(path("pwd.sh"), "#!/bin/sh\npwd > \"$1\"\n", true);
    TdvkAppExec run;
    run.setApplicationName(path("pwd.sh"));
    run.setParameters(path("out.txt"));
    run.Execute();
    ASSERT_TRUE(run.waitForEnd());
    EXPECT_EQ(readFile(path("out.txt")).trimmed(), QFile::encodeName(QDir::currentPath()));
}

TEST_F(RunnerTest, SecondExecuteWatchesOnlyTheNewProgram) {
    TdvkAppExec run;
    QSignalSpy ended(&run, &TdvkAppExec::ended);

    // A long program, then a short one: the end of the short one counts.
    run.setApplicationName(standin);
    run.setParameters(QStringLiteral("--behave hang"));
    run.Execute();
    ASSERT_EQ(run.ResultCode(), -1);
    const int hanging = run.apid();
    run.setApplicationName(noop);
    run.setParameters({});
    run.Execute();
    ASSERT_EQ(run.ResultCode(), -1);
    EXPECT_NE(run.apid(), hanging);
    EXPECT_TRUE(run.waitForEnd());
    EXPECT_EQ(ended.count(), 1);
    EXPECT_FALSE(reaped(hanging)); // left running, not killed

    // A short program, then a long one: the end of the short one is ignored.
    run.setApplicationName(noop);
    run.Execute();
    const int shortPid = run.apid();
    run.setApplicationName(standin);
    run.setParameters(QStringLiteral("--behave hang"));
    run.Execute();
    spin(300);
    EXPECT_FALSE(run.finished());
    EXPECT_TRUE(run.working());
    EXPECT_EQ(ended.count(), 1);
    EXPECT_TRUE(reaped(shortPid)); // yet reaped, no zombie

    // The earlier, unwatched program ends: reaped, still not reported.
    ASSERT_EQ(::kill(hanging, SIGKILL), 0);
    QElapsedTimer t;
    t.start();
    while (!reaped(hanging) && t.elapsed() < 5000)
        spin(20);
    EXPECT_TRUE(reaped(hanging));
    EXPECT_FALSE(run.finished());
    EXPECT_EQ(ended.count(), 1);

    run.kill();
    EXPECT_TRUE(run.finished());
    EXPECT_EQ(ended.count(), 2);
}

TEST_F(RunnerTest, KillEndsAHangingProgram) {
    TdvkAppExec run;
    run.setApplicationName(standin);
    run.setParameters(QStringLiteral("--behave hang"));
    run.Execute();
    ASSERT_EQ(run.ResultCode(), -1);
    spin(50);
    EXPECT_FALSE(run.finished());
    run.kill();
    EXPECT_TRUE(run.finished());
    EXPECT_FALSE(run.working());
    ASSERT_TRUE(WIFSIGNALED(run.exitStatus()));
    EXPECT_EQ(WTERMSIG(run.exitStatus()), SIGTERM);
    EXPECT_TRUE(reaped(run.apid()));
    run.kill(); // nothing left to kill: harmless
}

// Running, not a zombie left for an init that does not reap.
bool processRuns(int pid) {
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.isEmpty())
        return false;
    const int close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

TEST_F(RunnerTest, ProgramRunsInItsOwnProcessGroupAndKillEndsAllOfIt) {
    // A run script that starts its model without exec, as people write them.
    const QString script = path("run.sh");
    const QString pidFile = path("model.pid");
    writeFile(script,
              "#!/bin/sh\n\"" + standin.toUtf8() + "\" --behave hang &\necho $! > \"" +
                  pidFile.toUtf8() + "\"\nwait\n",
              true);
    TdvkAppExec run;
    run.setApplicationName(script);
    run.Execute();
    ASSERT_EQ(run.ResultCode(), -1);
    // Ctrl-C in our terminal goes to our process group, not to the model's.
    EXPECT_EQ(::getpgid(run.apid()), run.apid());
    EXPECT_NE(::getpgid(run.apid()), ::getpgrp());
    int model = 0;
    for (int i = 0; i < 500 && model <= 0; ++i) {
        spin(10);
        model = readFile(pidFile).trimmed().toInt();
    }
    ASSERT_GT(model, 0);
    EXPECT_TRUE(processRuns(model));
    run.kill();
    EXPECT_TRUE(run.finished());
    for (int i = 0; i < 200 && processRuns(model); ++i)
        spin(10);
    EXPECT_FALSE(processRuns(model));
}

TEST_F(RunnerTest, DestroyedRunnerLeavesNoZombies) {
    int pid = -1;
    {
        TdvkAppExec run;
        run.setApplicationName(QStringLiteral("sleep"));
        run.setParameters(QStringLiteral("0.1"));
        run.Execute();
        ASSERT_EQ(run.ResultCode(), -1);
        pid = run.apid();
    }
    QThread::msleep(300);
    // The next start of any runner collects it.
    TdvkAppExec other;
    other.setApplicationName(noop);
    other.Execute();
    ASSERT_TRUE(other.waitForEnd());
    EXPECT_TRUE(reaped(pid));
}

TEST_F(RunnerTest, EndIsNoticedQuickly) {
    TdvkAppExec run;
    run.setApplicationName(noop);
    const int rounds = 50;
    QElapsedTimer t;
    qint64 worst = 0;
    t.start();
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer one;
        one.start();
        run.Execute();
        ASSERT_TRUE(run.waitForEnd());
        worst = std::max(worst, one.nsecsElapsed());
    }
    const double mean = t.nsecsElapsed() / 1e6 / rounds;
    std::printf("[ timing   ] no-op program start to finished: mean %.3f ms, worst %.3f ms\n", mean,
                worst / 1e6);
    // Only a sanity bound: timings on a shared machine vary too much to assert.
    EXPECT_LT(mean, 1000.0);
}

// The stand-in model that the evaluation tests run as "the model".
class StandinModelTest : public RunnerTest {
  protected:
    void SetUp() override {
        RunnerTest::SetUp();
        db = path("model.sqlite");
        sql("CREATE TABLE model_par (id INTEGER PRIMARY KEY, a DOUBLE, b DOUBLE);"
            "INSERT INTO model_par VALUES (1, 2.0, 0.5);"
            "CREATE TABLE results (x DOUBLE, obs DOUBLE, sim DOUBLE);"
            "INSERT INTO results VALUES (1, 2.4, -99), (2, 4.6, -99), (3, 6.4, 0), (4, 8.6, "
            "-99);");
    }
    void sql(const char* statements) {
        sqlite3* h = nullptr;
        ASSERT_EQ(sqlite3_open(db.toUtf8().constData(), &h), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(h, statements, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(h);
        sqlite3_close(h);
    }
    std::vector<double> sims() {
        std::vector<double> out;
        sqlite3* h = nullptr;
        sqlite3_open(db.toUtf8().constData(), &h);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(h, "SELECT sim FROM results ORDER BY rowid", -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            out.push_back(sqlite3_column_double(st, 0));
        sqlite3_finalize(st);
        sqlite3_close(h);
        return out;
    }
    // Runs the model through a run script, as the program does.
    TdvkAppExec& runModel(const QByteArray& args) {
        const QByteArray script = "#!/bin/sh\nexec \"" + standin.toUtf8() + "\" --db \"" +
                                  db.toUtf8() + "\" --touch runs.txt " + args + "\n";
        writeFile(path("run.sh"), script, false);
        runner.setApplicationName(path("run.sh"));
        runner.setCurrentDir(dir.path());
        runner.Execute();
        EXPECT_EQ(runner.ResultCode(), -1);
        EXPECT_TRUE(runner.waitForEnd());
        return runner;
    }
    QString db;
    TdvkAppExec runner;
};

const QByteArray linearModel =
    "--sql 'UPDATE results SET sim = (SELECT a FROM model_par WHERE id=1) * x + "
    "(SELECT b FROM model_par WHERE id=1) WHERE sim = -99'";

TEST_F(StandinModelTest, BehavioursAsDocumented) {
    struct Case {
        const char* what;
        QByteArray args;
        std::vector<double> sims;
        int exitCode; // -1: ended by SIGABRT
    };
    const Case cases[] = {
        {"complete", linearModel, {2.5, 4.5, 0, 8.5}, 0},
        {"slow", linearModel + " --behave slow --sleep 200", {2.5, 4.5, 0, 8.5}, 0},
        {"leave default", linearModel + " --behave leave", {-99, 4.5, 0, 8.5}, 0},
        {"leave two", linearModel + " --behave leave --leave 2", {-99, -99, 0, 8.5}, 0},
        {"fail", linearModel + " --behave fail", {-99, -99, 0, -99}, 3},
        {"crash", linearModel + " --behave crash", {-99, -99, 0, -99}, -1},
        {"bad SQL rolls back",
         linearModel + " --sql 'UPDATE nowhere SET y = 1'",
         {-99, -99, 0, -99},
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sql("UPDATE results SET sim = -99 WHERE x <> 3; UPDATE results SET sim = 0 WHERE x = 3");
        const int status = runModel(c.args).exitStatus();
        if (c.exitCode < 0) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), SIGABRT);
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
        }
        EXPECT_EQ(sims(), c.sims);
    }
    // One line per run, whatever the behaviour.
    EXPECT_EQ(readFile(path("runs.txt")).count('\n'), qsizetype(std::size(cases)));
}

TEST_F(StandinModelTest, FollowsTheParameterTable) {
    sql("UPDATE model_par SET a = -1.25, b = 10");
    runModel(linearModel);
    EXPECT_EQ(sims(), (std::vector<double>{8.75, 7.5, 0, 5}));
}

TEST_F(StandinModelTest, HangsUntilKilled) {
    const QByteArray script = "#!/bin/sh\nexec \"" + standin.toUtf8() + "\" --db \"" + db.toUtf8() +
                              "\" --behave hang " + linearModel + "\n";
    writeFile(path("run.sh"), script, true);
    runner.setApplicationName(path("run.sh"));
    runner.Execute();
    ASSERT_EQ(runner.ResultCode(), -1);
    spin(300);
    EXPECT_FALSE(runner.finished());
    runner.kill();
    EXPECT_TRUE(runner.finished());
    EXPECT_EQ(sims(), (std::vector<double>{-99, -99, 0, -99}));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
