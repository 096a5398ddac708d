#pragma once
// Several starts of one search (MS=): the further start points spread over the
// box of the bounds, the share of the evaluation budget each start gets, and
// the protocol's list of the starts.
//
// The points come from a Latin hypercube drawn with a generator of our own and
// a fixed seed: every dimension is cut into as many equal cells as there are
// points, each cell holds exactly one point, and the same line gives the same
// points on every machine and with every library (the standard library's
// distributions differ between implementations).
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace multistart {

// A small generator with a 64-bit state (splitmix64): fast, well mixed and
// fully specified, so that its numbers are the same everywhere.
class Generator {
  public:
    explicit Generator(std::uint64_t seed) : state(seed) {}
    std::uint64_t next();
    // A number in [0, 1) with 53 random bits.
    double unit();
    // A whole number in [0, bound), bound > 0.
    std::uint64_t below(std::uint64_t bound);

  private:
    std::uint64_t state;
};

// `count` points (indexed from 0, one value per parameter) of a Latin
// hypercube over lower..upper, each value held to its bounds as the model's
// values are. Empty for a count below 1.
std::vector<std::vector<double>> spreadPoints(int count, const std::vector<double>& lower,
                                              const std::vector<double>& upper);

// The evaluations a start may use: what the earlier starts left of `total`,
// shared evenly among this start and the ones after it.
int shareOfBudget(int total, int used, int startsLeft);

// A share every start gets for certain, whatever the starts before it use,
// when each of them may run over its own share by at most `overrun`
// evaluations (the simplex finishes the iteration it has begun): the starts
// that go side by side need not wait for the earlier ones to end before they
// have used this much.
int lowestShare(int total, int starts, int overrun);

// How one start ended, for the protocol's list.
struct StartEnd {
    std::vector<double> from; // the start point, indexed from 0
    std::vector<double> to;   // the end point; empty when the start has none
    double criterion = 0;     // the value at its end (see criterionName)
    int runs = 0;             // evaluations the start used, taken from a journal or made
    QString how;              // how it ended
};

// The protocol's list: a heading (with `note` on what the values mean), then
// for every start its start point, its end point with `criterionLabel` and the
// runs, and how it ended; the last line names the start whose end is the
// result (best, from 0; -1 for none).
QStringList startList(const std::vector<StartEnd>& starts, int best, const QString& note,
                      const QString& criterionLabel);

// A vector's values for the protocol, separated by four blanks.
QString valuesText(const std::vector<double>& x);

} // namespace multistart
