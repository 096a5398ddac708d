// Workspaces for parallel runs, their environment, and the watch on the real
// database while the runs work on copies.
#include "base/fit_error.h"
#include "base/process_identity.h"
#include "evaluation/foreign_write.h"
#include "runs/workspace.h"
#include "support/session_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kSchema =
    QStringLiteral("CREATE TABLE mtab (KEY INTEGER, p DOUBLE);"
                   "INSERT INTO mtab VALUES (1, 0.5), (2, 1.5);"
                   "CREATE TABLE results (ID INTEGER PRIMARY KEY, obs DOUBLE, sim DOUBLE);"
                   "INSERT INTO results VALUES (1, 3, 0), (2, 4, 0);");

void writeFile(const QString& path, const QByteArray& content,
               QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(content);
    f.close();
    f.setPermissions(perms);
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The bytes of a file as another process reads them. Reading a database here
// would drop the locks of this process's connections to it: closing any
// descriptor of a file ends every POSIX lock the process holds on it.
QByteArray readFileElsewhere(const QString& path) {
    QProcess cat;
    cat.start(QStringLiteral("/bin/cat"), {path});
    cat.waitForFinished(20000);
    return cat.readAllStandardOutput();
}

// The bytes of all regular files below a folder (links not followed).
qint64 bytesBelow(const QString& folder) {
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isSymLink())
            total += it.fileInfo().size();
    }
    return total;
}

// Runs one statement on the database from another process.
void writeFromOtherProcess(const QString& db, const QString& sql) {
    QProcess p;
    p.start(QStringLiteral(FIXTURE_DIR "/standin_model"), {"--db", db, "--sql", sql});
    ASSERT_TRUE(p.waitForFinished(20000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
}

QStringList entriesBelow(const QString& folder) {
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

// A model folder: an executable run script, a nested input file, a program
// file, links inside and outside, and the database where the case puts it.
struct ModelTree {
    QString modelDir, runFile, database;
};

ModelTree makeModelTree(const QString& base, const QString& dbRelativeToBase) {
    ModelTree t;
    t.modelDir = base + "/model";
    t.runFile = t.modelDir + "/run.sh";
    writeFile(t.runFile, "#!/bin/sh\nexit 0\n",
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                  QFile::ExeGroup);
    writeFile(t.modelDir + "/input/climate/rain.csv", "day;mm\n1;3.5\n");
    writeFile(t.modelDir + "/bin/solver", QByteArray(70000, 'x'),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::link("input/climate/rain.csv", t.modelDir + "/rain-link.csv");
    QFile::link("/nonexistent/target", t.modelDir + "/dangling");
    t.database = base + "/" + dbRelativeToBase;
    QDir().mkpath(QFileInfo(t.database).absolutePath());
    fixture::makeDb(QFileInfo(t.database).absolutePath(), kSchema,
                    QFileInfo(t.database).fileName());
    return t;
}

class WorkspaceTest : public ::testing::Test {
  protected:
    QTemporaryDir tmp;
    QString base;
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        base = QFileInfo(tmp.path()).canonicalFilePath();
    }
};

} // namespace

// ---------------------------------------------------------------- making workspaces

TEST_F(WorkspaceTest, EachWorkspaceIsACopyOfTheModelTreeWithItsOwnDatabase) {
    const struct {
        const char* name;
        const char* db;        // relative to the temporary folder
        const char* root;      // WD=, relative to the temporary folder; "" for the default
        const char* dbInSpace; // where the copy is, relative to a workspace
        const char* rootAt;    // where the workspaces are, relative to the temporary folder
    } cases[] = {
        // The default root then lies inside the model's tree: never copied into itself.
        {"database in the model's folder", "model/data/calib.sqlite", "", "data/calib.sqlite",
         "model/data/.fitmara-work"},
        {"database outside, default root", "elsewhere/calib.sqlite", "", ".fitmara-db/calib.sqlite",
         "elsewhere/.fitmara-work"},
        {"root given inside the model's tree", "model/calib.sqlite", "model/scratch/work",
         "calib.sqlite", "model/scratch/work"},
        {"root given elsewhere", "model/calib.sqlite", "fast/disk", "calib.sqlite", "fast/disk"},
    };
    for (const auto& tc : cases) {
        QTemporaryDir caseDir;
        base = QFileInfo(caseDir.path()).canonicalFilePath();
        const ModelTree t = makeModelTree(base, tc.db);
        // A workspace kept from an earlier failure beside the database.
        writeFile(QFileInfo(t.database).absolutePath() + "/.fitmara-work/set-old/w1/x", "old");
        const QStringList modelEntries = [&] {
            QStringList e = entriesBelow(t.modelDir);
            e.erase(std::remove_if(e.begin(), e.end(),
                                   [](const QString& s) {
                                       return s.contains(".fitmara-work") ||
                                              s.startsWith("scratch");
                                   }),
                    e.end());
            return e;
        }();

        WorkspacePlan plan;
        plan.runFile = t.runFile;
        plan.database = t.database;
        plan.root = *tc.root ? base + "/" + tc.root : QString();
        plan.count = 3;
        WorkspaceSet set = WorkspaceSet::make(plan);

        EXPECT_EQ(QFileInfo(set.folder()).absolutePath(), base + "/" + tc.rootAt) << tc.name;
        EXPECT_EQ(set.databaseOutsideModel(), QString(tc.dbInSpace).startsWith(".fitmara-db"))
            << tc.name;
        ASSERT_EQ(set.workspaces().size(), 3u) << tc.name;
        for (int k = 0; k < 3; ++k) {
            const Workspace& ws = set.workspaces()[k];
            EXPECT_EQ(ws.number, k + 1);
            EXPECT_EQ(QFileInfo(ws.folder).absolutePath(), set.folder());
            EXPECT_EQ(ws.runFile, ws.folder + "/run.sh");
            EXPECT_EQ(ws.database, ws.folder + "/" + tc.dbInSpace) << tc.name;
            // The whole tree, nothing more: no workspaces, no live database files.
            QStringList expected = modelEntries;
            if (set.databaseOutsideModel())
                expected << ".fitmara-db" << tc.dbInSpace;
            expected.sort();
            EXPECT_EQ(entriesBelow(ws.folder), expected) << tc.name << " workspace " << k + 1;
            // Contents, the execute bits, the links as links.
            EXPECT_EQ(readFile(ws.folder + "/input/climate/rain.csv"), "day;mm\n1;3.5\n");
            EXPECT_EQ(readFile(ws.folder + "/bin/solver"), QByteArray(70000, 'x'));
            EXPECT_EQ(QFileInfo(ws.runFile).permissions(), QFileInfo(t.runFile).permissions());
            EXPECT_TRUE(QFileInfo(ws.folder + "/bin/solver").isExecutable());
            EXPECT_EQ(QFileInfo(ws.folder + "/rain-link.csv").symLinkTarget(),
                      ws.folder + "/input/climate/rain.csv");
            EXPECT_TRUE(QFileInfo(ws.folder + "/dangling").isSymLink());
            EXPECT_EQ(fixture::queryDouble(ws.database, "select sum(p) from mtab"), 2.0);
        }
        // The copies are independent of each other and of the real database.
        fixture::execSql(set.workspaces()[0].database, "update mtab set p = 10");
        EXPECT_EQ(fixture::queryDouble(set.workspaces()[1].database, "select sum(p) from mtab"),
                  2.0);
        EXPECT_EQ(fixture::queryDouble(t.database, "select sum(p) from mtab"), 2.0);
        EXPECT_EQ(set.totalBytes(), bytesBelow(set.folder())) << tc.name;

        const QString setFolder = set.folder();
        set.remove();
        EXPECT_TRUE(set.workspaces().empty());
        EXPECT_FALSE(QFileInfo::exists(setFolder)) << tc.name;
        if (*tc.root) {
            // A root made for the set goes with it, with the folders made for it.
            EXPECT_FALSE(QFileInfo::exists(base + "/" + QString(tc.root).section('/', 0, -2)))
                << tc.name;
        } else {
            // The default root stays: it holds the workspaces kept earlier.
            EXPECT_EQ(QDir(base + "/" + tc.rootAt)
                          .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                      QStringList{"set-old"})
                << tc.name;
        }
        EXPECT_TRUE(QFileInfo(t.runFile).isExecutable());
    }
}

// A database in WAL mode whose last commits are still only in the WAL file:
// the copies hold them, and neither the WAL nor the shared-memory file is copied.
TEST_F(WorkspaceTest, DatabaseCopyIncludesCommitsNotYetCheckpointed) {
    const ModelTree t = makeModelTree(base, "model/calib.sqlite");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(t.database).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
                           "UPDATE mtab SET p = 7; INSERT INTO mtab VALUES (3, 9);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_TRUE(QFileInfo(t.database + "-wal").size() > 0);

    WorkspacePlan plan{t.runFile, t.database, base + "/work", 2};
    WorkspaceSet set = WorkspaceSet::make(plan);
    for (const Workspace& ws : set.workspaces()) {
        EXPECT_FALSE(QFileInfo::exists(ws.database + "-wal"));
        EXPECT_FALSE(QFileInfo::exists(ws.database + "-shm"));
        EXPECT_EQ(fixture::queryDouble(ws.database, "select sum(p) from mtab"), 23.0);
    }
    sqlite3_close(db);
    set.remove();
    // The root was made for the set: it goes with it.
    EXPECT_FALSE(QFileInfo::exists(base + "/work"));
}

TEST_F(WorkspaceTest, WorkspacesThatCannotBeMadeLeaveNothingBehind) {
    const ModelTree t = makeModelTree(base, "model/calib.sqlite");
    writeFile(base + "/plainfile", "not a folder");
    QDir().mkpath(base + "/existing-root");
    writeFile(base + "/existing-root/keep.txt", "mine");

    const struct {
        const char* name;
        QString runFile, database, root;
        qint64 fileSizeLimit; // RLIMIT_FSIZE for the process (0: none)
        QString named;        // the error names this folder or file
        QString rootAfter;    // this root exists afterwards with exactly these entries
        QStringList rootEntries;
    } cases[] = {
        {"missing model folder",
         base + "/nomodel/run.sh",
         t.database,
         base + "/w1",
         0,
         base + "/nomodel",
         QString(),
         {}},
        {"missing database",
         t.runFile,
         base + "/model/none.sqlite",
         base + "/w2",
         0,
         base + "/model/none.sqlite",
         QString(),
         {}},
        {"root is a file",
         t.runFile,
         t.database,
         base + "/plainfile",
         0,
         base + "/plainfile",
         QString(),
         {}},
        // The program file exceeds the size a process may write: a full disk in small.
        {"disk full in a made root",
         t.runFile,
         t.database,
         base + "/w3",
         20000,
         base + "/w3/set-",
         QString(),
         {}},
        {"disk full in an existing root",
         t.runFile,
         t.database,
         base + "/existing-root",
         20000,
         base + "/existing-root/set-",
         base + "/existing-root",
         {"keep.txt"}},
    };
    for (const auto& tc : cases) {
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        if (tc.fileSizeLimit > 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit lim = saved;
            lim.rlim_cur = tc.fileSizeLimit;
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        QString message;
        try {
            WorkspaceSet::make({tc.runFile, tc.database, tc.root, 4});
        } catch (const FitError& e) {
            message = e.message();
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_TRUE(message.contains(tc.named)) << tc.name << ": " << message.toStdString();
        if (tc.rootAfter.isEmpty()) {
            if (tc.root != base + "/plainfile") {
                EXPECT_FALSE(QFileInfo::exists(tc.root)) << tc.name;
            }
        } else {
            EXPECT_EQ(QDir(tc.rootAfter)
                          .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                      tc.rootEntries)
                << tc.name;
        }
    }
    EXPECT_EQ(readFile(base + "/plainfile"), "not a folder");
}

// Workspaces added to a set (an analysis that runs more at once than the search
// before it) copy the model's folder and database as they are now, and leave
// those made before alone; ones that cannot be made leave the set as it was.
TEST_F(WorkspaceTest, WorkspacesAddedToASetCopyTheModelAsItIsNow) {
    const ModelTree t = makeModelTree(base, "model/calib.sqlite");
    WorkspacePlan plan{t.runFile, t.database, base + "/work", 1};
    WorkspaceSet set = WorkspaceSet::make(plan);
    fixture::execSql(set.workspaces()[0].database, "update results set sim = -99");
    fixture::execSql(t.database, "update mtab set p = p * 2");

    plan.count = 3;
    set.grow(plan);
    ASSERT_EQ(set.workspaces().size(), 3u);
    const QString mtab = "select group_concat(p, ' ') from (select p from mtab order by KEY)";
    const QString sims = "select sum(sim) from results";
    EXPECT_EQ(fixture::queryText(set.workspaces()[0].database, mtab), "0.5 1.5");
    EXPECT_EQ(fixture::queryDouble(set.workspaces()[0].database, sims), -198.0);
    for (int k : {1, 2}) {
        const Workspace& ws = set.workspaces()[k];
        EXPECT_EQ(ws.number, k + 1);
        EXPECT_EQ(QFileInfo(ws.folder).path(), set.folder());
        EXPECT_EQ(fixture::queryText(ws.database, mtab), "1.0 3.0") << k;
        EXPECT_EQ(fixture::queryDouble(ws.database, sims), 0.0) << k;
        EXPECT_EQ(readFile(ws.folder + "/input/climate/rain.csv"), "day;mm\n1;3.5\n");
    }
    const qint64 bytes = set.totalBytes();
    EXPECT_EQ(bytes, bytesBelow(set.folder()));

    // The program file exceeds the size a process may write: a full disk in small.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = saved;
    lim.rlim_cur = 20000;
    setrlimit(RLIMIT_FSIZE, &lim);
    plan.count = 5;
    QString message;
    try {
        set.grow(plan);
    } catch (const FitError& e) {
        message = e.message();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(message.contains(set.folder())) << message.toStdString();
    EXPECT_EQ(set.workspaces().size(), 3u);
    EXPECT_EQ(set.totalBytes(), bytes);
    EXPECT_EQ(QDir(set.folder()).entryList({"w*"}, QDir::Dirs), QStringList({"w1", "w2", "w3"}));

    set.remove();
    EXPECT_FALSE(QFileInfo::exists(base + "/work"));
}

// Sets of workspaces whose program was killed are removed by the next set made
// in the same root (as an MPI rank's folder), or on request; those of a program
// that runs, of another machine, or of an unknown maker stay.
// The identity of a child that has ended and been reaped: it runs no more.
QByteArray deadProcessIdentity() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    const QByteArray dead = processIdentity(child);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return dead;
}

TEST_F(WorkspaceTest, SetsOfAProgramThatRunsNoMoreAreRemoved) {
    const ModelTree t = makeModelTree(base, "model/calib.sqlite");
    const QString root = base + "/work";
    WorkspacePlan plan{t.runFile, t.database, root, 1};
    WorkspaceSet mine = WorkspaceSet::make(plan);
    const QByteArray dead = deadProcessIdentity();
    ASSERT_FALSE(dead.isEmpty());
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
    const struct {
        const char* set;
        QByteArray owner; // empty: no owner file
        bool removed;
    } cases[] = {
        {"set-dead", host + "\n" + dead + "\n", true},
        {"set-living", host + "\n" + processIdentity(::getppid()) + "\n", false},
        {"set-reused-id", host + "\n" + QByteArray::number(::getppid()) + ".1\n", true},
        {"set-elsewhere", "another-node\n" + dead + "\n", false},
        {"set-unknown", {}, false},
    };
    for (const auto& c : cases) {
        QDir().mkpath(root + "/" + c.set + "/w1");
        if (!c.owner.isEmpty())
            writeFile(root + "/" + c.set + "/.fitmara-owner", c.owner,
                      QFile::ReadOwner | QFile::WriteOwner);
    }
    WorkspaceSet next = WorkspaceSet::make(plan); // cleans its root first
    for (const auto& c : cases)
        EXPECT_EQ(QFileInfo::exists(root + "/" + c.set), !c.removed) << c.set;
    // This program's own sets stay.
    EXPECT_TRUE(QFileInfo::exists(mine.folder()));
    EXPECT_TRUE(QFileInfo::exists(next.folder()));
    EXPECT_EQ(WorkspaceSet::removeAbandoned(root).sets, 0);
}

// A killed run leaves its set in the root; the next run removes that set,
// and when its own set goes, the default folder goes with it (it is the
// program's own), a folder given with WD= stays (it was there before).
TEST_F(WorkspaceTest, TheDefaultFolderThatAKilledRunLeftGoesWithTheNextSet) {
    const ModelTree t = makeModelTree(base, "model/calib.sqlite");
    const QByteArray owner = QSysInfo::machineHostName().toUtf8() + "\n" +
                             deadProcessIdentity() + "\n";
    const struct {
        const char* name;
        QString root; // WD=; empty for the default
        QString rootAt;
        bool stays;
    } cases[] = {
        {"default folder", QString(), base + "/model/.fitmara-work", false},
        {"folder given", base + "/scratch", base + "/scratch", true},
    };
    for (const auto& c : cases) {
        writeFile(c.rootAt + "/set-killed/.fitmara-owner", owner,
                  QFile::ReadOwner | QFile::WriteOwner);
        QDir().mkpath(c.rootAt + "/set-killed/w1");
        WorkspaceSet set = WorkspaceSet::make({t.runFile, t.database, c.root, 2});
        EXPECT_FALSE(QFileInfo::exists(c.rootAt + "/set-killed")) << c.name;
        set.remove();
        EXPECT_EQ(QFileInfo::exists(c.rootAt), c.stays) << c.name;
        EXPECT_TRUE(QFileInfo::exists(base + "/model")) << c.name;
    }
}

TEST_F(WorkspaceTest, RunEnvironmentNamesTheWorkspaceAndItsDatabase) {
    const ModelTree t = makeModelTree(base, "model/data/calib.sqlite");
    WorkspaceSet set = WorkspaceSet::make({t.runFile, t.database, base + "/work", 2});
    QProcessEnvironment base0;
    base0.insert("PATH", "/usr/bin:/bin");
    base0.insert("FITMARA_RUN", "stale");
    const Workspace& ws = set.workspaces()[1];
    const QProcessEnvironment env = runEnvironment(ws, 17, base0);
    EXPECT_EQ(env.value("FITMARA_DB"), ws.database);
    EXPECT_TRUE(QFileInfo(env.value("FITMARA_DB")).isAbsolute());
    EXPECT_EQ(env.value("FITMARA_WORKSPACE"), ws.folder);
    EXPECT_EQ(env.value("FITMARA_RUN"), "17");
    EXPECT_EQ(env.value("FITMARA_TRY"), "1");
    EXPECT_EQ(env.value("PATH"), "/usr/bin:/bin");
    EXPECT_EQ(env.keys().size(), 5);
    EXPECT_EQ(runEnvironment(ws, 17, base0, 3).value("FITMARA_TRY"), "3");

    // A script that takes its database from the environment writes into the copy.
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(ws.folder);
    p.start("/bin/sh", {"-c", QStringLiteral("exec %1 --db \"$FITMARA_DB\" --sql 'update mtab "
                                             "set p = '\"$FITMARA_RUN\"")
                                  .arg(fixture::shellQuote(FIXTURE_DIR "/standin_model"))});
    ASSERT_TRUE(p.waitForFinished(20000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_EQ(fixture::queryDouble(ws.database, "select sum(p) from mtab"), 34.0);
    EXPECT_EQ(fixture::queryDouble(set.workspaces()[0].database, "select sum(p) from mtab"), 2.0);
    EXPECT_EQ(fixture::queryDouble(t.database, "select sum(p) from mtab"), 2.0);
}

TEST_F(WorkspaceTest, RefreshBringsTheNamedTablesBackToTheRealDatabase) {
    const ModelTree t = makeModelTree(base, "model/calib.sqlite");
    WorkspaceSet set = WorkspaceSet::make({t.runFile, t.database, base + "/work", 1});
    const Workspace& ws = set.workspaces()[0];
    // A run left its marks in the copy; the real tables changed meanwhile.
    fixture::execSql(ws.database, "update mtab set p = -1");
    fixture::execSql(ws.database, "update results set sim = -99");
    fixture::execSql(t.database, "update mtab set p = p * 2");
    fixture::execSql(t.database, "insert into mtab values (5, 4)");

    WorkspaceSet::refreshTables(ws, t.database, {"mtab"});
    EXPECT_EQ(fixture::queryText(ws.database, "select group_concat(KEY || ':' || p, ' ') from "
                                              "(select * from mtab order by KEY)"),
              "1:1.0 2:3.0 5:4.0");
    // Tables not named stay as the run left them.
    EXPECT_EQ(fixture::queryDouble(ws.database, "select sum(sim) from results"), -198.0);

    // A table that is not there: an error, and the copy is left as it was.
    EXPECT_THROW(WorkspaceSet::refreshTables(ws, t.database, {"results", "nosuch"}), FitError);
    EXPECT_EQ(fixture::queryDouble(ws.database, "select sum(sim) from results"), -198.0);
}

// ---------------------------------------------------------------- foreign writes

TEST_F(WorkspaceTest, ForeignWriteDetectorSeesWritesFromOtherProcesses) {
    const struct {
        const char* name;
        const char* journal;
    } modes[] = {{"rollback journal", "DELETE"}, {"WAL", "WAL"}};
    for (const auto& mode : modes) {
        QTemporaryDir dir;
        const QString db = fixture::makeDb(dir.path(), kSchema);
        fixture::execSql(db, QStringLiteral("PRAGMA journal_mode=%1").arg(mode.journal));
        const bool wal = QString(mode.journal) == "WAL";
        // In WAL mode a reader of ours holds its snapshot while the other process
        // writes, so no checkpoint can take the commit into the main file: only
        // the data version tells.
        sqlite3* holder = nullptr;
        ASSERT_EQ(sqlite3_open(QFile::encodeName(db).constData(), &holder), SQLITE_OK);

        ForeignWriteDetector watch(db);
        EXPECT_FALSE(watch.changed()) << mode.name;
        // Readers change nothing.
        EXPECT_EQ(fixture::queryDouble(db, "select count(*) from results"), 2.0);
        writeFromOtherProcess(db, "select 1");
        EXPECT_FALSE(watch.changed()) << mode.name;

        const QByteArray mainBefore = readFileElsewhere(db);
        if (wal) {
            ASSERT_EQ(
                sqlite3_exec(holder, "BEGIN; SELECT count(*) FROM mtab", nullptr, nullptr, nullptr),
                SQLITE_OK);
        }
        writeFromOtherProcess(db, "update results set sim = 5 where ID = 1");
        EXPECT_TRUE(watch.changed()) << mode.name;
        EXPECT_TRUE(watch.changed()) << mode.name << ": stays changed until armed again";
        if (wal) {
            sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
            EXPECT_GT(QFileInfo(db + "-wal").size(), 0);
            EXPECT_EQ(readFileElsewhere(db), mainBefore) << "the commit is only in the WAL";
        }

        watch.arm();
        EXPECT_FALSE(watch.changed()) << mode.name;
        // Our own other connections count too: the owner arms again after them.
        sqlite3_exec(holder, "update mtab set p = 3", nullptr, nullptr, nullptr);
        EXPECT_TRUE(watch.changed()) << mode.name;
        sqlite3_close(holder);

        // The file replaced by another one (a copy of itself, with one change).
        watch.arm();
        const QString other = dir.path() + "/other.sqlite";
        sqlite3* src = nullptr;
        sqlite3_open(QFile::encodeName(db).constData(), &src);
        sqlite3_exec(src, QStringLiteral("VACUUM INTO '%1'").arg(other).toUtf8().constData(),
                     nullptr, nullptr, nullptr);
        sqlite3_close(src);
        watch.arm();
        ASSERT_FALSE(watch.changed()) << mode.name;
        ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(db).constData()),
                  0);
        EXPECT_TRUE(watch.changed()) << mode.name << ": replaced file";
    }
    EXPECT_THROW(ForeignWriteDetector(base + "/nosuch.sqlite"), FitError);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
