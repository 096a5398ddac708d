#pragma once
// Unattended runs: the command line's help texts, the exit statuses, the
// questions a run without a person answers, the clean stop on SIGINT/SIGTERM/SIGHUP and
// the headless runner that drives a Session without any window.
#include "app/help_texts.h"
#include "app/session.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QSocketNotifier;

// Exit statuses of the program. A run stopped by SIGINT, SIGTERM or SIGHUP exits
// with 128 + the signal's number (130, 143, 129), as a shell reports a program
// killed by it.
enum BatchExit : int {
    ExitDone = 0,      // the calibration (and its analysis) completed, or "?" / --help / --version
    ExitFailed = 1,    // an error ended the run; the message is on standard error
    ExitNoDisplay = 2, // the window was asked for where no display is available
    // The calibration completed and its values are stored as AVAL, but the
    // uncertainty analysis could not be made (a parameter at its limit, ...):
    // ERROR and r_k are empty. The reason is on standard error.
    ExitAnalysisRefused = 3,
};
constexpr int exitStatusForSignal(int signo) {
    return 128 + signo;
}

// What a run without GO and without a display tells on standard error.
QString noDisplayMessage();
// Why no window can be shown (no display named, or the one named does not
// answer); empty when one can.
QString displayProblem();

// A batch run is one whose command line holds GO (exactly, in upper case).
bool isBatchLine(const QStringList& arguments);
// The help key "?" as a whole argument.
bool holdsHelpKey(const QStringList& arguments);
// A window can be shown: DISPLAY or WAYLAND_DISPLAY names a display that
// answers (or QT_QPA_PLATFORM names a platform that needs none).
bool displayAvailable();

// The answers of a run without a person: no file dialog can be shown, so a
// missing database is an error; the help text goes to standard output.
class HeadlessAsker : public Asker {
  public:
    bool chooseDatabase(QString& path) override;
    bool chooseRunFile(QString& path) override;
    void showResultDialog(Session& session) override;
    void showHelp(const QString& text, const QString& caption) override;
    void editTextFile(const QString& path) override;
    bool asksThePerson() const override { return false; }
};

// While it lives, SIGINT, SIGTERM and SIGHUP stop the session's running operation like
// the stop button (at the next evaluation boundary) instead of killing the
// program, so that the model's tables are restored and the protocol written. A
// stop that arrives while nothing runs yet applies to the next operation.
// A third signal ends the program at once (the default action), for a model
// that never returns. SIGPIPE is ignored meanwhile: a log reader that has gone
// does not end the run. Only one instance may exist at a time.
class StopSignals : public QObject {
    Q_OBJECT
  public:
    explicit StopSignals(Session& session, QObject* parent = nullptr);
    ~StopSignals() override;
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The first signal received, 0 when none.
    int received() const { return firstSignal; }

  private:
    void readPipe();
    void stopSession();

    Session& session;
    QSocketNotifier* notifier = nullptr;
    int firstSignal = 0;
};

// The exit status of a batch run that ended with an error (message already
// printed) or with the window closed, given the signals received.
int batchFailureStatus(const StopSignals* stops);
// At the window's close: a signal's status, ExitAnalysisRefused (said on
// standard error) when the session's analysis was refused, else ExitDone.
int batchCloseStatus(const StopSignals* stops, const Session& session);

// Writes "fitmara: <message>" to standard error.
void reportBatchError(const QString& message);

// Runs the session's command line once without a window: log lines go to
// standard output, errors to standard error. Returns the exit status.
int runHeadless(Session& session);
