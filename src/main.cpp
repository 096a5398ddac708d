// Entry point: the window, or an unattended run without one.
//
// A line with GO on a machine without a display runs the same core headless; a
// line without GO wants the window, which needs a display. Batch runs end with an
// exit status that says whether they worked (see fitmara --help).
#include "app/batch.h"
#include "app/session.h"
#include "base/fit_error.h"
#include "mpi/mpi_guard.h"
#include "mpi/mpi_launch.h"
#include "mpi/mpi_run_pool.h"
#include "mpi/mpi_transport.h"
#include "mpi/mpi_worker_service.h"
#include "mpi/mpi_world.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <memory>

#include "ui/main_window.h"
#include "ui/parameter_selection_dialog.h"
#include "ui/style.h"

#include <QApplication>
#include <QMetaObject>

namespace {

void printOut(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fputs(bytes.constData(), stdout);
    std::fflush(stdout);
}

QStringList argumentsOf(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return args;
}

int runHeadlessProgram(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Fitmara"));
    Session session;
    session.setArguments(QCoreApplication::arguments().mid(1));
    return runHeadless(session);
}

// The window on a session, in the application made by the caller.
int runWindowLoop(QApplication& app, Session& session, bool batch) {
    applyStyle(app);
    // Only an unattended run turns SIGINT/SIGTERM into a clean stop; a person at
    // the window has the stop button.
    std::unique_ptr<StopSignals> stops;
    if (batch)
        stops = std::make_unique<StopSignals>(session);

    // The exit status of a batch run is kept here rather than trusted to the
    // loop's return code: closing the last window also quits the loop, with 0.
    int batchStatus = -1;
    QObject::connect(&session, &Session::closeRequested, &app, [&stops, &batchStatus, &session] {
        if (batchStatus < 0)
            batchStatus = stops ? batchCloseStatus(stops.get(), session) : int(ExitDone);
        QCoreApplication::exit(batchStatus);
    });
    MainWindow window(session);
    window.onAddParameter = [&session, &window] { showParameterSelection(session, &window); };
    // The window has written the message to standard error. The loop is left
    // through the event queue: an error of the first activation may come before
    // exec() runs its loop.
    window.onBatchError = [&stops, &batchStatus](const QString&) {
        batchStatus = batchFailureStatus(stops.get());
        const int status = batchStatus;
        QMetaObject::invokeMethod(
            qApp, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
    };
    window.show();
    const int loopStatus = app.exec();
    return batchStatus >= 0 ? batchStatus : loopStatus;
}

int runWindow(int argc, char** argv, bool batch) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fitmara"));
    Session session;
    session.setArguments(QCoreApplication::arguments().mid(1));
    return runWindowLoop(app, session, batch);
}

// Rank 0: the calibration as it runs without MPI, its runs on the worker ranks:
// the window where there is a display, else a headless GO line.
int runMpiMaster(MpiWorld& world, const QStringList& args, const QString& launcher,
                 QApplication* windowApp) {
    RemoteWorkerPool workers(world);
    // How long the workers get to end their models and say goodbye.
    const int graceMs = 10000;
    const bool batch = isBatchLine(args);
    if (!windowApp && !batch) {
        reportBatchError(QStringLiteral("Started by %1 with %2 tasks and without a display, "
                                        "fitmara runs unattended only: end the command line "
                                        "with GO.")
                             .arg(launcher)
                             .arg(world.size()));
        workers.endAll(ExitFailed, graceMs);
        return ExitFailed;
    }
    Session session;
    session.setArguments(args);
    MpiRunPool pool(workers, [&session] {
        return workerSetup(session.settings(), session.settings().databaseFile,
                           session.settings().runFile);
    });
    // Every operation runs its model runs on the workers, as it would on local
    // workspaces with NP= set to their number.
    if (workers.workerCount() > 0)
        session.setRemoteRunPool(&pool);
    const int status = windowApp ? runWindowLoop(*windowApp, session, batch) : runHeadless(session);
    session.setRemoteRunPool(nullptr);
    if (status > 128) {
        // The launcher is tearing the job down after a signal: the workers have
        // ended their models and gone, and finalising would wait for them.
        workers.shutdown(200);
        world.abandon();
        return status;
    }
    workers.endAll(status, graceMs);
    return status;
}

// Started by mpirun or srun with several tasks: MPI is initialised before
// anything else, then rank 0 calibrates and the other ranks serve it.
int runMpiJob(int argc, char** argv, const MpiLaunch& launch, const QStringList& args) {
    // Forked while nothing else runs: neither MPI nor Qt like a fork later.
    ModelGuard guard = launch.rank != 0 ? ModelGuard::start() : ModelGuard();
    std::unique_ptr<MpiWorld> world;
    try {
        world = std::make_unique<MpiWorld>(launch, &argc, &argv);
    } catch (const FitError& e) {
        if (launch.rank <= 0)
            reportBatchError(e.message());
        return ExitFailed;
    }
    // Rank 0 shows the window where there is a display, as without MPI.
    const bool window = world->rank() == 0 && displayAvailable();
    std::unique_ptr<QCoreApplication> app;
    if (window)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Fitmara"));
    try {
        return world->rank() == 0
                   ? runMpiMaster(*world, args, launch.launcher,
                                  window ? static_cast<QApplication*>(app.get()) : nullptr)
                   : serveWorkerRank(*world, &guard);
    } catch (const FitError& e) {
        reportBatchError(e.message());
        MpiWorld::abort(ExitFailed);
    }
}

} // namespace

int main(int argc, char** argv) {
    const QStringList args = argumentsOf(argc, argv);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        printOut(usageText());
        return ExitDone;
    }
    if (args.contains(QStringLiteral("--version"))) {
        printOut(versionText() + QLatin1Char('\n'));
        return ExitDone;
    }

    // Decided from the environment: without a launcher MPI is never started.
    const MpiLaunch launch = detectMpiLaunch();
    if (!launch.problem.isEmpty()) {
        if (launch.rank <= 0)
            reportBatchError(launch.problem);
        return ExitFailed;
    }
    if (launch.launched && launch.size != 1)
        return runMpiJob(argc, argv, launch, args);

    const bool batch = isBatchLine(args);
    if (!displayAvailable()) {
        if (batch || holdsHelpKey(args))
            return runHeadlessProgram(argc, argv);
        std::fputs(noDisplayMessage().toLocal8Bit().constData(), stderr);
        return ExitNoDisplay;
    }
    return runWindow(argc, argv, batch);
}
