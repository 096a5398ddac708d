#include "runs/workspace.h"

#include "base/fit_error.h"
#include "base/process_identity.h"
#include "model/run_descendants.h"

#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const QString kDefaultRoot = QStringLiteral(".fitmara-work");
const QString kOutsideDbFolder = QStringLiteral(".fitmara-db");
// In each set's folder: the machine and the identity of the program that made it.
const QString kOwnerFile = QStringLiteral(".fitmara-owner");

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void fail(const QString& what, const QString& path, int error) {
    throw FitError(QStringLiteral("%1 \"%2\": %3.").arg(what, path, systemText(error)));
}

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

// Closes a descriptor on every way out.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

// Copies the bytes of one regular file; the kernel copies (or shares) them
// where it can, otherwise they go through a buffer. Returns the size.
qint64 copyFile(const QString& from, const QString& to, mode_t mode) {
    Fd in{::open(native(from).constData(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0)
        fail(QStringLiteral("Cannot read"), from, errno);
    // Written with owner access; the source's permission bits come at the end,
    // so a read-only source still gets its copy.
    Fd out{::open(native(to).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (out.fd < 0)
        fail(QStringLiteral("Cannot create"), to, errno);

    qint64 copied = 0;
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in.fd, nullptr, out.fd, nullptr, 1 << 30, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                          errno == EOPNOTSUPP || errno == EPERM)) {
                kernelCopy = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(QStringLiteral("Cannot write"), to, errno);
        } else {
            if (buffer.empty())
                buffer.resize(1 << 20);
            const ssize_t r = ::read(in.fd, buffer.data(), buffer.size());
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                fail(QStringLiteral("Cannot read"), from, errno);
            n = r;
            for (ssize_t done = 0; done < r;) {
                const ssize_t w = ::write(out.fd, buffer.data() + done, r - done);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    fail(QStringLiteral("Cannot write"), to, errno);
                done += w;
            }
        }
        if (n == 0)
            break;
        copied += n;
    }
    if (::fchmod(out.fd, mode & 07777) != 0)
        fail(QStringLiteral("Cannot set the permissions of"), to, errno);
    const int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0)
        fail(QStringLiteral("Cannot write"), to, errno);
    return copied;
}

fs::path fsPath(const QString& path) {
    return fs::path(native(path).toStdString());
}

// Copies the tree below `from` into the new folder `to`. Entries whose path is in
// `skip` are left out; so are sockets, pipes and devices, which a copy cannot hold.
// Links are copied as links.
qint64 copyTree(const QString& from, const QString& to, const QStringList& skip) {
    std::error_code ec;
    const fs::file_status st = fs::status(fsPath(from), ec);
    if (ec)
        fail(QStringLiteral("Cannot read the folder"), from, ec.value());
    if (!fs::create_directory(fsPath(to), ec))
        fail(QStringLiteral("Cannot create the folder"), to, ec ? ec.value() : EEXIST);

    // The names first: the walk must not see what the copy adds below `from`.
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(fsPath(from), ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    if (ec)
        fail(QStringLiteral("Cannot read the folder"), from, ec.value());

    qint64 bytes = 0;
    for (const fs::directory_entry& e : entries) {
        const QString name = QFile::decodeName(e.path().filename().c_str());
        const QString src = from + QLatin1Char('/') + name;
        const QString dst = to + QLatin1Char('/') + name;
        if (skip.contains(src))
            continue;
        // Workspaces kept from an earlier operation are no part of the model.
        if (name == kDefaultRoot)
            continue;
        const fs::file_status es = e.symlink_status(ec);
        if (ec)
            fail(QStringLiteral("Cannot read"), src, ec.value());
        if (fs::is_directory(es)) {
            bytes += copyTree(src, dst, skip);
        } else if (fs::is_regular_file(es)) {
            bytes += copyFile(src, dst, static_cast<mode_t>(es.permissions()));
        } else if (fs::is_symlink(es)) {
            fs::copy_symlink(e.path(), fsPath(dst), ec);
            if (ec)
                fail(QStringLiteral("Cannot create the link"), dst, ec.value());
        }
    }
    // The folder's own permissions last, so a read-only folder could be filled.
    fs::permissions(fsPath(to), st.permissions(), ec);
    if (ec)
        fail(QStringLiteral("Cannot set the permissions of"), to, ec.value());
    return bytes;
}

// Removes a tree, making its folders writable first (a copy of a read-only
// folder must go too). Returns 0, or the errno of the first failure in *where.
int removeTree(const QString& path, QString* where) {
    const fs::path top = fsPath(path);
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(top, ec);
    if (ec || !fs::exists(st))
        return ec && ec.value() != ENOENT ? (*where = path, ec.value()) : 0;
    auto writable = [](const fs::path& dir) {
        std::error_code ignored; // what cannot be made writable fails below, with its name
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
    };
    if (fs::is_directory(st)) {
        writable(top);
        // Each folder is made writable before the walk goes into it.
        for (fs::recursive_directory_iterator it(top, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                writable(it->path());
    }
    try {
        fs::remove_all(top);
    } catch (const fs::filesystem_error& e) {
        *where = e.path1().empty() ? path : QFile::decodeName(e.path1().c_str());
        return e.code().value();
    }
    return 0;
}

// A consistent copy of the database, through SQLite's backup: pages still in a
// WAL file are included, and a writer is waited for instead of being copied
// halfway. The copy is not synced to disk: it can always be made again.
qint64 copyDatabase(const QString& from, const QString& to) {
    sqlite3* src = nullptr;
    sqlite3* dst = nullptr;
    auto closeBoth = [&] {
        sqlite3_close(src);
        sqlite3_close(dst);
    };
    if (sqlite3_open_v2(native(from).constData(), &src, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        const QString why = QString::fromUtf8(sqlite3_errmsg(src));
        closeBoth();
        throw FitError(QStringLiteral("Cannot read the database \"%1\": %2.").arg(from, why));
    }
    sqlite3_busy_timeout(src, 10000);
    if (sqlite3_open_v2(native(to).constData(), &dst,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE,
                        nullptr) != SQLITE_OK) {
        const QString why = QString::fromUtf8(sqlite3_errmsg(dst));
        closeBoth();
        throw FitError(QStringLiteral("Cannot create the database copy \"%1\": %2.").arg(to, why));
    }
    sqlite3_exec(dst, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    sqlite3_backup* b = sqlite3_backup_init(dst, "main", src, "main");
    int rc = SQLITE_ERROR;
    if (b) {
        rc = sqlite3_backup_step(b, -1);
        sqlite3_backup_finish(b);
    }
    if (rc != SQLITE_DONE) {
        const QString why = QString::fromUtf8(sqlite3_errmsg(dst));
        closeBoth();
        throw FitError(QStringLiteral("Cannot copy the database into \"%1\": %2.").arg(to, why));
    }
    closeBoth();
    return QFileInfo(to).size();
}

bool isInside(const QString& path, const QString& folder) {
    return path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

QString quoteIdentifier(const QString& name) {
    QString q = name;
    q.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

// The model's folder and the real database of a plan, both canonical;
// FitError when either is missing.
struct ModelPlaces {
    QString modelDir;
    QString database;
};
ModelPlaces modelPlaces(const WorkspacePlan& plan) {
    const QFileInfo runInfo(plan.runFile);
    ModelPlaces places{runInfo.absoluteDir().canonicalPath(),
                       QFileInfo(plan.database).canonicalFilePath()};
    if (places.modelDir.isEmpty())
        throw FitError(QStringLiteral("The model's folder \"%1\" does not exist.")
                           .arg(runInfo.absolutePath()));
    if (places.database.isEmpty())
        throw FitError(QStringLiteral("The database \"%1\" does not exist.").arg(plan.database));
    return places;
}

} // namespace

QString WorkspaceSet::defaultRoot(const QString& database) {
    return QFileInfo(database).absoluteDir().absoluteFilePath(kDefaultRoot);
}

WorkspaceSet::WorkspaceSet(WorkspaceSet&& other) noexcept
    : spaces(std::move(other.spaces)), setFolder(std::move(other.setFolder)),
      rootFolder(std::move(other.rootFolder)), rootTop(std::move(other.rootTop)),
      rootOwned(other.rootOwned), dbOutside(other.dbOutside), bytes(other.bytes) {
    other.rootOwned = false;
}

WorkspaceSet& WorkspaceSet::operator=(WorkspaceSet&& other) noexcept {
    spaces = std::move(other.spaces);
    setFolder = std::move(other.setFolder);
    rootFolder = std::move(other.rootFolder);
    rootTop = std::move(other.rootTop);
    rootOwned = other.rootOwned;
    dbOutside = other.dbOutside;
    bytes = other.bytes;
    other.rootOwned = false;
    return *this;
}

WorkspaceSet WorkspaceSet::make(const WorkspacePlan& plan) {
    if (plan.count < 1)
        throw FitError(QStringLiteral("At least one workspace is needed, not %1.").arg(plan.count));
    const QString database = modelPlaces(plan).database;

    WorkspaceSet set;
    set.rootFolder = QDir::cleanPath(
        QDir(plan.root.isEmpty() ? defaultRoot(database) : plan.root).absolutePath());
    if (!QFileInfo(set.rootFolder).isDir()) {
        // The highest folder made here, so that removing leaves no empty parents.
        QString top = set.rootFolder;
        while (!QFileInfo::exists(QFileInfo(top).absolutePath()))
            top = QFileInfo(top).absolutePath();
        if (QFileInfo::exists(set.rootFolder) || !QDir().mkpath(set.rootFolder)) {
            // Say why: the nearest thing on the path that exists is where it fails.
            const QFileInfo in(QFileInfo(top).absolutePath());
            const QFileInfo self(set.rootFolder);
            QString why;
            if (self.exists())
                why = QStringLiteral("a file of that name is in the way");
            else if (!in.isDir())
                why = QStringLiteral("\"%1\" is a file, not a folder").arg(in.filePath());
            else if (!in.isWritable())
                why =
                    QStringLiteral("there is no permission to write in \"%1\"").arg(in.filePath());
            else
                why = QStringLiteral("the system refused to make it");
            throw FitError(
                QStringLiteral("The folder for the workspaces \"%1\" cannot be made: %2. "
                               "Choose another folder with WD=<folder>.")
                    .arg(set.rootFolder, why));
        }
        set.rootOwned = true;
        set.rootTop = top;
    } else if (plan.root.isEmpty()) {
        // The default folder is the program's own: one that a killed run left
        // goes with this set when nothing else is in it (not its parents).
        set.rootOwned = true;
        set.rootTop = set.rootFolder;
    }
    const QString root = QFileInfo(set.rootFolder).canonicalFilePath();
    removeAbandoned(root); // a killed job's, in the same root (an MPI rank's folder)

    QByteArray pattern = native(root + QStringLiteral("/set-XXXXXX"));
    if (!::mkdtemp(pattern.data())) {
        const int e = errno;
        set.removeOwnRoot();
        fail(QStringLiteral("Cannot make the workspaces in"), root, e);
    }
    set.setFolder = QFile::decodeName(pattern);
    {
        // Written first, so that a program killed while it works here leaves a
        // set that the next one can tell from a living program's.
        QFile owner(set.setFolder + QLatin1Char('/') + kOwnerFile);
        if (owner.open(QIODevice::WriteOnly))
            set.bytes += std::max<qint64>(0, owner.write(QSysInfo::machineHostName().toUtf8() +
                                                         '\n' + ownProcessIdentity() + '\n'));
    }

    try {
        set.addWorkspaces(plan);
    } catch (const FitError& e) {
        // Nothing half made stays behind.
        QString where;
        removeTree(set.setFolder, &where);
        set.removeOwnRoot();
        throw FitError(QStringLiteral("The workspaces in \"%1\" cannot be made: %2")
                           .arg(set.setFolder, e.message()));
    }
    return set;
}

void WorkspaceSet::grow(const WorkspacePlan& plan) {
    if (setFolder.isEmpty())
        throw FitError(QStringLiteral("There are no workspaces to add to."));
    const std::size_t before = spaces.size();
    const qint64 bytesBefore = bytes;
    try {
        addWorkspaces(plan);
    } catch (const FitError& e) {
        // The workspaces made before stay as they were.
        for (std::size_t k = before; k < spaces.size(); ++k) {
            QString where;
            removeTree(spaces[k].folder, &where);
        }
        const QString failed = QStringLiteral("%1/w%2").arg(setFolder).arg(spaces.size() + 1);
        QString where;
        removeTree(failed, &where);
        spaces.resize(before);
        bytes = bytesBefore;
        throw FitError(QStringLiteral("The workspaces in \"%1\" cannot be made: %2")
                           .arg(setFolder, e.message()));
    }
}

void WorkspaceSet::addWorkspaces(const WorkspacePlan& plan) {
    const QFileInfo runInfo(plan.runFile);
    const auto [modelDir, database] = modelPlaces(plan);
    const QString root = QFileInfo(rootFolder).canonicalFilePath();

    dbOutside = !isInside(database, modelDir);
    const QString dbRelative =
        dbOutside ? kOutsideDbFolder + QLatin1Char('/') + QFileInfo(database).fileName()
                  : QDir(modelDir).relativeFilePath(database);
    // Never the workspaces themselves, and never the live files of the real
    // database: its copy comes from SQLite, its journal and WAL are in there.
    QStringList skip = {root,
                        setFolder,
                        database,
                        database + QStringLiteral("-wal"),
                        database + QStringLiteral("-shm"),
                        database + QStringLiteral("-journal")};
    if (!rootTop.isEmpty())
        skip << QFileInfo(rootTop).canonicalFilePath();

    // One snapshot of the database through SQLite for the workspaces made in
    // this call; the others are copies of that file, which nobody else has open.
    QString snapshot;
    for (int k = static_cast<int>(spaces.size()) + 1; k <= plan.count; ++k) {
        Workspace ws;
        ws.number = k;
        ws.folder = setFolder + QStringLiteral("/w") + QString::number(k);
        ws.runFile = ws.folder + QLatin1Char('/') + runInfo.fileName();
        ws.database = ws.folder + QLatin1Char('/') + dbRelative;
        bytes += copyTree(modelDir, ws.folder, skip);
        // Folders of the model's tree are copied by now; only the outside
        // database's folder is new.
        const QString dbDir = QFileInfo(ws.database).absolutePath();
        if (!QFileInfo(dbDir).isDir() && !QDir().mkpath(dbDir))
            throw FitError(QStringLiteral("Cannot create the folder \"%1\".").arg(dbDir));
        if (snapshot.isEmpty()) {
            bytes += copyDatabase(database, ws.database);
            snapshot = ws.database;
        } else {
            struct stat st {};
            if (::stat(native(snapshot).constData(), &st) != 0)
                fail(QStringLiteral("Cannot read"), snapshot, errno);
            bytes += copyFile(snapshot, ws.database, st.st_mode);
        }
        spaces.push_back(ws);
    }
}

void WorkspaceSet::remove() {
    if (setFolder.isEmpty())
        return;
    QString where;
    if (const int e = removeTree(setFolder, &where))
        fail(QStringLiteral("Cannot remove the workspace file"), where, e);
    spaces.clear();
    setFolder.clear();
    removeOwnRoot();
}

WorkspaceSet::Abandoned WorkspaceSet::removeAbandoned(const QString& root) {
    Abandoned found;
    const QString host = QSysInfo::machineHostName();
    const QDir dir(root);
    for (const QString& name : dir.entryList({QStringLiteral("set-*")},
                                             QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString folder = dir.filePath(name);
        QFile owner(folder + QLatin1Char('/') + kOwnerFile);
        if (!owner.open(QIODevice::ReadOnly))
            continue; // whose it is cannot be told: left alone
        const QList<QByteArray> lines = owner.read(4096).split('\n');
        const QByteArray identity = lines.value(1).trimmed();
        // Another machine's program cannot be seen from here.
        if (QString::fromUtf8(lines.value(0).trimmed()) != host || identityPid(identity) <= 0 ||
            identityRuns(identity))
            continue;
        found.processes += run_descendants::endRunsOfProgram(identity);
        QString where;
        if (const int e = removeTree(folder, &where))
            found.failures << QStringLiteral("%1 (%2)").arg(
                where, QString::fromLocal8Bit(std::strerror(e)));
        else
            ++found.sets;
    }
    return found;
}

void WorkspaceSet::removeOwnRoot() {
    // The root only when it is this set's own (made for it, or the default
    // folder) and nothing else is in it; then the parents made with it.
    if (!rootOwned)
        return;
    rootOwned = false;
    for (QString dir = rootFolder;; dir = QFileInfo(dir).absolutePath()) {
        if (::rmdir(native(dir).constData()) != 0 || dir == rootTop || dir.count('/') <= 1)
            break;
    }
}

void WorkspaceSet::refreshTables(const Workspace& ws, const QString& realDatabase,
                                 const QStringList& tables) {
    sqlite3* db = nullptr;
    auto failed = [&](const QString& what) {
        const QString why = QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        throw FitError(QStringLiteral("Cannot refresh the workspace database \"%1\" (%2): %3.")
                           .arg(ws.database, what, why));
    };
    if (sqlite3_open_v2(native(ws.database).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK)
        failed(QStringLiteral("open"));
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* attach = nullptr;
    if (sqlite3_prepare_v2(db, "ATTACH DATABASE ? AS fitmara_real", -1, &attach, nullptr) !=
        SQLITE_OK)
        failed(QStringLiteral("attach"));
    const QByteArray realPath = realDatabase.toUtf8();
    sqlite3_bind_text(attach, 1, realPath.constData(), -1, SQLITE_TRANSIENT);
    const int rc = sqlite3_step(attach);
    sqlite3_finalize(attach);
    if (rc != SQLITE_DONE)
        failed(QStringLiteral("attach"));
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        failed(QStringLiteral("begin"));
    for (const QString& table : tables) {
        const QString t = quoteIdentifier(table);
        const QByteArray sql = QStringLiteral("DELETE FROM main.%1; INSERT INTO main.%1 SELECT * "
                                              "FROM fitmara_real.%1;")
                                   .arg(t)
                                   .toUtf8();
        if (sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
            failed(table);
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        failed(QStringLiteral("commit"));
    sqlite3_close(db);
}

QList<QPair<QString, QString>> runVariables(const Workspace& ws, int run, int attempt) {
    return {{QStringLiteral("FITMARA_DB"), QFileInfo(ws.database).absoluteFilePath()},
            {QStringLiteral("FITMARA_WORKSPACE"), QFileInfo(ws.folder).absoluteFilePath()},
            {QStringLiteral("FITMARA_RUN"), QString::number(run)},
            {QStringLiteral("FITMARA_TRY"), QString::number(attempt)}};
}

QProcessEnvironment runEnvironment(const Workspace& ws, int run, QProcessEnvironment base,
                                   int attempt) {
    for (const auto& [name, value] : runVariables(ws, run, attempt))
        base.insert(name, value);
    return base;
}
