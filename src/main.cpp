// Entry point: the window, or an unattended run without one.
//
// A line with GO on a machine without a display runs the same core headless; a
// line without GO wants the window, which needs a display. Batch runs end with an
// exit status that says whether they worked (see fitmara --help).
#include "app/batch.h"
#include "app/session.h"
#include "engine/mpi_launch.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <memory>

#include "ui/frm_prmsel.h"
#include "ui/opti_main.h"
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
    session.arguments = QCoreApplication::arguments().mid(1);
    return runHeadless(session);
}

int runWindow(int argc, char** argv, bool batch) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fitmara"));
    applyStyle(app);
    Session session;
    session.arguments = QCoreApplication::arguments().mid(1);

    // Only an unattended run turns SIGINT/SIGTERM into a clean stop; a person at
    // the window has the stop button.
    std::unique_ptr<StopSignals> stops;
    if (batch)
        stops = std::make_unique<StopSignals>(session);

    // The exit status of a batch run is kept here rather than trusted to the
    // loop's return code: closing the last window also quits the loop, with 0.
    int batchStatus = -1;
    QObject::connect(&session, &Session::closeRequested, &app, [&stops, &batchStatus] {
        if (batchStatus < 0)
            batchStatus = stops ? batchCloseStatus(stops.get()) : int(ExitDone);
        QCoreApplication::exit(batchStatus);
    });
    Topti_main window(session);
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

    // Until the ranks of a job share the runs, several copies started together
    // would each calibrate on the same database. Decided from the environment:
    // MPI itself is never started here.
    const MpiLaunch launch = detectMpiLaunch();
    if (!launch.problem.isEmpty() || (launch.launched && launch.size != 1)) {
        if (launch.rank <= 0)
            reportBatchError(launch.problem.isEmpty()
                                 ? QStringLiteral("this build runs as one process; start it "
                                                  "without %1.")
                                       .arg(launch.launcher)
                                 : launch.problem);
        return ExitFailed;
    }

    const bool batch = isBatchLine(args);
    if (!displayAvailable()) {
        if (batch || holdsHelpKey(args))
            return runHeadlessProgram(argc, argv);
        std::fputs(noDisplayMessage().toLocal8Bit().constData(), stderr);
        return ExitNoDisplay;
    }
    return runWindow(argc, argv, batch);
}
