#pragma once
// The file <database>.fitmara-run beside the database while its model tables may
// hold trial values: from the backup until they are restored or a result is
// accepted. Finding it at the next backup means the program was ended in
// between (killed, a crash, power loss).
//
// The program that owns the marker holds an exclusive lock (flock) on it for as
// long as it owns it. The lock goes with the process, so a marker left by a
// killed run is free to take over, and a program that finds it locked knows that
// another one is working on the database right now. The first line is the
// owner's process id; the second says whether its backup is complete; the
// third is the owner's identity (base/process_identity.h).
#include <QByteArray>
#include <QString>

class RunMarker {
  public:
    // What acquire() found beside the database.
    enum class Found {
        Nothing,      // no marker (or an empty one): nothing to recover
        Ours,         // this program already owns it
        BeforeBackup, // left by a run killed before its backup was complete
        AfterBackup,  // left by a run killed after its backup: its tables may hold trial values
    };

    RunMarker() = default;
    ~RunMarker(); // gives up the lock; the file stays
    RunMarker(const RunMarker&) = delete;
    RunMarker& operator=(const RunMarker&) = delete;

    // The marker of the database at dbPath.
    static QString pathFor(const QString& dbPath);
    // The identity of the program that wrote the marker of dbPath, read without
    // taking it; empty when there is none.
    static QByteArray ownerIdentity(const QString& dbPath);

    // Takes the marker of dbPath for this program, creating it when missing, and
    // says what was there. Throws FitError, leaving the file as it was, when
    // another program that is running owns it.
    Found acquire(const QString& dbPath);
    // The backup has begun / is complete (what a later run finds if this one is killed).
    void setBackingUp();
    void setBackedUp();
    // Deletes the marker and gives up the lock.
    void remove();
    // Gives up the lock and leaves the file as it is (for a later run to find).
    void release();

    bool held() const { return fd >= 0; }
    QString path() const { return file; }

  private:
    void writeState(const char* state);
    // An earlier build put the marker beside the database's path as named: a
    // database named through a link had its marker beside the link. One that
    // a killed run left there moves into this marker (so that what it guards
    // is restored); one that a running program holds is refused as another
    // program's work.
    void takeOverMarkerBesideName(const QString& dbPath);

    int fd = -1;
    QString file;
};
