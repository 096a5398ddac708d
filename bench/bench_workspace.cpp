// The time to make the workspaces of parallel runs: 4 workspaces of a model
// folder holding a 100 MB database, compared with plain copies of the same
// files (QFile::copy), which is the least any copy costs on this disk.
#include "base/fit_error.h"
#include "runs/workspace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <sqlite3.h>
#include <vector>

namespace {

constexpr int kWorkspaces = 4;
constexpr int kRounds = 5;

bool makeBigDatabase(const QString& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK)
        return false;
    // 25,600 rows of 4,000 random bytes: about 100 MB in 4 KB pages.
    const int rc = sqlite3_exec(db,
                                "PRAGMA journal_mode=WAL;"
                                "CREATE TABLE mtab (KEY INTEGER PRIMARY KEY, p DOUBLE, data BLOB);"
                                "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n "
                                "WHERE k < 25600) INSERT INTO mtab SELECT k, k * 0.5, "
                                "randomblob(4000) FROM n;",
                                nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc == SQLITE_OK;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int runWorkspaceBench() {
    QTemporaryDir dir;
    const QString model = dir.filePath("model");
    QDir().mkpath(model + "/input");
    const QString db = model + "/calib.sqlite";
    if (!makeBigDatabase(db)) {
        std::fprintf(stderr, "cannot make the 100 MB database\n");
        return 1;
    }
    {
        QFile run(model + "/run.sh");
        run.open(QIODevice::WriteOnly);
        run.write("#!/bin/sh\nexit 0\n");
        run.close();
        run.setPermissions(run.permissions() | QFileDevice::ExeOwner);
        QFile input(model + "/input/series.csv");
        input.open(QIODevice::WriteOnly);
        input.write(QByteArray(1 << 20, 'x'));
    }

    std::vector<double> makeMs, plainMs;
    qint64 bytes = 0;
    try {
        for (int r = 0; r < kRounds; ++r) {
            QElapsedTimer t;
            t.start();
            WorkspaceSet set =
                WorkspaceSet::make({model + "/run.sh", db, dir.filePath("work"), kWorkspaces});
            makeMs.push_back(t.nsecsElapsed() / 1e6);
            bytes = set.totalBytes();
            set.remove();

            // The same bytes as plain file copies.
            const QString plain = dir.filePath("plain");
            t.restart();
            for (int k = 1; k <= kWorkspaces; ++k) {
                const QString to = plain + "/w" + QString::number(k);
                QDir().mkpath(to + "/input");
                QFile::copy(db, to + "/calib.sqlite");
                QFile::copy(model + "/run.sh", to + "/run.sh");
                QFile::copy(model + "/input/series.csv", to + "/input/series.csv");
            }
            plainMs.push_back(t.nsecsElapsed() / 1e6);
            QDir(plain).removeRecursively();
        }
    } catch (const FitError& e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    const double m = median(makeMs);
    const double p = median(plainMs);
    std::printf("workspaces: %d of a %.0f MB model folder (database in WAL mode) in %.0f ms, "
                "%.0f MB in all (median of %d)\n",
                kWorkspaces, bytes / kWorkspaces / 1e6, m, bytes / 1e6, kRounds);
    std::printf("plain copies of the same files: %.0f ms; ratio %.2f\n", p, m / p);
    return 0;
}
