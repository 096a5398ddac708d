#pragma once
// Was this process started as one rank of an MPI job? Decided from the
// environment alone, before anything of MPI is touched: a program started
// without mpirun or srun never initialises MPI and behaves as it always has.
#include <QProcessEnvironment>
#include <QString>

struct MpiLaunch {
    // True when a launcher started us as a rank of a job: MPI must be initialised.
    bool launched = false;
    // Our rank and the job's size as the launcher announced them; -1 where the
    // launcher does not say (the ranks learn them for sure from MPI itself).
    int rank = -1;
    int size = -1;
    // Which launcher's variables gave it away, for messages.
    QString launcher;
    // Not launched, but the environment shows a mistake that would make every
    // task run a calibration of its own (srun without an MPI plugin). Empty
    // when there is none; a caller should refuse to run with this text.
    QString problem;
};

MpiLaunch
detectMpiLaunch(const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// Removes what tells a process that it is a rank of our job. A model started by
// a worker inherits the worker's environment; an MPI model would otherwise try
// to join our job instead of running on its own.
void removeMpiLaunchVariables(QProcessEnvironment& env);
