#include "app/batch.h"

#include "base/fit_error.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

QString noDisplayMessage() {
    const QString why = displayProblem();
    return QStringLiteral("fitmara: the window needs a display, and %1.\n"
                          "To calibrate unattended, give the whole run on the command line and "
                          "end it with GO,\n"
                          "for example: fitmara RF=run.sh DB=model.sqlite RT=results CD=1=1 "
                          "OB=obs MO=sim OV=obs_var GO\n"
                          "See fitmara --help.\n")
        .arg(why.isEmpty() ? QStringLiteral("none could be opened") : why);
}

bool isBatchLine(const QStringList& arguments) {
    return arguments.contains(QStringLiteral("GO"), Qt::CaseSensitive);
}

bool holdsHelpKey(const QStringList& arguments) {
    return arguments.contains(QStringLiteral("?"), Qt::CaseSensitive);
}

namespace {

// Connects a stream socket to `address`, waiting at most timeoutMs.
bool answers(const sockaddr* address, socklen_t length, int timeoutMs) {
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool ok = ::connect(fd, address, length) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t len = sizeof error;
        ok = ::poll(&p, 1, timeoutMs) == 1 &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
    ::close(fd);
    return ok;
}

bool unixSocketAnswers(const QByteArray& path, bool abstract) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const int offset = abstract ? 1 : 0; // an abstract name starts with a NUL byte
    if (path.size() + offset >= int(sizeof a.sun_path))
        return false;
    std::memcpy(a.sun_path + offset, path.constData(), size_t(path.size()));
    const socklen_t len =
        socklen_t(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    return answers(reinterpret_cast<const sockaddr*>(&a), len, 2000);
}

// Whether the X server that DISPLAY names ("[host]:n[.screen]") accepts connections.
bool x11Answers(const QString& display) {
    const int colon = display.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    const QString host = display.left(colon);
    bool ok = false;
    const int number = display.mid(colon + 1).section(QLatin1Char('.'), 0, 0).toInt(&ok);
    if (!ok || number < 0)
        return false;
    if (host.isEmpty() || host == QLatin1String("unix")) {
        const QByteArray socket = "/tmp/.X11-unix/X" + QByteArray::number(number);
        return unixSocketAnswers(socket, true) || unixSocketAnswers(socket, false);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const QByteArray port = QByteArray::number(6000 + number);
    if (::getaddrinfo(host.toLocal8Bit().constData(), port.constData(), &hints, &list) != 0)
        return false;
    bool reached = false;
    for (addrinfo* a = list; a && !reached; a = a->ai_next)
        reached = answers(a->ai_addr, a->ai_addrlen, 2000);
    ::freeaddrinfo(list);
    return reached;
}

bool waylandAnswers(const QString& name) {
    QString path = name;
    if (!path.startsWith(QLatin1Char('/')))
        path = qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + name;
    return unixSocketAnswers(QFile::encodeName(path), false);
}

} // namespace

QString displayProblem() {
    const QString x11 = qEnvironmentVariable("DISPLAY");
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (x11.isEmpty() && wayland.isEmpty())
        return QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set");
    // A platform chosen by name that needs no display server (offscreen, vnc,
    // ...) is taken at its word.
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith(QLatin1String("xcb")) &&
        !platform.startsWith(QLatin1String("wayland")))
        return QString();
    // Qt ends the program (abort) when it cannot open the display: find out first.
    if ((!x11.isEmpty() && x11Answers(x11)) || (!wayland.isEmpty() && waylandAnswers(wayland)))
        return QString();
    QStringList named;
    if (!x11.isEmpty())
        named << QStringLiteral("DISPLAY=%1").arg(x11);
    if (!wayland.isEmpty())
        named << QStringLiteral("WAYLAND_DISPLAY=%1").arg(wayland);
    return QStringLiteral("the display it names (%1) does not answer")
        .arg(named.join(QStringLiteral(", ")));
}

bool displayAvailable() {
    return displayProblem().isEmpty();
}

void reportBatchError(const QString& message) {
    const QByteArray text = QStringLiteral("fitmara: %1\n").arg(message).toLocal8Bit();
    std::fflush(stdout); // keep the log lines before the error when both go to one terminal
    std::fputs(text.constData(), stderr);
    std::fflush(stderr);
}

// ---- HeadlessAsker ----

bool HeadlessAsker::chooseDatabase(QString& path) {
    (void)path;
    throw FitError(QStringLiteral("No database is open: give one with DB=<file>."));
}

bool HeadlessAsker::chooseRunFile(QString& path) {
    (void)path;
    return false;
}

void HeadlessAsker::showResultDialog(Session& session) {
    (void)session;
    // A batch run never asks; reaching this would mean waiting for nobody.
    throw FitError(QStringLiteral("The result dialog cannot be shown without a window."));
}

void HeadlessAsker::showHelp(const QString& text, const QString& caption) {
    const QByteArray out =
        (caption.trimmed() + QLatin1Char('\n') + text + QLatin1Char('\n')).toLocal8Bit();
    std::fputs(out.constData(), stdout);
    std::fflush(stdout);
}

void HeadlessAsker::editTextFile(const QString& path) {
    throw FitError(
        QStringLiteral("The run file \"%1\" cannot be edited without a window.").arg(path));
}

// ---- StopSignals ----
//
// The handler only writes the signal's number into a pipe; the event loop (which
// also runs while the model is awaited) reads it and asks the session to stop.

namespace {
int stopPipe[2] = {-1, -1};
volatile sig_atomic_t signalCount = 0;
struct sigaction previousInt, previousTerm, previousHup, previousPipe;

void onStopSignal(int signo) {
    const int savedErrno = errno;
    signalCount = signalCount + 1;
    if (signalCount >= 3) {
        // The person insists: end now, as the signal would without us.
        ::signal(signo, SIG_DFL);
        ::raise(signo);
    }
    const unsigned char b = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &b, 1);
    errno = savedErrno;
}
} // namespace

StopSignals::StopSignals(Session& s, QObject* parent) : QObject(parent), session(s) {
    if (stopPipe[0] >= 0)
        throw FitError(QStringLiteral("Signal handling is already installed."));
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        stopPipe[0] = stopPipe[1] = -1;
        throw FitError(QStringLiteral("Cannot set up signal handling: %1")
                           .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
    signalCount = 0;
    notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { readPipe(); });
    // A stop that came while nothing ran applies to the operation that starts next
    // (starting an operation clears the stop flag).
    connect(&session, &Session::busyChanged, this, [this](bool busy) {
        if (busy && firstSignal != 0)
            session.requestStop();
    });

    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &previousInt);
    ::sigaction(SIGTERM, &sa, &previousTerm);
    // A closed terminal (a lost ssh session) stops the run as SIGTERM does,
    // instead of ending it with the model's tables at a trial vector.
    ::sigaction(SIGHUP, &sa, &previousHup);
    // The log on standard output is a copy of the protocols: a reader of it
    // that has gone (`| head`, a pager left) must not end the run midway.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &previousPipe);
}

StopSignals::~StopSignals() {
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    ::sigaction(SIGHUP, &previousHup, nullptr);
    ::sigaction(SIGPIPE, &previousPipe, nullptr);
    delete notifier;
    notifier = nullptr;
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    stopPipe[0] = stopPipe[1] = -1;
}

void StopSignals::readPipe() {
    unsigned char b = 0;
    while (::read(stopPipe[0], &b, 1) == 1) {
        if (firstSignal == 0) {
            firstSignal = b;
            reportBatchError(QStringLiteral("%1 received: stopping after the current model run.")
                                 .arg(b == SIGINT   ? QStringLiteral("SIGINT")
                                      : b == SIGHUP ? QStringLiteral("SIGHUP")
                                                    : QStringLiteral("SIGTERM")));
        }
    }
    stopSession();
}

void StopSignals::stopSession() {
    session.requestStop();
}

int batchFailureStatus(const StopSignals* stops) {
    return stops && stops->received() ? exitStatusForSignal(stops->received()) : ExitFailed;
}

int batchCloseStatus(const StopSignals* stops, const Session& session) {
    if (stops && stops->received()) {
        reportBatchError(QStringLiteral("The run was stopped by a signal."));
        return exitStatusForSignal(stops->received());
    }
    if (!session.analysisRefusal().isEmpty()) {
        reportBatchError(QStringLiteral("The calibration completed and its values are stored as "
                                        "AVAL, but the uncertainty analysis was refused: %1. "
                                        "ERROR and the correlations r_k of PARM_INT are empty.")
                             .arg(session.analysisRefusal()));
        return ExitAnalysisRefused;
    }
    return ExitDone;
}

// ---- the headless runner ----

int runHeadless(Session& session) {
    HeadlessAsker asker;
    Asker* const previousAsker = session.asker();
    session.setAsker(&asker);
    session.logList().echoToStdout = true;
    StopSignals stops(session);
    struct RestoreAsker {
        Session& s;
        Asker* a;
        ~RestoreAsker() { s.setAsker(a); }
    } restoreAsker{session, previousAsker};

    session.clearCloseRequest();
    try {
        session.applyCommandLine();
    } catch (const FitError& e) {
        reportBatchError(e.message());
        return batchFailureStatus(&stops);
    } catch (const std::exception& e) {
        reportBatchError(QString::fromLocal8Bit(e.what()));
        return batchFailureStatus(&stops);
    }
    // Events still queued (a signal that came during the last model run).
    QCoreApplication::processEvents();
    if (session.closeWasRequested())
        return batchCloseStatus(&stops, session);
    reportBatchError(QStringLiteral("The batch run ended without completing the calibration."));
    return batchFailureStatus(&stops);
}
