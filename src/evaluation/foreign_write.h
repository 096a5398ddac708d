#pragma once
// Tells whether anything else wrote into a database since a moment of our
// choosing. During parallel runs the real database must stay untouched: every
// run works on its own copy. A run script that still names the real database
// would write its results there unnoticed; this finds out after the round.
//
// Two signals: PRAGMA data_version on a connection of our own, which changes
// with every commit made through any other connection (in rollback-journal and
// in WAL mode alike, where a commit leaves the main file unchanged until the
// next checkpoint); and the identity, size and modification time of the file,
// which catch a database replaced or rewritten as a file (cp, mv, rsync).
// Writes through our own other connections count as foreign too: arm again
// after them.
#include <QString>

#include <sys/types.h>

struct sqlite3;

class ForeignWriteDetector {
  public:
    // Opens a read-only connection of its own; throws FitError when the file is
    // not an existing database. Armed at once.
    explicit ForeignWriteDetector(const QString& database);
    ~ForeignWriteDetector();
    ForeignWriteDetector(const ForeignWriteDetector&) = delete;
    ForeignWriteDetector& operator=(const ForeignWriteDetector&) = delete;

    // Takes the database as it is now as the reference.
    void arm();
    // True when the database was written since the last arm().
    bool changed();

    const QString& database() const { return path; }

  private:
    struct FileState {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = 0;
        qint64 mtimeNs = 0;
        bool exists = false;
        bool operator==(const FileState&) const = default;
    };
    FileState fileState() const;
    qint64 dataVersion();

    QString path;
    sqlite3* db = nullptr;
    qint64 version = 0;
    FileState file;
};
