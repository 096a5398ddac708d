#include "evaluation/foreign_write.h"

#include "base/fit_error.h"

#include <QFile>
#include <sqlite3.h>
#include <sys/stat.h>

ForeignWriteDetector::ForeignWriteDetector(const QString& database) : path(database) {
    const QByteArray name = QFile::encodeName(database);
    if (sqlite3_open_v2(name.constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const QString why = QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        db = nullptr;
        throw FitError(QStringLiteral("Cannot watch the database \"%1\": %2.").arg(database, why));
    }
    sqlite3_busy_timeout(db, 10000);
    try {
        arm();
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
}

ForeignWriteDetector::~ForeignWriteDetector() {
    sqlite3_close(db);
}

ForeignWriteDetector::FileState ForeignWriteDetector::fileState() const {
    FileState s;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        s.exists = true;
        s.dev = st.st_dev;
        s.ino = st.st_ino;
        s.size = st.st_size;
        s.mtimeNs = static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    return s;
}

qint64 ForeignWriteDetector::dataVersion() {
    sqlite3_stmt* st = nullptr;
    qint64 v = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA data_version", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        v = sqlite3_column_int64(st, 0);
    const QString why = QString::fromUtf8(sqlite3_errmsg(db));
    sqlite3_finalize(st);
    // A file that is no database any more (overwritten with something else).
    if (v < 0)
        throw FitError(QStringLiteral("Cannot read the database \"%1\": %2.").arg(path, why));
    return v;
}

void ForeignWriteDetector::arm() {
    version = dataVersion();
    file = fileState();
}

bool ForeignWriteDetector::changed() {
    if (!(fileState() == file))
        return true;
    return dataVersion() != version;
}
