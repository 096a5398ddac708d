#include "analysis/sensitivity_table.h"

void SensitivityTable::reset(int rows, int parameters, bool centralDifferences) {
    given.clear();
    observationCount = rows;
    ndim = parameters;
    central = centralDifferences;
    base.clear();
    raised.assign(std::size_t(ndim), {});
    lowered.assign(central ? std::size_t(ndim) : 0, {});
    up.assign(std::size_t(ndim), 0);
    down.assign(std::size_t(ndim), 0);
}

void SensitivityTable::setBase(std::vector<double>&& values) {
    base = std::move(values);
}

void SensitivityTable::setRaised(int j, std::vector<double>&& values, double step) {
    raised[std::size_t(j - 1)] = std::move(values);
    up[std::size_t(j - 1)] = step;
}

void SensitivityTable::setLowered(int j, std::vector<double>&& values, double stepDown) {
    lowered[std::size_t(j - 1)] = std::move(values);
    down[std::size_t(j - 1)] = stepDown;
}

long double SensitivityTable::at(int k, int j) const {
    if (!given.empty())
        return given[std::size_t(k)][std::size_t(j)];
    if (k < 1)
        return 0; // row 0 of the matrix, not used, reads as zeros
    const std::size_t row = std::size_t(k - 1);
    if (j == 0)
        return base[row];
    const std::size_t p = std::size_t(j - 1);
    // A forward difference over the step taken, or a central one over both.
    if (central)
        return (static_cast<long double>(raised[p][row]) - lowered[p][row]) /
               (static_cast<long double>(up[p]) + down[p]);
    return (static_cast<long double>(raised[p][row]) - static_cast<long double>(base[row])) / up[p];
}

int SensitivityTable::size() const {
    if (!given.empty())
        return int(given.size());
    return observationCount > 0 ? observationCount + 1 : 0;
}

int SensitivityTable::columns(int k) const {
    if (!given.empty())
        return int(given[std::size_t(k)].size());
    return k >= 0 && k <= observationCount ? ndim + 1 : 0;
}
