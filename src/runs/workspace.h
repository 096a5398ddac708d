#pragma once
// Workspaces for parallel model runs: one copy of the model's folder per worker,
// each with its own copy of the database, so that several runs can write their
// trial values and results at the same time without meeting.
//
// A workspace holds the whole tree of the run file's folder (never the
// workspaces themselves, even when they lie inside that tree), with the database
// at the same path relative to that folder. A database outside the model's
// folder is put into the workspace's ".fitmara-db" folder. The database is
// copied through SQLite's backup interface, so the copy is consistent even when
// the real database is in WAL mode with pages not yet checkpointed; all other
// files are copied byte for byte (the kernel's copy_file_range where it can),
// keeping their permission bits, and symbolic links stay links.
#include <QList>
#include <QPair>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <vector>

struct WorkspacePlan {
    QString runFile;  // the model's run script; its folder is the model's folder
    QString database; // the real database
    QString root;     // where the workspaces go (WD=); empty: ".fitmara-work" beside the database
    int count = 1;    // one workspace per worker
};

struct Workspace {
    int number = 0;   // 1..count
    QString folder;   // absolute; the copy of the model's folder
    QString runFile;  // the run script's copy
    QString database; // absolute path of the database's copy
};

class WorkspaceSet {
  public:
    // The default root folder: ".fitmara-work" in the database's folder.
    static QString defaultRoot(const QString& database);

    // Makes plan.count workspaces in a new folder of their own below the root.
    // Throws FitError naming the folder that could not be made or filled (disk
    // full, permissions, a missing model folder or database); nothing of the
    // set is left behind then.
    static WorkspaceSet make(const WorkspacePlan& plan);
    // Adds workspaces to the set up to plan.count (the plan it was made by,
    // with another count), copying the model's folder and database as they are
    // now. FitError naming what could not be made; the set then stays as it was.
    void grow(const WorkspacePlan& plan);

    WorkspaceSet() = default;
    WorkspaceSet(WorkspaceSet&& other) noexcept;
    WorkspaceSet& operator=(WorkspaceSet&& other) noexcept;
    WorkspaceSet(const WorkspaceSet&) = delete;
    WorkspaceSet& operator=(const WorkspaceSet&) = delete;
    // Keeps the workspaces: after an error they are there to be looked at.
    ~WorkspaceSet() = default;

    const std::vector<Workspace>& workspaces() const { return spaces; }
    // The folder holding this set's workspaces (below the root).
    const QString& folder() const { return setFolder; }
    // True when the database lies outside the model's folder (then each copy
    // is in the workspace's ".fitmara-db" folder).
    bool databaseOutsideModel() const { return dbOutside; }
    // Bytes of all copies together (files and databases; links and folders not counted).
    qint64 totalBytes() const { return bytes; }

    // Removes every workspace of the set, and the root when that is left empty
    // and was made for this set. Throws FitError naming what could not be removed.
    void remove();

    // What removeAbandoned() found.
    struct Abandoned {
        int sets = 0;         // sets of workspaces removed
        int processes = 0;    // model processes of theirs that were still running, ended
        QStringList failures; // what could not be removed, and why
    };
    // Removes the sets below `root` whose program (on this machine) runs no
    // more (killed outright), after ending the models it left running. Sets of
    // a running program, of another machine, or whose maker cannot be told,
    // stay. make() does this in its root before it makes a set.
    static Abandoned removeAbandoned(const QString& root);

    // Copies the rows of the given tables from the real database into the
    // workspace's database (all rows replaced, in one transaction), so the copy
    // holds these tables as the real database does now.
    static void refreshTables(const Workspace& ws, const QString& realDatabase,
                              const QStringList& tables);

  private:
    void removeOwnRoot();
    // Makes workspaces spaces.size() + 1 .. plan.count in the set's folder.
    void addWorkspaces(const WorkspacePlan& plan);

    std::vector<Workspace> spaces;
    QString setFolder;
    QString rootFolder;
    QString rootTop; // the highest folder made with the root
    // The root goes with the set when empty: it was made for it, or it is the
    // default folder.
    bool rootOwned = false;
    bool dbOutside = false;
    qint64 bytes = 0;
};

// The variables that tell run `run` where it works: FITMARA_DB (absolute path of
// the database it must use), FITMARA_WORKSPACE, FITMARA_RUN (the run's number in
// the journal) and FITMARA_TRY (`attempt`: 1, then 2, 3, ... for its retries).
QList<QPair<QString, QString>> runVariables(const Workspace& ws, int run, int attempt = 1);
// `base` with those variables added (or replaced).
QProcessEnvironment
runEnvironment(const Workspace& ws, int run,
               QProcessEnvironment base = QProcessEnvironment::systemEnvironment(),
               int attempt = 1);
