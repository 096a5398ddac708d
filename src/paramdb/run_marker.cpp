#include "paramdb/run_marker.h"

#include "base/fit_error.h"
#include "base/process_identity.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kBackingUp[] = "This program is backing up the model tables of this database.";
const char kBackedUp[] =
    "This program has backed up the model tables of this database and not yet restored them.";

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A process that has ended but is not yet reaped (a zombie: a killed job's task
// whose launcher has just gone) still answers kill(); it runs no more.
bool processAlive(qint64 pid) {
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype name = line.lastIndexOf(')'); // the name may hold blanks and ')'
    if (name < 0 || name + 2 >= line.size())
        return true;
    const char state = line[name + 2];
    return state != 'Z' && state != 'X';
}

struct Content {
    bool empty = true;
    qint64 owner = -1; // -1: no readable owner
    bool backingUp = false;
};

QByteArray readBytes(int fd) {
    QByteArray data;
    char buf[512];
    ssize_t n = 0;
    off_t at = 0;
    while ((n = ::pread(fd, buf, sizeof buf, at)) > 0 && data.size() < 4096) {
        data.append(buf, static_cast<int>(n));
        at += n;
    }
    return data;
}

Content contentOf(const QByteArray& data) {
    Content c;
    c.empty = data.trimmed().isEmpty();
    const QList<QByteArray> lines = data.split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    c.owner = ok ? pid : -1;
    c.backingUp = lines.value(1).trimmed() == QByteArray(kBackingUp);
    return c;
}

Content readContent(int fd) {
    return contentOf(readBytes(fd));
}

// The owner runs but holds no lock: a program that does not lock its marker,
// or one whose process id is in use again.
QString ownerRunsUnlocked(qint64 owner, const QString& path) {
    return QStringLiteral("Another running program (process %1) has backed up the model tables of "
                          "this database and not yet restored them. Wait until it has finished; "
                          "if it is no longer running, delete the file \"%2\".")
        .arg(owner)
        .arg(path);
}

QString anotherProgramWorks(qint64 owner) {
    return QStringLiteral("Another program%1 is calibrating or analysing with this database right "
                          "now. Only one run at a time can use its model tables: wait until it "
                          "has finished, then start again.")
        .arg(owner > 0 ? QStringLiteral(" (process %1)").arg(owner) : QString());
}

// True while `fd` is the file that `path` names: a marker deleted (and perhaps
// made again) between our open and our lock is not the marker any more.
bool stillThere(int fd, const QString& path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::stat(QFile::encodeName(path).constData(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

QByteArray RunMarker::ownerIdentity(const QString& dbPath) {
    QFile f(pathFor(dbPath));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = f.read(4096).split('\n');
    const QByteArray identity = lines.value(2).trimmed();
    return identityPid(identity) > 0 ? identity : QByteArray();
}

RunMarker::~RunMarker() {
    release();
}

QString RunMarker::pathFor(const QString& dbPath) {
    // Beside the file itself: a database named through a symbolic link, or by
    // another spelling of its path, has the one marker that every run on it sees.
    const QString file = QFileInfo(dbPath).canonicalFilePath();
    return (file.isEmpty() ? dbPath : file) + QStringLiteral(".fitmara-run");
}

RunMarker::Found RunMarker::acquire(const QString& dbPath) {
    const QString path = pathFor(dbPath);
    const qint64 self = QCoreApplication::applicationPid();
    const bool already = held() && file == path;
    if (!already) {
        release();
        int f = -1;
        for (int attempt = 0; attempt < 10 && f < 0; ++attempt) {
            // Never inherited by the model: a model left running must not keep the lock.
            f = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (f < 0)
                throw FitError(
                    QStringLiteral("Cannot write the file '%1': %2").arg(path, systemError()));
            if (::flock(f, LOCK_EX | LOCK_NB) != 0) {
                const int err = errno;
                const Content c = readContent(f);
                ::close(f);
                if (err != EWOULDBLOCK)
                    throw FitError(QStringLiteral("Cannot lock the file '%1': %2")
                                       .arg(path, QString::fromLocal8Bit(std::strerror(err))));
                throw FitError(anotherProgramWorks(c.owner));
            }
            if (!stillThere(f, path)) {
                ::close(f);
                f = -1;
            }
        }
        if (f < 0)
            throw FitError(QStringLiteral("Cannot take the file '%1': it keeps being replaced by "
                                          "another program.")
                               .arg(path));
        fd = f;
        file = path;
        takeOverMarkerBesideName(dbPath);
    }

    const Content c = readContent(fd);
    if (c.empty)
        return Found::Nothing;
    if (c.owner == self)
        return Found::Ours;
    if (processAlive(c.owner)) {
        // The owner runs but holds no lock: a program that does not lock its
        // marker, or one whose process id is in use again. Not ours to touch.
        if (!already)
            release();
        throw FitError(ownerRunsUnlocked(c.owner, path));
    }
    return c.backingUp ? Found::BeforeBackup : Found::AfterBackup;
}

void RunMarker::takeOverMarkerBesideName(const QString& dbPath) {
    const QString named = QFileInfo(dbPath).absoluteFilePath() + QStringLiteral(".fitmara-run");
    struct stat mine {
    }, other{};
    if (named == file || ::stat(QFile::encodeName(named).constData(), &other) != 0 ||
        (::fstat(fd, &mine) == 0 && mine.st_dev == other.st_dev && mine.st_ino == other.st_ino))
        return;
    const int g = ::open(QFile::encodeName(named).constData(), O_RDWR | O_CLOEXEC);
    if (g < 0)
        return;
    if (::flock(g, LOCK_EX | LOCK_NB) != 0) {
        // An earlier build works on the database through that name right now.
        const Content c = readContent(g);
        ::close(g);
        release();
        throw FitError(anotherProgramWorks(c.owner));
    }
    const QByteArray left = readBytes(g);
    const Content c = contentOf(left);
    if (!c.empty && processAlive(c.owner)) {
        ::close(g);
        release();
        throw FitError(ownerRunsUnlocked(c.owner, named));
    }
    if (!c.empty && readContent(fd).empty) {
        if (::ftruncate(fd, 0) != 0 ||
            ::pwrite(fd, left.constData(), static_cast<size_t>(left.size()), 0) != left.size()) {
            ::close(g);
            throw FitError(
                QStringLiteral("Cannot write the file '%1': %2").arg(file, systemError()));
        }
        ::fdatasync(fd);
    }
    ::unlink(QFile::encodeName(named).constData());
    ::close(g);
}

void RunMarker::writeState(const char* state) {
    if (!held())
        return;
    // The third line tells this program apart from a later one with the same
    // process id, for ending the models a killed run left running.
    const QByteArray text = QByteArray::number(QCoreApplication::applicationPid()) + '\n' + state +
                            '\n' + ownProcessIdentity() + '\n';
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, text.constData(), static_cast<size_t>(text.size()), 0) != text.size())
        throw FitError(QStringLiteral("Cannot write the file '%1': %2").arg(file, systemError()));
    // The marker must be on disk before the tables it guards are changed.
    ::fdatasync(fd);
}

void RunMarker::setBackingUp() {
    writeState(kBackingUp);
}

void RunMarker::setBackedUp() {
    writeState(kBackedUp);
}

void RunMarker::remove() {
    if (!held())
        return;
    if (stillThere(fd, file))
        ::unlink(QFile::encodeName(file).constData());
    release();
}

void RunMarker::release() {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    file.clear();
}
