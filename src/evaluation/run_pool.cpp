#include "evaluation/run_pool.h"

#include "base/fit_error.h"

#include <QEventLoop>
#include <QTimer>

#include <map>

std::vector<RunOutcome> runAll(RunPool& pool, const std::vector<RunTicket>& tickets,
                               const std::function<bool()>& stopRequested) {
    std::vector<RunOutcome> outcomes(tickets.size());
    std::map<int, std::size_t> running; // run number -> ticket index
    std::size_t next = 0;
    std::size_t done = 0;
    bool stopping = false;
    bool arrived = false; // an outcome came since the last wait

    QEventLoop loop;
    const QMetaObject::Connection c =
        QObject::connect(&pool, &RunPool::finished, &loop, [&](const RunOutcome& o) {
            const auto it = running.find(o.run);
            if (it == running.end())
                return; // not one of ours
            outcomes[it->second] = o;
            running.erase(it);
            ++done;
            arrived = true;
            loop.quit();
        });
    // Stop requests come as plain flags: look at them now and then.
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&loop] { loop.quit(); });
    tick.start(50);

    auto stopRunning = [&] {
        if (!stopping && !running.empty())
            pool.stopAll();
        stopping = true;
    };
    // Returns after an outcome or a tick; an outcome that came while nothing
    // waited (during start()) does not wait for the next tick.
    auto wait = [&] {
        if (!arrived)
            loop.exec();
        arrived = false;
    };

    try {
        while (done < tickets.size()) {
            if (!stopping && stopRequested && stopRequested())
                stopRunning();
            if (stopping) {
                for (; next < tickets.size(); ++next, ++done) {
                    outcomes[next].run = tickets[next].run;
                    outcomes[next].stopped = true;
                }
                if (running.empty())
                    break;
                wait();
                continue;
            }
            while (next < tickets.size() && pool.idle() > 0) {
                running[tickets[next].run] = next;
                try {
                    pool.start(tickets[next]);
                } catch (...) {
                    running.erase(tickets[next].run);
                    throw;
                }
                ++next;
            }
            wait();
        }
    } catch (...) {
        stopRunning();
        while (!running.empty())
            wait();
        QObject::disconnect(c);
        throw;
    }
    QObject::disconnect(c);
    return outcomes;
}
