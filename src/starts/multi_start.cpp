#include "starts/multi_start.h"

#include "base/number_format.h"
#include "evaluation/bounds.h"

#include <algorithm>
#include <numeric>

namespace multistart {

namespace {
// The seed of every run: the points depend only on the count and the bounds.
constexpr std::uint64_t kSeed = 0x5eed'f17a'0000'0001ULL;
} // namespace

std::uint64_t Generator::next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double Generator::unit() {
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

std::uint64_t Generator::below(std::uint64_t bound) {
    // The slight bias of the remainder does not matter here; being the same
    // everywhere does.
    return next() % bound;
}

std::vector<std::vector<double>> spreadPoints(int count, const std::vector<double>& lower,
                                              const std::vector<double>& upper) {
    if (count < 1)
        return {};
    const std::size_t n = std::min(lower.size(), upper.size());
    std::vector<std::vector<double>> points(static_cast<std::size_t>(count),
                                            std::vector<double>(n, 0.0));
    Generator random(kSeed);
    std::vector<int> cells(static_cast<std::size_t>(count));
    for (std::size_t j = 0; j < n; ++j) {
        std::iota(cells.begin(), cells.end(), 0);
        for (std::size_t i = cells.size() - 1; i > 0; --i)
            std::swap(cells[i], cells[static_cast<std::size_t>(random.below(i + 1))]);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const double t = (cells[i] + random.unit()) / count;
            // Weighted so that bounds of any size give a finite value.
            const double v = (1.0 - t) * lower[j] + t * upper[j];
            points[i][j] = clampToBounds(v, lower[j], upper[j]);
        }
    }
    return points;
}

int shareOfBudget(int total, int used, int startsLeft) {
    const int left = std::max(total - used, 0);
    return startsLeft > 0 ? left / startsLeft : left;
}

int lowestShare(int total, int starts, int overrun) {
    // With R_k left for start k and r_k = R_k / (starts - k) its even share,
    // a start using at most r_k + overrun leaves the next one at least
    // r_k - overrun / (starts - k - 1) >= r_k - overrun; so no start has less
    // than total / starts - overrun * (starts - 1).
    if (starts < 1)
        return std::max(total, 0);
    return std::max(std::max(total, 0) / starts - overrun * (starts - 1), 0);
}

QString valuesText(const std::vector<double>& x) {
    QString text;
    for (double v : x)
        text += formatGeneral(v) + QStringLiteral("    ");
    return text;
}

QStringList startList(const std::vector<StartEnd>& starts, int best, const QString& note,
                      const QString& criterionLabel) {
    QStringList lines;
    lines << QStringLiteral("Starts of the search: %1 (%2)").arg(starts.size()).arg(note);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const StartEnd& s = starts[k];
        lines << QStringLiteral("Start %1 from   ").arg(k + 1) + valuesText(s.from);
        if (s.to.empty())
            lines << QStringLiteral("  no end point; %1 model runs; %2").arg(s.runs).arg(s.how);
        else
            lines << QStringLiteral("  ends at   ") + valuesText(s.to)
                  << QStringLiteral("  %1=%2; %3 model runs; %4")
                         .arg(criterionLabel, formatGeneral(s.criterion))
                         .arg(s.runs)
                         .arg(s.how);
    }
    if (best >= 0)
        lines << QStringLiteral("The best end is that of start %1").arg(best + 1);
    return lines;
}

} // namespace multistart
