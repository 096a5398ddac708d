// One round of runs on a pool, with a pool whose runs end at once.
#include "runs/run_pool.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>

namespace {

// Each run ends on the next pass of the event loop. As with the real engines,
// the worker is free again before its outcome is told (from the event loop).
class InstantPool : public RunPool {
  public:
    explicit InstantPool(int workers) : busy(static_cast<std::size_t>(workers), false) {}
    int size() const override { return static_cast<int>(busy.size()); }
    int idle() const override { return static_cast<int>(std::count(busy.begin(), busy.end(), false)); }
    void start(const RunTicket& ticket) override {
        const auto free = std::find(busy.begin(), busy.end(), false);
        ASSERT_NE(free, busy.end());
        *free = true;
        const std::size_t worker = static_cast<std::size_t>(free - busy.begin());
        QTimer::singleShot(0, this, [this, worker, run = ticket.run] {
            busy[worker] = false;
            RunOutcome o;
            o.run = run;
            o.started = true;
            o.worker = static_cast<int>(worker) + 1;
            o.result.complete = true;
            QTimer::singleShot(0, this, [this, o] { emit finished(o); });
        });
    }
    void stopAll() override {}

  private:
    std::vector<bool> busy;
};

} // namespace

TEST(RunRound, ProgressNeverCountsMoreRunsGoingOnThanThereAreWorkers) {
    // Both workers end before the first outcome is taken: that outcome starts
    // two new runs while the second outcome is still on its way.
    InstantPool pool(2);
    std::vector<RunTicket> tickets(7);
    for (std::size_t k = 0; k < tickets.size(); ++k)
        tickets[k].run = static_cast<int>(k) + 1;
    std::vector<int> told;
    RunRound round;
    round.progress = [&](int running) { told.push_back(running); };
    const std::vector<RunOutcome> outcomes = runAll(pool, tickets, round);
    ASSERT_EQ(outcomes.size(), tickets.size());
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        EXPECT_EQ(outcomes[k].run, tickets[k].run);
        EXPECT_TRUE(outcomes[k].result.complete);
    }
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(*std::max_element(told.begin(), told.end()), 2);
    EXPECT_EQ(told.back(), 0);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
