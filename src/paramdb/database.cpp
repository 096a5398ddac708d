#include "paramdb/database.h"

#include "base/fit_error.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QUrl>
#include <cmath>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

void sqrFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (argc != 1 || sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    const double v = sqlite3_value_double(argv[0]);
    if (v < 0) {
        sqlite3_result_null(ctx);
        return;
    }
    sqlite3_result_double(ctx, std::sqrt(v));
}

sqlite3* nativeHandle(const QSqlDatabase& db) {
    const QVariant v = db.driver()->handle();
    if (v.isValid() && qstrcmp(v.typeName(), "sqlite3*") == 0)
        return *static_cast<sqlite3* const*>(v.constData());
    return nullptr;
}

QString quoteIdent(const QString& name) {
    QString n = name;
    n.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + n + QLatin1Char('"');
}

// SQLITE_BUSY or SQLITE_LOCKED: another connection holds a lock the statement needs.
bool isLockError(const QSqlError& e) {
    const int code = e.nativeErrorCode().toInt() & 0xff; // primary code of an extended one
    return code == SQLITE_BUSY || code == SQLITE_LOCKED ||
           e.databaseText().contains(QLatin1String("database is locked"), Qt::CaseInsensitive);
}

// The process that holds a lock on `file`, as "process 123, name"; empty when
// the system cannot tell. The kernel lists the fcntl locks SQLite takes in
// /proc/locks, by device and inode; reading that list does not touch our own
// locks on the file (closing a descriptor of it would drop them).
QString lockHolderOf(const QString& file) {
    struct stat st {};
    if (::stat(QFile::encodeName(file).constData(), &st) != 0)
        return QString();
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const qint64 self = QCoreApplication::applicationPid();
    static const QRegularExpression spaces(QStringLiteral("\\s+"));
    for (const QByteArray& raw : locks.readAll().split('\n')) {
        const QStringList f = QString::fromLatin1(raw).split(spaces, Qt::SkipEmptyParts);
        // "1: POSIX  ADVISORY  WRITE 4242 08:01:1234 0 EOF"; waiting requests have "->".
        if (f.size() < 6 || f.contains(QStringLiteral("->")))
            continue;
        const QStringList dev = f[5].split(QLatin1Char(':'));
        bool okMajor = false, okMinor = false, okInode = false;
        if (dev.size() != 3 || dev[0].toUInt(&okMajor, 16) != major(st.st_dev) ||
            dev[1].toUInt(&okMinor, 16) != minor(st.st_dev) ||
            dev[2].toULongLong(&okInode) != st.st_ino || !okMajor || !okMinor || !okInode)
            continue;
        const qint64 pid = f[4].toLongLong();
        if (pid <= 0 || pid == self)
            continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        const QString name = comm.open(QIODevice::ReadOnly)
                                 ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                 : QString();
        return name.isEmpty() ? QStringLiteral("process %1").arg(pid)
                              : QStringLiteral("process %1, %2").arg(pid).arg(name);
    }
    return QString();
}

// Says that (and, when the system can tell, by whom) the database is locked.
QString lockedMessage(const QString& path) {
    QString holder = lockHolderOf(path);
    if (holder.isEmpty())
        holder = lockHolderOf(path + QStringLiteral("-shm")); // write-ahead log mode
    return QStringLiteral("The database '%1' is locked by another program%2, which is reading "
                          "or writing it; it was still locked after waiting. Wait until that "
                          "program has finished (or end it), then start again.")
        .arg(path, holder.isEmpty() ? QString() : QStringLiteral(" (") + holder + ")");
}

} // namespace

Database::Database(const QString& connectionName) : name(connectionName) {
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
}

Database::~Database() {
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

QSqlDatabase Database::handle() const {
    return QSqlDatabase::database(name, false);
}

bool Database::isOpen() const {
    return handle().isOpen();
}

void Database::open(const QString& path) {
    close();
    dbPath = path;
    const QFileInfo info(path);
    if (path.trimmed().isEmpty())
        throw FitError(QStringLiteral("No database file was given."));
    if (!info.exists())
        throw FitError(QStringLiteral("Could not find file '%1'.").arg(path));
    if (!info.isFile())
        throw FitError(QStringLiteral("'%1' is not a database file.").arg(path));

    QSqlDatabase db = handle();
    // mode=rw: SQLite must never create an empty database where a file is missing.
    QString uri = QUrl::fromLocalFile(info.absoluteFilePath()).toString(QUrl::FullyEncoded);
    db.setDatabaseName(uri + QStringLiteral("?mode=rw"));
    // A model that is just ending may still hold its lock: wait instead of failing.
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    if (!db.open()) {
        const QString err = db.lastError().text();
        db.close();
        throw FitError(QStringLiteral("Cannot open the database '%1': %2").arg(path, err));
    }
    // SQLite reads the header lazily; make a file that is not a database fail here.
    {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("select count(*) from sqlite_master"))) {
            const QSqlError error = q.lastError();
            q.finish();
            q = QSqlQuery();
            db.close();
            if (isLockError(error))
                throw DatabaseLocked(lockedMessage(path));
            throw FitError(
                QStringLiteral("'%1' is not a SQLite database: %2").arg(path, error.text()));
        }
    }
    if (sqlite3* h = nativeHandle(db)) {
        sqlite3_create_function_v2(h, "sqr", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   sqrFunction, nullptr, nullptr, nullptr);
    }
    if (disposable) {
        // As with the failures above, a connection that cannot be set up is
        // not left open.
        try {
            exec(QStringLiteral("PRAGMA journal_mode = MEMORY"));
            exec(QStringLiteral("PRAGMA synchronous = OFF"));
        } catch (const FitError&) {
            close();
            throw;
        }
    }
}

void Database::close() {
    QSqlDatabase db = handle();
    if (db.isOpen())
        db.close();
}

void Database::requireOpen() const {
    if (!isOpen())
        throw FitError(
            QStringLiteral("The database is not open: open one with \"change database\" on the "
                           "\"parameters\" tab (or DB=<file> on the command line)."));
}

void Database::fail(const QString& what, const QSqlError& error) const {
    if (isLockError(error))
        throw DatabaseLocked(lockedMessage(dbPath) +
                             QStringLiteral("\n%1\n%2").arg(error.text(), what));
    fail(what, error.text());
}

void Database::fail(const QString& what, const QString& engineText) const {
    throw FitError(QStringLiteral("%1\n%2").arg(engineText, what));
}

QStringList Database::tables() const {
    requireOpen();
    QStringList out;
    QSqlQuery q(handle());
    if (!q.exec(QStringLiteral("select name from sqlite_master where type in ('table','view') "
                               "and name not like 'sqlite\\_%' escape '\\' "
                               "order by name collate nocase")))
        fail(QStringLiteral("listing the tables"), q.lastError());
    while (q.next())
        out << q.value(0).toString();
    return out;
}

bool Database::hasTable(const QString& table) const {
    for (const QString& t : tables())
        if (t.compare(table, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QStringList Database::columns(const QString& table) const {
    requireOpen();
    QStringList out;
    QSqlQuery q(handle());
    if (!q.exec(QStringLiteral("pragma table_info(%1)").arg(quoteIdent(table))))
        return out;
    while (q.next())
        out << q.value(1).toString();
    return out;
}

void Database::createCopy(const QString& target, const QString& source) {
    QSqlDatabase db = handle();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("select type, sql from sqlite_master where name = ? collate nocase "
                             "and type in ('table','view')"));
    q.addBindValue(source);
    if (!q.exec())
        fail(QStringLiteral("select * into %1 from %2").arg(target, source), q.lastError());
    if (!q.next())
        fail(QStringLiteral("select * into %1 from %2").arg(target, source),
             QStringLiteral("no such table: %1").arg(source));
    const QString type = q.value(0).toString();
    const QString createSql = q.value(1).toString();
    q.finish();

    // The copy keeps the declared columns and types: the source's own CREATE
    // statement under the new name. Views (and anything unexpected) fall back to
    // CREATE TABLE AS.
    QString create;
    static const QRegularExpression head(
        QStringLiteral("^\\s*CREATE\\s+TABLE\\s+(?:IF\\s+NOT\\s+EXISTS\\s+)?"
                       "(\"(?:[^\"]|\"\")+\"|\\[[^\\]]+\\]|`[^`]+`|'[^']+'|[^\\s(]+)\\s*\\("),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = head.match(createSql);
    if (type == QLatin1String("table") && m.hasMatch()) {
        create = QStringLiteral("CREATE TABLE ") + quoteIdent(target) + QStringLiteral(" (") +
                 createSql.mid(m.capturedEnd());
    }
    QSqlQuery w(db);
    if (create.isEmpty()) {
        if (!w.exec(QStringLiteral("CREATE TABLE %1 AS SELECT * FROM %2")
                        .arg(quoteIdent(target), quoteIdent(source))))
            fail(QStringLiteral("select * into %1 from %2").arg(target, source), w.lastError());
        return;
    }
    if (!w.exec(create))
        fail(QStringLiteral("select * into %1 from %2").arg(target, source), w.lastError());
    if (!w.exec(QStringLiteral("INSERT INTO %1 SELECT * FROM %2")
                    .arg(quoteIdent(target), quoteIdent(source))))
        fail(QStringLiteral("select * into %1 from %2").arg(target, source), w.lastError());
}

void Database::exec(const QString& sql) {
    exec(sql, {});
}

void Database::exec(const QString& sql, const QVariantList& values) {
    requireOpen();
    run(sql, values);
}

void Database::copyTable(const QString& target, const QString& source) {
    requireOpen();
    // One copy is all or nothing: a failed copy leaves no half-filled table.
    QSqlQuery sp(handle());
    sp.exec(QStringLiteral("SAVEPOINT fitmara_copy"));
    try {
        createCopy(target, source);
    } catch (...) {
        sp.exec(QStringLiteral("ROLLBACK TO fitmara_copy"));
        sp.exec(QStringLiteral("RELEASE fitmara_copy"));
        throw;
    }
    sp.exec(QStringLiteral("RELEASE fitmara_copy"));
}

QSqlQuery Database::run(const QString& sql, const QVariantList& values) {
    QSqlQuery q(handle());
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        fail(sql, q.lastError());
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (!q.exec())
        fail(sql, q.lastError());
    return q;
}

QSqlQuery Database::query(const QString& sql) {
    return query(sql, {});
}

QSqlQuery Database::query(const QString& sql, const QVariantList& values) {
    requireOpen();
    return run(sql, values);
}

void Database::transaction() {
    requireOpen();
    QSqlQuery q(handle());
    // IMMEDIATE: the write lock is taken now, waiting as the busy timeout
    // allows. A deferred transaction that reads first and then writes cannot
    // wait for a second program that is writing: SQLite refuses it at once
    // (waiting could deadlock), and two runs started together on one database
    // failed with "database is locked" instead of one refusing the other.
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
        fail(QStringLiteral("BEGIN IMMEDIATE"), q.lastError());
}

void Database::commit() {
    QSqlQuery q(handle());
    if (!q.exec(QStringLiteral("COMMIT")))
        fail(QStringLiteral("COMMIT"), q.lastError());
}

void Database::rollback() {
    QSqlQuery q(handle());
    q.exec(QStringLiteral("ROLLBACK"));
}

double numberOf(const QVariant& v) {
    if (v.isNull() || !v.isValid())
        return 0.0;
    bool ok = false;
    const double d = v.toDouble(&ok);
    return ok ? d : 0.0;
}

double parameterNumber(const QVariant& v, const QString& field, int record) {
    bool ok = !v.isNull();
    const double d = ok ? v.toDouble(&ok) : 0;
    if (!ok)
        throw FitError(
            QStringLiteral("%1 of parameter %2 is not a valid floating point value: '%3'")
                .arg(field)
                .arg(record)
                .arg(v.toString()));
    return d;
}

QString textOf(const QVariant& v) {
    if (v.isNull() || !v.isValid())
        return QString();
    return v.toString();
}

bool isNumberValue(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

UnflushedCommits::UnflushedCommits(Database& database) : db(database) {
    if (!db.isDisposable())
        db.exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
}

UnflushedCommits::~UnflushedCommits() {
    try {
        if (db.isOpen() && !db.isDisposable())
            db.exec(QStringLiteral("PRAGMA synchronous = FULL"));
    } catch (const FitError&) {
    }
}
