#pragma once
// Shared test fixtures: SQLite files made from SQL text, run scripts for the
// stand-in model, a Session set up on them, and programs run as processes.
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

class Session;

namespace fixture {

// How a program started by a test ended, and what it wrote.
struct ProgramEnd {
    int status = -1;
    bool crashed = false;
    QString out, err;
};
// The test's environment without DISPLAY and WAYLAND_DISPLAY.
QProcessEnvironment headlessEnvironment();
// Starts `program` with `args` in `dir` (a test failure when it cannot start).
QProcess* startProgram(const QString& program, const QString& dir, const QStringList& args,
                       const QProcessEnvironment& env);
// Waits for its end (killed after timeoutMs, a test failure), reads what it
// wrote and deletes the process.
ProgramEnd finishProgram(QProcess* p, int timeoutMs);
// The processes whose command line mentions `text`.
QList<int> processesMentioning(const QString& text);

// Creates the SQLite file dir/name from the SQL script (several statements).
// Aborts the test program on an SQL error, with the message.
QString makeDb(const QString& dir, const QString& sql, const QString& name = "calib.sqlite");

// Writes an executable run script dir/name that runs the stand-in model with
// the given arguments (each quoted for /bin/sh).
QString writeRunScript(const QString& dir, const QStringList& standinArgs,
                       const QString& name = "run.sh");

// Quotes a value for /bin/sh.
QString shellQuote(const QString& s);

// Runs one statement on the file outside the session (for checks and set-up).
void execSql(const QString& dbPath, const QString& sql);
// First column of the first row of a query on the file, as double / as text.
double queryDouble(const QString& dbPath, const QString& sql);
QString queryText(const QString& dbPath, const QString& sql);

// The bytes of a file, or "(missing)" when it cannot be read.
QByteArray fileBytes(const QString& path);
// The number of lines of a file (0 when it cannot be read).
int lineCount(const QString& path);
// A protocol without its closing "Parallel runs: " line, which is the one line
// in which runs of one and of several workers differ.
QByteArray withoutParallelLine(const QByteArray& protocol);

struct ResultRoles {
    QString table, obs, mod, idx, var, condition = "1=1";
};

// Opens the database in the session, makes runScript its run file, sets the
// pauses to 0, and opens the result table with its four roles.
void setupSession(Session& s, const QString& dbPath, const QString& runScript,
                  const ResultRoles& roles);

// A test in its own temporary directory, which is the current directory while
// the test runs (protocol and marker files land there). dbPath is the test's
// database once it has made one; touchFile is the file the stand-in model
// (--touch) adds one line to per run.
class WorkDirTest : public ::testing::Test {
  protected:
    QTemporaryDir tmp;
    QString savedCwd;
    QString dbPath;
    QString touchFile;

    void SetUp() override;
    void TearDown() override;

    int modelRuns() const;                  // the lines of touchFile; 0 without it
    double num(const QString& sql) const;   // queryDouble on dbPath
    QString text(const QString& sql) const; // queryText on dbPath
};

} // namespace fixture
