#pragma once
// Ends the models a worker rank leaves behind when it is killed outright.
//
// A launcher that tears a job down sends each rank SIGTERM and soon SIGKILL;
// Open MPI's mpirun sends the SIGKILL as soon as the first rank has exited, so
// a worker may get no time at all to end its model. The model runs in a
// process group of its own (so that a stop can end all of it), which the
// launcher's signals do not reach. So each worker forks a small guard before
// MPI or Qt start. The guard waits on a pipe from the worker; when the worker
// is gone, however it went, the pipe closes and the guard ends every process
// whose environment names the worker's workspace (FITMARA_WORKSPACE), with
// their process groups: SIGTERM, then SIGKILL shortly after.
#include <QByteArray>
#include <QString>

#include <vector>

class ModelGuard {
  public:
    // Forks the guard. Without it (fork or pipe failed) the worker runs
    // unguarded, as it would with a launcher that waits.
    static ModelGuard start();

    ModelGuard() = default;
    ModelGuard(ModelGuard&& other) noexcept : fd(other.fd) { other.fd = -1; }
    ModelGuard& operator=(ModelGuard&&) = delete;
    ModelGuard(const ModelGuard&) = delete;
    ModelGuard& operator=(const ModelGuard&) = delete;
    // Closing the pipe tells the guard that the worker is gone.
    ~ModelGuard();

    bool active() const { return fd >= 0; }
    // The workspace whose models the guard ends.
    void watch(const QString& workspace);

  private:
    int fd = -1; // the pipe's writing end, not inherited by models
};

// The processes (other than the caller) whose environment holds
// FITMARA_WORKSPACE=<workspace> exactly. For the guard, and for tests.
std::vector<int> processesOfWorkspace(const QByteArray& workspace);
