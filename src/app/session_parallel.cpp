// The progress of parallel model runs (NP > 1) as the run pool reports it.
#include "app/session.h"

#include <cstdio>

void Session::runChanged(int run, bool going) {
    progressState.runChanged(run, going);
}

void Session::runsGoing(int running, int workers) {
    progressState.runsGoing(running, workers);
    // The window shows it with the evaluation count, the best value and the time.
    emitProgress();
    const QString text = QStringLiteral("%1 of %2 model runs going on, %3 completed")
                             .arg(running)
                             .arg(workers)
                             .arg(progressState.evaluations());
    // Headless: a short line on standard error now and then, never in the log.
    if (logLines.echoToStdout && progressState.progressLineDue()) {
        std::fprintf(stderr, "fitmara: %s\n", qPrintable(text));
        std::fflush(stderr);
    }
}
