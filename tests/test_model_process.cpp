// The process runner against real programs: shell scripts, the no-op program
// and the stand-in model.
#include "model/model_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
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
    ModelProcess run;
    EXPECT_EQ(run.startError(), 0);
    EXPECT_EQ(run.processId(), -99);
    EXPECT_FALSE(run.working());
    EXPECT_FALSE(run.finished());

    QSignalSpy ended(&run, &ModelProcess::ended);
    writeFile(path("exit7.sh"), "#!/bin/sh\nexit 7\n", true);
    run.setProgram(path("exit7.sh"));
    run.start();
    EXPECT_EQ(run.startError(), -1);
    EXPECT_TRUE(run.working());
    EXPECT_FALSE(run.finished());
    EXPECT_GT(run.processId(), 0);
    EXPECT_TRUE(run.errorString().isEmpty());

    EXPECT_TRUE(run.waitForEnd());
    EXPECT_TRUE(run.finished());
    EXPECT_FALSE(run.working());
    EXPECT_EQ(ended.count(), 1);
    // A non-zero exit is an end, not a normal one, and messages say which.
    EXPECT_EQ(run.runEnd(), RunEnd::Exited);
    EXPECT_FALSE(run.endedNormally());
    EXPECT_EQ(run.statusText(), QStringLiteral("exit status 7"));
    ASSERT_TRUE(WIFEXITED(run.exitStatus()));
    EXPECT_EQ(WEXITSTATUS(run.exitStatus()), 7);
    EXPECT_TRUE(reaped(run.processId()));
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
        ModelProcess run;
        QSignalSpy ended(&run, &ModelProcess::ended);
        run.setProgram(c.application);
        run.setArguments(c.parameters);
        run.setWorkingDirectory(c.currentDir);
        run.start();
        EXPECT_EQ(run.startError(), c.error);
        EXPECT_FALSE(run.errorString().isEmpty());
        EXPECT_FALSE(run.working());
        EXPECT_EQ(run.processId(), -99);
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
    ModelProcess run;
    run.setProgram(path("no_such_model"));
    run.start();
    EXPECT_TRUE(run.errorString().contains(QStringLiteral("no_such_model")))
        << run.errorString().toStdString();
}

TEST_F(RunnerTest, FailedStartAfterASuccessfulOneResetsTheState) {
    ModelProcess run;
    run.setProgram(noop);
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    const int firstPid = run.processId();
    run.setProgram(path("missing"));
    run.start();
    EXPECT_EQ(run.startError(), ENOENT);
    EXPECT_FALSE(run.finished());
    EXPECT_EQ(run.processId(), firstPid);
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
        ModelProcess run;
        run.setProgram(c.application);
        run.setArguments(c.parameters);
        run.setWorkingDirectory(path("work"));
        run.start();
        ASSERT_EQ(run.startError(), -1) << run.errorString().toStdString();
        ASSERT_TRUE(run.waitForEnd());
        EXPECT_EQ(readFile(path("work/args.txt")), c.args);
        EXPECT_EQ(readFile(path("work/pwd.txt")).trimmed(),
                  QFile::encodeName(QDir(path("work")).canonicalPath()));
    }
}

TEST_F(RunnerTest, EmptyCurrentDirInheritsOurs) {
    writeFile(path("pwd.sh"), "#!/bin/sh\npwd > \"$1\"\n", true);
    ModelProcess run;
    run.setProgram(path("pwd.sh"));
    run.setArguments(path("out.txt"));
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    EXPECT_EQ(readFile(path("out.txt")).trimmed(), QFile::encodeName(QDir::currentPath()));
}

TEST_F(RunnerTest, SecondExecuteWatchesOnlyTheNewProgram) {
    ModelProcess run;
    QSignalSpy ended(&run, &ModelProcess::ended);

    // A long program, then a short one: the end of the short one counts.
    run.setProgram(standin);
    run.setArguments(QStringLiteral("--behave hang"));
    run.start();
    ASSERT_EQ(run.startError(), -1);
    const int hanging = run.processId();
    run.setProgram(noop);
    run.setArguments({});
    run.start();
    ASSERT_EQ(run.startError(), -1);
    EXPECT_NE(run.processId(), hanging);
    EXPECT_TRUE(run.waitForEnd());
    EXPECT_EQ(ended.count(), 1);
    EXPECT_FALSE(reaped(hanging)); // left running, not killed

    // A short program, then a long one: the end of the short one is ignored.
    run.setProgram(noop);
    run.start();
    const int shortPid = run.processId();
    run.setProgram(standin);
    run.setArguments(QStringLiteral("--behave hang"));
    run.start();
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
    ModelProcess run;
    run.setProgram(standin);
    run.setArguments(QStringLiteral("--behave hang"));
    run.start();
    ASSERT_EQ(run.startError(), -1);
    spin(50);
    EXPECT_FALSE(run.finished());
    run.kill();
    EXPECT_TRUE(run.finished());
    EXPECT_FALSE(run.working());
    ASSERT_TRUE(WIFSIGNALED(run.exitStatus()));
    EXPECT_EQ(WTERMSIG(run.exitStatus()), SIGTERM);
    EXPECT_TRUE(reaped(run.processId()));
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
    ModelProcess run;
    run.setProgram(script);
    run.start();
    ASSERT_EQ(run.startError(), -1);
    // Ctrl-C in our terminal goes to our process group, not to the model's.
    EXPECT_EQ(::getpgid(run.processId()), run.processId());
    EXPECT_NE(::getpgid(run.processId()), ::getpgrp());
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
        ModelProcess run;
        run.setProgram(QStringLiteral("sleep"));
        run.setArguments(QStringLiteral("0.1"));
        run.start();
        ASSERT_EQ(run.startError(), -1);
        pid = run.processId();
    }
    QThread::msleep(300);
    // The next start of any runner collects it.
    ModelProcess other;
    other.setProgram(noop);
    other.start();
    ASSERT_TRUE(other.waitForEnd());
    EXPECT_TRUE(reaped(pid));
}

TEST_F(RunnerTest, EndIsNoticedQuickly) {
    ModelProcess run;
    run.setProgram(noop);
    const int rounds = 50;
    QElapsedTimer t;
    qint64 worst = 0;
    t.start();
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer one;
        one.start();
        run.start();
        ASSERT_TRUE(run.waitForEnd());
        worst = std::max(worst, one.nsecsElapsed());
    }
    const double mean = t.nsecsElapsed() / 1e6 / rounds;
    std::printf("[ timing   ] no-op program start to finished: mean %.3f ms, worst %.3f ms\n", mean,
                worst / 1e6);
    // Only a sanity bound: timings on a shared machine vary too much to assert.
    EXPECT_LT(mean, 1000.0);
}

// ---- What the runner offers for model runs: environment, time limit, output
// file, and how a run ended.

// Processes events until every runner has finished, or `ms` have passed.
bool waitForAll(const std::vector<ModelProcess*>& runs, int ms) {
    QElapsedTimer t;
    t.start();
    auto allDone = [&] {
        return std::all_of(runs.begin(), runs.end(), [](ModelProcess* r) { return r->finished(); });
    };
    while (!allDone() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return allDone();
}

TEST_F(RunnerTest, EnvironmentAddsTheCallersVariablesToOurs) {
    qputenv("FITMARA_TEST_INHERITED", "from us");
    qputenv("FITMARA_RUN", "stale");
    writeFile(path("env.sh"), "#!/bin/sh\nenv > env.txt\n", true);
    ModelProcess run;
    run.setProgram(path("env.sh"));
    run.setWorkingDirectory(dir.path());
    run.setEnvironmentVariable(QStringLiteral("FITMARA_DB"), path("a b/model=1.sqlite"));
    run.setEnvironmentVariable(QStringLiteral("FITMARA_RUN"), QStringLiteral("6"));
    run.setEnvironmentVariable(QStringLiteral("FITMARA_RUN"), QStringLiteral("7"));
    run.setEnvironmentVariable(QStringLiteral("FITMARA_WORKSPACE"), dir.path());
    run.setEnvironmentVariable(QString(), QStringLiteral("ignored"));
    run.setEnvironmentVariable(QStringLiteral("A=B"), QStringLiteral("ignored"));
    EXPECT_EQ(run.environmentVariables().size(), 3);
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    qunsetenv("FITMARA_TEST_INHERITED");
    qunsetenv("FITMARA_RUN");

    const QList<QByteArray> lines = readFile(path("env.txt")).split('\n');
    auto entries = [&](const QByteArray& name) {
        QList<QByteArray> found;
        for (const QByteArray& l : lines)
            if (l.startsWith(name + '='))
                found << l.mid(name.size() + 1);
        return found;
    };
    EXPECT_EQ(entries("FITMARA_DB"), QList<QByteArray>{path("a b/model=1.sqlite").toUtf8()});
    EXPECT_EQ(entries("FITMARA_RUN"), QList<QByteArray>{"7"}); // ours replaced, once
    EXPECT_EQ(entries("FITMARA_WORKSPACE"), QList<QByteArray>{dir.path().toUtf8()});
    EXPECT_EQ(entries("FITMARA_TEST_INHERITED"), QList<QByteArray>{"from us"});
    EXPECT_EQ(entries("PATH"), QList<QByteArray>{qgetenv("PATH")});

    // Without variables of the caller, the program gets exactly ours.
    run.clearEnvironmentVariables();
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    EXPECT_FALSE(readFile(path("env.txt")).contains("FITMARA_DB="));
}

TEST_F(RunnerTest, HowARunEndedInWords) {
    writeFile(path("exit.sh"), "#!/bin/sh\nexit \"$1\"\n", true);
    struct Case {
        const char* what;
        QString application, parameters;
        RunEnd end;
        const char* status;
        bool normal;
    };
    const Case cases[] = {
        {"exit 0", path("exit.sh"), QStringLiteral("0"), RunEnd::Exited, "exit status 0", true},
        {"exit 3", path("exit.sh"), QStringLiteral("3"), RunEnd::Exited, "exit status 3", false},
        {"crash", standin, QStringLiteral("--behave crash"), RunEnd::Signalled,
         "killed by signal 6 (SIGABRT)", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ModelProcess run;
        EXPECT_EQ(run.runEnd(), RunEnd::NotEnded);
        run.setProgram(c.application);
        run.setArguments(c.parameters);
        run.start();
        EXPECT_EQ(run.runEnd(), RunEnd::NotEnded);
        EXPECT_TRUE(run.statusText().isEmpty());
        ASSERT_TRUE(run.waitForEnd());
        EXPECT_EQ(run.runEnd(), c.end);
        EXPECT_EQ(run.statusText(), QLatin1String(c.status));
        EXPECT_EQ(run.endText(), QLatin1String(c.status));
        EXPECT_EQ(run.endedNormally(), c.normal);
        EXPECT_TRUE(run.startedAt().isValid());
        EXPECT_GE(run.durationMs(), 0);
    }

    ModelProcess run;
    run.setProgram(path("no_such_model"));
    run.start();
    EXPECT_EQ(run.runEnd(), RunEnd::StartFailed);
    EXPECT_TRUE(run.statusText().isEmpty());
    EXPECT_TRUE(run.endText().startsWith(QStringLiteral("could not be started: ")));
    EXPECT_TRUE(run.endText().contains(QStringLiteral("no_such_model")));
    EXPECT_FALSE(run.endedNormally());

    // Ended by kill(): a signal, not a time-out.
    run.setProgram(standin);
    run.setArguments(QStringLiteral("--behave hang"));
    run.start();
    spin(50);
    run.kill();
    EXPECT_EQ(run.runEnd(), RunEnd::Signalled);
    EXPECT_EQ(run.endText(), QStringLiteral("killed by signal 15 (SIGTERM)"));
}

TEST_F(RunnerTest, DurationCoversTheRun) {
    ModelProcess run;
    run.setProgram(standin);
    run.setArguments(QStringLiteral("--behave slow --sleep 200"));
    const QDateTime before = QDateTime::currentDateTimeUtc();
    run.start();
    ASSERT_TRUE(run.waitForEnd()); // exits 2 (no database), after the sleep
    EXPECT_GE(run.startedAt(), before.addMSecs(-1));
    EXPECT_GE(run.durationMs(), 200);
    EXPECT_LT(run.durationMs(), 5000);
}

TEST_F(RunnerTest, TimeoutEndsTheRunsProcessGroup) {
    // A run script that does not exec its model: the model must go too.
    const QString script = path("run.sh");
    writeFile(script,
              "#!/bin/sh\n\"" + standin.toUtf8() +
                  "\" --behave \"$1\" &\necho $! > model.pid\nwait\n",
              true);
    struct Case {
        const char* what;
        QString application, parameters;
        int graceMs;
        int signal;   // what ended the watched program
        bool fromPid; // a model of its own, whose id the script wrote
        int minMs;    // at least the time limit (plus the grace where it was needed)
    };
    const Case cases[] = {
        {"ends on SIGTERM", standin, QStringLiteral("--behave hang"), 5000, SIGTERM, false, 300},
        {"ignores SIGTERM", standin, QStringLiteral("--behave stubborn"), 300, SIGKILL, false, 600},
        {"script's model ignores SIGTERM", script, QStringLiteral("stubborn"), 5000, SIGTERM, true,
         300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(path("model.pid"));
        ModelProcess run;
        QSignalSpy ended(&run, &ModelProcess::ended);
        run.setProgram(c.application);
        run.setArguments(c.parameters);
        run.setWorkingDirectory(dir.path());
        run.setTimeoutMs(300);
        run.setKillGraceMs(c.graceMs);
        QElapsedTimer t;
        t.start();
        run.start();
        ASSERT_EQ(run.startError(), -1);
        int model = 0;
        if (c.fromPid) {
            for (int i = 0; i < 200 && model <= 0; ++i) {
                spin(5);
                model = readFile(path("model.pid")).trimmed().toInt();
            }
            ASSERT_GT(model, 0);
        }
        ASSERT_TRUE(run.waitForEnd());
        const qint64 took = t.elapsed();
        EXPECT_GE(took, c.minMs);
        EXPECT_LT(took, c.minMs + 3000);
        EXPECT_EQ(ended.count(), 1);
        EXPECT_EQ(run.runEnd(), RunEnd::TimedOut);
        ASSERT_TRUE(WIFSIGNALED(run.exitStatus()));
        EXPECT_EQ(WTERMSIG(run.exitStatus()), c.signal);
        EXPECT_EQ(run.endText(), QStringLiteral("timed out after 0.3 s (killed by signal %1 (%2))")
                                     .arg(c.signal)
                                     .arg(c.signal == SIGTERM ? "SIGTERM" : "SIGKILL"));
        EXPECT_FALSE(run.endedNormally());
        EXPECT_TRUE(reaped(run.processId()));
        if (model > 0) {
            for (int i = 0; i < 200 && processRuns(model); ++i)
                spin(10);
            EXPECT_FALSE(processRuns(model));
        }
    }
}

// A helper that the model starts in a session of its own escapes the signals to
// the run's process group; it still goes when the run ends, however the run
// ends, and is not left as a zombie. So does the helper's own child, whose
// parent lives on until it is ended too.
TEST_F(RunnerTest, HelperInASessionOfItsOwnEndsWithTheRun) {
    const QString script = path("run.sh");
    writeFile(script,
              "#!/bin/sh\nsetsid sh -c 'sleep 60 & echo $! > helper.pid; wait' &\n"
              "while [ ! -s helper.pid ]; do sleep 0.01; done\nexec \"" +
                  standin.toUtf8() + "\" --behave \"$1\"\n",
              true);
    for (const char* behave : {"hang", "fail"}) {
        SCOPED_TRACE(behave);
        QFile::remove(path("helper.pid"));
        ModelProcess run;
        run.setProgram(script);
        run.setArguments(QString::fromLatin1(behave));
        run.setWorkingDirectory(dir.path());
        run.setTimeoutMs(500);
        run.setKillGraceMs(300);
        run.start();
        ASSERT_EQ(run.startError(), -1);
        ASSERT_TRUE(run.waitForEnd());
        const int helper = readFile(path("helper.pid")).trimmed().toInt();
        ASSERT_GT(helper, 0);
        EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/proc/%1").arg(helper)))
            << "helper " << helper << " is still there";
        ::kill(helper, SIGKILL); // a failing test leaves nothing behind
    }
}

// Models stopped together (a pool's stop) share one grace: SIGTERM goes to all
// of them first, then each that ignored it gets SIGKILL.
TEST_F(RunnerTest, ModelsTerminatedTogetherShareOneGrace) {
    ModelProcess runs[3];
    for (ModelProcess& r : runs) {
        r.setProgram(standin);
        r.setArguments(QStringLiteral("--behave stubborn"));
        r.setKillGraceMs(800);
        r.start();
        ASSERT_EQ(r.startError(), -1);
    }
    spin(300); // the models have set up their signal handling
    QElapsedTimer t;
    t.start();
    for (ModelProcess& r : runs)
        r.terminate();
    for (ModelProcess& r : runs)
        r.kill();
    const qint64 took = t.elapsed();
    EXPECT_GE(took, 750);
    EXPECT_LT(took, 1600); // one after the other: 2400 ms
    for (ModelProcess& r : runs) {
        EXPECT_FALSE(r.working());
        ASSERT_TRUE(WIFSIGNALED(r.exitStatus()));
        EXPECT_EQ(WTERMSIG(r.exitStatus()), SIGKILL);
    }
}

TEST_F(RunnerTest, RunWithinTheTimeLimitEndsAsUsual) {
    ModelProcess run;
    run.setTimeoutMs(2000);
    run.setProgram(noop);
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    EXPECT_EQ(run.runEnd(), RunEnd::Exited);
    EXPECT_TRUE(run.endedNormally());

    // A run that timed out does not mark the next one of the same runner.
    run.setTimeoutMs(100);
    run.setKillGraceMs(100);
    run.setProgram(standin);
    run.setArguments(QStringLiteral("--behave hang"));
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    EXPECT_EQ(run.runEnd(), RunEnd::TimedOut);
    run.setTimeoutMs(0);
    run.setProgram(QStringLiteral("sleep"));
    run.setArguments(QStringLiteral("0.3")); // outlasts the earlier limit and grace
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    EXPECT_EQ(run.runEnd(), RunEnd::Exited);
    EXPECT_EQ(run.statusText(), QStringLiteral("exit status 0"));
}

// Several runners in one event loop: a run in its grace time blocks nobody.
TEST_F(RunnerTest, RunnersAtOnceInOneEventLoop) {
    ModelProcess stubborn, hang, sleeper, quick;
    stubborn.setProgram(standin);
    stubborn.setArguments(QStringLiteral("--behave stubborn"));
    stubborn.setTimeoutMs(100);
    stubborn.setKillGraceMs(1500);
    hang.setProgram(standin);
    hang.setArguments(QStringLiteral("--behave hang"));
    hang.setTimeoutMs(200);
    sleeper.setProgram(QStringLiteral("sleep"));
    sleeper.setArguments(QStringLiteral("0.5"));
    quick.setProgram(noop);
    QElapsedTimer t;
    t.start();
    for (ModelProcess* r : {&stubborn, &hang, &sleeper, &quick}) {
        r->start();
        ASSERT_EQ(r->startError(), -1);
    }
    // The quick, the hanging (ended by SIGTERM) and the sleeping one are all
    // seen to end while the stubborn one is still in its grace time.
    ASSERT_TRUE(waitForAll({&hang, &sleeper, &quick}, 5000));
    EXPECT_LT(t.elapsed(), 1500);
    EXPECT_TRUE(stubborn.working());
    EXPECT_EQ(quick.runEnd(), RunEnd::Exited);
    EXPECT_EQ(sleeper.runEnd(), RunEnd::Exited);
    EXPECT_EQ(hang.runEnd(), RunEnd::TimedOut);
    EXPECT_EQ(WTERMSIG(hang.exitStatus()), SIGTERM);
    ASSERT_TRUE(waitForAll({&stubborn}, 5000));
    EXPECT_GE(t.elapsed(), 1600);
    EXPECT_EQ(stubborn.runEnd(), RunEnd::TimedOut);
    EXPECT_EQ(WTERMSIG(stubborn.exitStatus()), SIGKILL);
}

TEST_F(RunnerTest, OutputGoesToTheFileReplacedAtEachRun) {
    ModelProcess run;
    run.setProgram(standin);
    run.setWorkingDirectory(dir.path());
    run.setOutputFile(path("model.log"));
    run.setArguments(QStringLiteral("--print 5 --behave fail"));
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    // Both streams, in the order written.
    EXPECT_EQ(readFile(path("model.log")),
              "out 1\nerr 2\nout 3\nerr 4\nout 5\nstandin_model: failing as asked\n");
    EXPECT_EQ(run.outputTail(2), (QStringList{QStringLiteral("out 5"),
                                              QStringLiteral("standin_model: failing as asked")}));

    run.setArguments(QStringLiteral("--print 2 --behave fail"));
    run.start();
    ASSERT_TRUE(run.waitForEnd());
    EXPECT_EQ(readFile(path("model.log")), "out 1\nerr 2\nstandin_model: failing as asked\n");

    // A file that cannot be made: nothing is started.
    run.setOutputFile(path("no_such_dir/model.log"));
    run.setArguments(QStringLiteral("--touch ") + path("runs.txt"));
    run.start();
    EXPECT_EQ(run.startError(), ENOENT);
    EXPECT_EQ(run.runEnd(), RunEnd::StartFailed);
    EXPECT_TRUE(run.errorString().contains(QStringLiteral("no_such_dir/model.log")));
    spin(100);
    EXPECT_FALSE(QFile::exists(path("runs.txt")));
}

TEST_F(RunnerTest, RelativeOutputFileIsOursNotTheProgramsDirectory) {
    QDir().mkpath(path("work"));
    const QString was = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    ModelProcess run;
    run.setProgram(standin);
    run.setArguments(QStringLiteral("--print 1 --behave fail"));
    run.setWorkingDirectory(path("work"));
    run.setOutputFile(QStringLiteral("model.log"));
    run.start();
    const bool ended = run.waitForEnd();
    QDir::setCurrent(was);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(readFile(path("model.log")).startsWith("out 1\n"));
    EXPECT_FALSE(QFile::exists(path("work/model.log")));
}

TEST_F(RunnerTest, LastLinesOfAFile) {
    struct Case {
        const char* what;
        QByteArray content;
        int count;
        qint64 maxBytes;
        QStringList lines;
    };
    const QByteArray twentyFive = [] {
        QByteArray b;
        for (int i = 1; i <= 25; ++i)
            b += "line " + QByteArray::number(i) + '\n';
        return b;
    }();
    QStringList last20;
    for (int i = 6; i <= 25; ++i)
        last20 << QStringLiteral("line %1").arg(i);
    const QByteArray longLine(20000, 'x');
    const Case cases[] = {
        {"empty file", "", 20, 65536, {}},
        {"one line, no break", "only", 20, 65536, {"only"}},
        {"fewer lines than asked", "a\nb\n", 20, 65536, {"a", "b"}},
        {"last line without break", "a\nb\nc", 2, 65536, {"b", "c"}},
        {"CR LF", "a\r\nb\r\n", 20, 65536, {"a", "b"}},
        {"empty lines kept", "a\n\n\nb\n", 3, 65536, {"", "", "b"}},
        {"lone break", "\n", 20, 65536, {""}},
        {"none asked", "a\n", 0, 65536, {}},
        {"the last 20 of 25", twentyFive, 20, 65536, last20},
        {"exactly as many", "a\nb\n", 2, 65536, {"a", "b"}},
        {"cut by the byte limit", "first line\nsecond\nthird\n", 20, 12, {"...econd", "third"}},
        {"limit at a line start", "first\nsecond\nthird\n", 20, 13, {"second", "third"}},
        {"long lines across blocks",
         longLine + "\n" + longLine + "\nend\n",
         2,
         65536,
         {QString::fromLatin1(longLine), "end"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path("out.log"), c.content, false);
        EXPECT_EQ(ModelProcess::lastLines(path("out.log"), c.count, c.maxBytes), c.lines);
    }
    EXPECT_TRUE(ModelProcess::lastLines(path("missing.log")).isEmpty());
    EXPECT_TRUE(ModelProcess::lastLines(QString()).isEmpty());
}

// A huge log costs what a small one costs: only its end is read. A sparse
// file of 64 GiB would take minutes to read through.
TEST_F(RunnerTest, LastLinesOfAHugeFileReadsOnlyItsEnd) {
    QFile f(path("huge.log"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    const qint64 hole = qint64(64) << 30;
    if (!f.resize(hole))
        GTEST_SKIP() << "no sparse files here";
    ASSERT_TRUE(f.seek(hole));
    f.write("\nlast but one\nlast\n");
    f.close();
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(ModelProcess::lastLines(path("huge.log"), 2),
              (QStringList{QStringLiteral("last but one"), QStringLiteral("last")}));
    // Asked for more lines than the end holds: the byte limit stops the read.
    const QStringList more = ModelProcess::lastLines(path("huge.log"), 5, 4096);
    ASSERT_EQ(more.size(), 3);
    EXPECT_TRUE(more[0].startsWith(QStringLiteral("...")));
    EXPECT_EQ(more[1], QStringLiteral("last but one"));
    EXPECT_LT(t.elapsed(), 5000);
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
    ModelProcess& runModel(const QByteArray& args) {
        const QByteArray script = "#!/bin/sh\nexec \"" + standin.toUtf8() + "\" --db \"" +
                                  db.toUtf8() + "\" --touch runs.txt " + args + "\n";
        writeFile(path("run.sh"), script, false);
        runner.setProgram(path("run.sh"));
        runner.setWorkingDirectory(dir.path());
        runner.start();
        EXPECT_EQ(runner.startError(), -1);
        EXPECT_TRUE(runner.waitForEnd());
        return runner;
    }
    QString db;
    ModelProcess runner;
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
    runner.setProgram(path("run.sh"));
    runner.start();
    ASSERT_EQ(runner.startError(), -1);
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
