#pragma once
// The MPI job this process is a rank of: initialised once, finalised when the
// object goes, unless the job is being torn down anyway.
#include "mpi/mpi_launch.h"

#include <QString>

class MpiWorld {
  public:
    // Initialises MPI (calls from the main thread only). Errors of MPI calls
    // are returned, not fatal, so they become FitErrors with MPI's text. Throws
    // FitError when MPI cannot start, or when it starts a job of another size
    // than the launcher announced: an MPI library that does not understand the
    // launcher starts each task alone, and each would calibrate on its own.
    explicit MpiWorld(const MpiLaunch& launch, int* argc = nullptr, char*** argv = nullptr);
    ~MpiWorld();
    MpiWorld(const MpiWorld&) = delete;
    MpiWorld& operator=(const MpiWorld&) = delete;

    int rank() const { return myRank; }
    int size() const { return worldSize; }
    // The host this rank runs on, as MPI names it.
    QString node() const { return nodeName; }

    // Leaves without MPI_Finalize: after a signal, the launcher is tearing the
    // job down and finalising would wait for ranks that are gone.
    void abandon() { abandoned = true; }

    // Ends every rank of the job with this exit status. The last resort: a
    // model started by a rank that is killed this way may survive it.
    [[noreturn]] static void abort(int exitCode);

  private:
    int myRank = 0;
    int worldSize = 1;
    QString nodeName;
    bool abandoned = false;
};

// Throws FitError with MPI's own text for a failed call (code != MPI_SUCCESS).
void checkMpi(int code, const char* call);
