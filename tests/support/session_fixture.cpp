#include "support/session_fixture.h"

#include "app/session.h"

#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <sqlite3.h>

namespace fixture {

namespace {
[[noreturn]] void die(const QString& what) {
    std::fprintf(stderr, "fixture error: %s\n", what.toLocal8Bit().constData());
    std::abort();
}

sqlite3* openFile(const QString& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toLocal8Bit().constData(), &db, flags, nullptr) != SQLITE_OK)
        die(QStringLiteral("cannot open %1").arg(path));
    sqlite3_busy_timeout(db, 10000);
    return db;
}
} // namespace

QString makeDb(const QString& dir, const QString& sql, const QString& name) {
    const QString path = dir + QLatin1Char('/') + name;
    QFile::remove(path);
    sqlite3* db = openFile(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    char* err = nullptr;
    if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &err) != SQLITE_OK)
        die(QStringLiteral("%1 in\n%2").arg(QString::fromUtf8(err), sql));
    sqlite3_close(db);
    return path;
}

QString shellQuote(const QString& s) {
    QString q = s;
    q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

QString writeRunScript(const QString& dir, const QStringList& standinArgs, const QString& name) {
    const QString path = dir + QLatin1Char('/') + name;
    QString text = QStringLiteral("#!/bin/sh\nexec ") +
                   shellQuote(QStringLiteral(FIXTURE_DIR "/standin_model"));
    for (const QString& a : standinArgs)
        text += QLatin1Char(' ') + shellQuote(a);
    text += QLatin1Char('\n');
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        die(QStringLiteral("cannot write %1").arg(path));
    f.write(text.toUtf8());
    f.close();
    f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeUser);
    return path;
}

void execSql(const QString& dbPath, const QString& sql) {
    sqlite3* db = openFile(dbPath, SQLITE_OPEN_READWRITE);
    char* err = nullptr;
    if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &err) != SQLITE_OK)
        die(QStringLiteral("%1 in\n%2").arg(QString::fromUtf8(err), sql));
    sqlite3_close(db);
}

namespace {
template <typename F> auto firstValue(const QString& dbPath, const QString& sql, F read) {
    sqlite3* db = openFile(dbPath, SQLITE_OPEN_READONLY);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &st, nullptr) != SQLITE_OK)
        die(QStringLiteral("%1 in\n%2").arg(QString::fromUtf8(sqlite3_errmsg(db)), sql));
    const bool row = sqlite3_step(st) == SQLITE_ROW;
    auto v = read(row ? st : nullptr);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return v;
}
} // namespace

double queryDouble(const QString& dbPath, const QString& sql) {
    return firstValue(dbPath, sql,
                      [](sqlite3_stmt* st) { return st ? sqlite3_column_double(st, 0) : 0.0; });
}

QString queryText(const QString& dbPath, const QString& sql) {
    return firstValue(dbPath, sql, [](sqlite3_stmt* st) {
        if (!st || sqlite3_column_type(st, 0) == SQLITE_NULL)
            return QString();
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    });
}

void setupSession(Session& s, const QString& dbPath, const QString& runScript,
                  const ResultRoles& roles) {
    s.settings().pauseAfterRunMs = 0;
    s.settings().pauseBeforeVertexMs = 0;
    s.settings().databaseFile = dbPath;
    s.openDatabase();
    if (!runScript.isEmpty())
        s.setRunFile(runScript);
    s.setup().tables().selectIgnoringCase(roles.table);
    s.setup().applyTableChoice();
    s.settings().condition = roles.condition;
    s.setup().openResultTable();
    s.setup().chooseColumnNamed(ColumnRole::Observed, roles.obs);
    s.setup().chooseColumnNamed(ColumnRole::Model, roles.mod);
    s.setup().chooseColumnNamed(ColumnRole::Index, roles.idx);
    s.setup().chooseColumnNamed(ColumnRole::Variance, roles.var);
}

void WorkDirTest::SetUp() {
    ASSERT_TRUE(tmp.isValid());
    savedCwd = QDir::currentPath();
    QDir::setCurrent(tmp.path());
    touchFile = tmp.filePath("runs.txt");
}

void WorkDirTest::TearDown() {
    QDir::setCurrent(savedCwd);
}

int WorkDirTest::modelRuns() const {
    QFile f(touchFile);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().count('\n');
}

double WorkDirTest::num(const QString& sql) const {
    return queryDouble(dbPath, sql);
}

QString WorkDirTest::text(const QString& sql) const {
    return queryText(dbPath, sql);
}

QProcessEnvironment headlessEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

QProcess* startProgram(const QString& program, const QString& dir, const QStringList& args,
                       const QProcessEnvironment& env) {
    auto* p = new QProcess;
    p->setProcessEnvironment(env);
    p->setWorkingDirectory(dir);
    p->start(program, args);
    EXPECT_TRUE(p->waitForStarted(10000)) << program.toStdString();
    return p;
}

ProgramEnd finishProgram(QProcess* p, int timeoutMs) {
    ProgramEnd r;
    if (!p->waitForFinished(timeoutMs)) {
        p->kill();
        p->waitForFinished();
        ADD_FAILURE() << "fitmara did not end in time";
    }
    r.crashed = p->exitStatus() != QProcess::NormalExit;
    r.status = p->exitCode();
    r.out = QString::fromLocal8Bit(p->readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p->readAllStandardError());
    delete p;
    return r;
}

QList<int> processesMentioning(const QString& text) {
    QList<int> found;
    const QByteArray wanted = text.toUtf8();
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile f(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
        if (pid.toInt() > 0 && f.open(QIODevice::ReadOnly) && f.readAll().contains(wanted))
            found << pid.toInt();
    }
    return found;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

int lineCount(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
}

QByteArray withoutParallelLine(const QByteArray& protocol) {
    QList<QByteArray> kept;
    for (const QByteArray& line : protocol.split('\n'))
        if (!line.startsWith("Parallel runs: "))
            kept.append(line);
    return kept.join('\n');
}

} // namespace fixture
