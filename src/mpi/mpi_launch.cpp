#include "mpi/mpi_launch.h"

namespace {

int number(const QProcessEnvironment& env, const QString& name) {
    bool ok = false;
    const int v = env.value(name).trimmed().toInt(&ok);
    return ok ? v : -1;
}

} // namespace

// Only what a launcher sets for the processes of a job counts. A plain run in
// a Slurm allocation (the batch script itself, or a shell of salloc) has the
// job's SLURM_* variables, among them SLURM_NTASKS and SLURM_PROCID, but none of
// a process-management interface: that is a normal run, not rank 0 of a job.
MpiLaunch detectMpiLaunch(const QProcessEnvironment& env) {
    MpiLaunch l;
    if (env.contains(QStringLiteral("OMPI_COMM_WORLD_SIZE"))) {
        // Open MPI's own launcher (mpirun, mpiexec, orterun, prterun).
        l.launched = true;
        l.launcher = QStringLiteral("mpirun");
        l.rank = number(env, QStringLiteral("OMPI_COMM_WORLD_RANK"));
        l.size = number(env, QStringLiteral("OMPI_COMM_WORLD_SIZE"));
        return l;
    }
    if (env.contains(QStringLiteral("PMIX_RANK"))) {
        // A PMIx launcher: srun --mpi=pmix, or a PMIx-based mpirun.
        l.launched = true;
        l.launcher = QStringLiteral("PMIx");
        l.rank = number(env, QStringLiteral("PMIX_RANK"));
        if (env.contains(QStringLiteral("SLURM_STEP_NUM_TASKS")))
            l.size = number(env, QStringLiteral("SLURM_STEP_NUM_TASKS"));
        return l;
    }
    if (env.contains(QStringLiteral("PMI_RANK")) && env.contains(QStringLiteral("PMI_SIZE"))) {
        // PMI-1 or PMI-2: srun --mpi=pmi2, or a Hydra-style launcher.
        l.launched = true;
        l.launcher = QStringLiteral("PMI");
        l.rank = number(env, QStringLiteral("PMI_RANK"));
        l.size = number(env, QStringLiteral("PMI_SIZE"));
        return l;
    }
    // srun (and only srun) sets SLURM_STEP_NUM_TASKS for the tasks it starts.
    // Several tasks without a PMI would each run a calibration of their own on
    // the same database.
    const int tasks = number(env, QStringLiteral("SLURM_STEP_NUM_TASKS"));
    if (tasks > 1)
        l.problem =
            QStringLiteral("srun started %1 separate copies of fitmara without MPI. Start it as "
                           "one MPI job: srun --mpi=pmix fitmara ..., or mpirun fitmara ... "
                           "inside the allocation.")
                .arg(tasks);
    return l;
}

void removeMpiLaunchVariables(QProcessEnvironment& env) {
    static const QStringList prefixes = {QStringLiteral("OMPI_"), QStringLiteral("PMIX_"),
                                         QStringLiteral("PMI_"),  QStringLiteral("PRTE_"),
                                         QStringLiteral("OPAL_"), QStringLiteral("ORTE_")};
    const QStringList keys = env.keys();
    for (const QString& key : keys)
        for (const QString& p : prefixes)
            if (key.startsWith(p)) {
                env.remove(key);
                break;
            }
}
