#pragma once
// The engine adapter: one SQLite connection through Qt SQL.
//
// The program writes its own statements in SQLite's SQL; the user's conditions,
// tables and columns go into them as given. What SQLite lacks, this class adds:
//  - `sqr()` is registered as the square root;
//  - copyTable() makes a full copy of a table (its declared columns and types,
//    and all rows), as the backup of the model's tables needs it;
//  - tables and views are listed without SQLite's own tables, ordered by name
//    ignoring case.
// NULL reads as 0 for numbers and "" for text (numberOf / textOf).
#include "base/fit_error.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>

// A failure because another program holds a lock on the database (it was
// still held after the busy timeout). Callers that would only wait again (a
// restore after the failure) tell it apart from other errors.
class DatabaseLocked : public FitError {
  public:
    using FitError::FitError;
};

class Database {
  public:
    explicit Database(const QString& connectionName = QStringLiteral("fitmara"));
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens an existing SQLite database file. A missing path, or a file that is
    // not a SQLite database, raises FitError naming the path; no file is created.
    // A database locked by another program is waited for up to the busy timeout,
    // then reported as locked (naming the holder when the system can tell).
    void open(const QString& path);
    // How long a statement waits for a lock another program holds; takes effect
    // at the next open. A model that is just ending may still hold its lock.
    void setBusyTimeout(int ms) { busyTimeoutMs = ms; }
    // A file that nothing needs after a crash: a workspace of parallel runs,
    // made afresh from the person's database by every operation and removed
    // after it (a killed one's by the next). Its commits are neither synced
    // (synchronous OFF) nor journaled to a file (journal_mode MEMORY): each
    // run's write-back is then a few writes to the system's cache instead of
    // three syncs, a journal file made and deleted. A rollback still works;
    // a crash may leave the file torn, and no one opens it again. Takes effect
    // at the next open.
    void setDisposable(bool on) { disposable = on; }
    bool isDisposable() const { return disposable; }
    void close();
    bool isOpen() const;
    QString path() const { return dbPath; }
    QString connectionName() const { return name; }
    QSqlDatabase handle() const;

    // Tables and views of the database, SQLite's own tables left out, ordered by
    // name ignoring case.
    QStringList tables() const;
    bool hasTable(const QString& table) const; // ignoring case
    // Column names of a table or view in column order; empty when it does not exist.
    QStringList columns(const QString& table) const;

    // A statement without rows (UPDATE, DROP, CREATE, ALTER, SELECT * INTO).
    void exec(const QString& sql);
    // A statement with values bound positionally.
    void exec(const QString& sql, const QVariantList& values);
    // A statement with rows, positioned before the first row.
    QSqlQuery query(const QString& sql);
    QSqlQuery query(const QString& sql, const QVariantList& values);

    void transaction();
    void commit();
    void rollback();
    // Runs work() between BEGIN and COMMIT: all of its statements take effect or,
    // when it (or the commit) throws, none; the error is passed on.
    template <typename Work> void inTransaction(Work&& work) {
        transaction();
        try {
            work();
            commit();
        } catch (...) {
            rollback();
            throw;
        }
    }

    // A full copy of the table (or view) `source` as the new table `target`:
    // declared like the source (columns and their types), with all its rows.
    // All or nothing; FitError when `target` exists or `source` does not.
    void copyTable(const QString& target, const QString& source);

  private:
    void requireOpen() const;
    [[noreturn]] void fail(const QString& what, const QString& engineText) const;
    // A lock held by another program is said as such, before the engine's text.
    [[noreturn]] void fail(const QString& what, const QSqlError& error) const;
    void createCopy(const QString& target, const QString& source);
    // Prepares, binds and executes one statement; raises FitError on failure.
    QSqlQuery run(const QString& sql, const QVariantList& values);

    QString name;
    QString dbPath;
    int busyTimeoutMs = 30000;
    bool disposable = false;
};

// For its lifetime the connection's commits are consistent but not flushed to
// the disk (synchronous NORMAL instead of FULL: fewer syncs): after a power cut
// the last of them may be missing, the file is never torn. For the writes of a
// model run (trial values, marks, journal rows), which the backup and the run
// marker undo and a resume makes again. A disposable database keeps its own
// settings (nothing synced at all).
class UnflushedCommits {
  public:
    explicit UnflushedCommits(Database& db);
    ~UnflushedCommits();
    UnflushedCommits(const UnflushedCommits&) = delete;
    UnflushedCommits& operator=(const UnflushedCommits&) = delete;

  private:
    Database& db;
};

// Query objects hold their statement as lines, sent joined by line breaks.
inline QString joinLines(const QStringList& lines) {
    return lines.join(QLatin1Char('\n'));
}

double numberOf(const QVariant& v); // NULL (and text that is no number) reads as 0
QString textOf(const QVariant& v);  // NULL reads as ""
// A value of a PARM_INT field the analyses compute with. A value that is no
// number (NULL included) raises FitError naming the field and the record
// (counted from 1) instead of passing for 0.
double parameterNumber(const QVariant& v, const QString& field, int record);
// True when the engine handed the value over as a number (integer or real),
// not as text, a blob or NULL.
bool isNumberValue(const QVariant& v);
