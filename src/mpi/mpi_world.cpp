#include "mpi/mpi_world.h"

#include "base/fit_error.h"

#include <mpi.h>

#include <cstdlib>

void checkMpi(int code, const char* call) {
    if (code == MPI_SUCCESS)
        return;
    char text[MPI_MAX_ERROR_STRING] = {};
    int length = 0;
    if (MPI_Error_string(code, text, &length) != MPI_SUCCESS)
        length = 0;
    throw FitError(QStringLiteral("MPI failed in %1: %2")
                       .arg(QLatin1String(call), QString::fromLocal8Bit(text, length)));
}

MpiWorld::MpiWorld(const MpiLaunch& launch, int* argc, char*** argv) {
    int provided = 0;
    // Only the main thread calls MPI: the event loop does all the waiting.
    if (MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS)
        throw FitError(
            QStringLiteral("MPI could not be started (launched by %1).").arg(launch.launcher));
    checkMpi(MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN), "MPI_Comm_set_errhandler");
    checkMpi(MPI_Comm_rank(MPI_COMM_WORLD, &myRank), "MPI_Comm_rank");
    checkMpi(MPI_Comm_size(MPI_COMM_WORLD, &worldSize), "MPI_Comm_size");
    char name[MPI_MAX_PROCESSOR_NAME] = {};
    int length = 0;
    checkMpi(MPI_Get_processor_name(name, &length), "MPI_Get_processor_name");
    nodeName = QString::fromLocal8Bit(name, length);
    if (launch.size > 0 && launch.size != worldSize) {
        const QString message =
            QStringLiteral("%1 announced a job of %2 processes, but MPI sees %3: this MPI "
                           "library does not understand the launcher.")
                .arg(launch.launcher)
                .arg(launch.size)
                .arg(worldSize);
        MPI_Finalize();
        throw FitError(message);
    }
}

MpiWorld::~MpiWorld() {
    if (!abandoned)
        MPI_Finalize();
}

void MpiWorld::abort(int exitCode) {
    MPI_Abort(MPI_COMM_WORLD, exitCode);
    // MPI_Abort does not return; should a broken library do so, still leave.
    std::_Exit(exitCode);
}
