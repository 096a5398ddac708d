#include "runs/run_pool.h"

#include <QEventLoop>
#include <QTimer>

namespace {

// One round of runAll: the tickets started as workers come free, their
// outcomes gathered as they end, in the event loop of the calling thread.
class RoundOfRuns {
  public:
    RoundOfRuns(RunPool& runPool, const std::vector<RunTicket>& roundTickets,
                const RunRound& callbacks)
        : pool(runPool), tickets(roundTickets), round(callbacks), outcomes(roundTickets.size()),
          done(roundTickets.size(), false) {}

    std::vector<RunOutcome> run() {
        const QMetaObject::Connection conn = QObject::connect(
            &pool, &RunPool::finished, &loop, [this](const RunOutcome& o) { finished(o); });
        // A stop request comes as an event (the button, a signal): look now and
        // then. Five times a second is soon enough for a person or a signal, and
        // keeps the waiting program (rank 0 of a job, waiting minutes for its
        // workers) from waking 20 times a second for nothing.
        QTimer stopWatch;
        stopWatch.setInterval(200);
        QObject::connect(&stopWatch, &QTimer::timeout, &loop, [this] {
            if (ending)
                return;
            askStop();
        });

        startMore();
        if (running > 0) {
            stopWatch.start();
            loop.exec();
            stopWatch.stop();
        }
        QObject::disconnect(conn);
        markNotStarted();
        return std::move(outcomes); // run() is called once
    }

  private:
    // The ticket of a run of ours that is going on; -1 for none.
    std::ptrdiff_t indexOf(int run) const {
        for (std::size_t i = 0; i < tickets.size(); ++i)
            if (tickets[i].run == run && !done[i] && outcomes[i].started)
                return static_cast<std::ptrdiff_t>(i);
        return -1;
    }
    // The workers busy with a run, of this round or of another one on the same
    // pool (the starts of MS= side by side). Not this round's count of runs
    // without an outcome: a worker whose run ended is free, and may already
    // have the next, before that outcome is taken.
    void tellProgress() {
        if (round.progress)
            round.progress(pool.size() - pool.idle());
    }
    void endRound() {
        if (ending)
            return;
        ending = true;
        if (running > 0)
            pool.stopAll();
    }
    void askStop() {
        if (!ending && round.stopRequested && round.stopRequested())
            endRound();
    }
    // Starts tickets in their order while workers are idle and nothing ends the round.
    void startMore() {
        askStop();
        while (!ending && next < tickets.size() && pool.idle() > 0) {
            outcomes[next].run = tickets[next].run;
            outcomes[next].started = true;
            ++running;
            const RunTicket& t = tickets[next++];
            pool.start(t);
            if (round.runChanged)
                round.runChanged(t.run, true);
            tellProgress();
            askStop();
        }
    }
    void finished(const RunOutcome& o) {
        const std::ptrdiff_t i = indexOf(o.run);
        if (i < 0)
            return; // not one of ours
        outcomes[i] = o;
        outcomes[i].started = true;
        done[i] = true;
        --running;
        if (round.runChanged)
            round.runChanged(o.run, false);
        tellProgress();
        if (round.ended)
            round.ended(static_cast<std::size_t>(i), outcomes[i]);
        if (o.failed && round.endOnFailure)
            endRound();
        startMore();
        if (running == 0)
            loop.quit();
    }
    void markNotStarted() {
        for (std::size_t i = 0; i < tickets.size(); ++i)
            if (!outcomes[i].started) {
                outcomes[i].run = tickets[i].run;
                outcomes[i].stopped = true;
            }
    }

    RunPool& pool;
    const std::vector<RunTicket>& tickets;
    const RunRound& round;
    std::vector<RunOutcome> outcomes;
    std::vector<bool> done;
    std::size_t next = 0; // the next ticket to start
    int running = 0;
    bool ending = false; // a stop or a failure: nothing more is started
    QEventLoop loop;
};

} // namespace

std::vector<RunOutcome> runAll(RunPool& pool, const std::vector<RunTicket>& tickets,
                               const RunRound& round) {
    return RoundOfRuns(pool, tickets, round).run();
}
