#include "optim/simplex.h"

#include "base/fit_error.h"
#include "base/number_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

const QString kBudgetLine = QStringLiteral(" exit AMOEBA - too many iterations");
const QString kStopLine = QStringLiteral("optimisation stopped by the user");

// An incomplete model run comes back as +infinity; a NaN would break every
// comparison of the ranking, so it is ranked like an incomplete run.
double sane(double v) {
    return std::isnan(v) ? HUGE_VAL : v;
}

void sumCoordinates(int ndim, const SimplexVertices& p, ParameterVector& psum) {
    for (int j = 1; j <= ndim; ++j) {
        long double sum = 0.0L;
        for (int i = 1; i <= ndim + 1; ++i)
            sum += p[i][j];
        psum[j] = static_cast<double>(sum);
    }
}

// psum after vertex `old` has been replaced by `x`.
ParameterVector replacedSum(int ndim, const ParameterVector& psum, const ParameterVector& x,
                            const ParameterVector& old) {
    ParameterVector next = psum;
    for (int j = 1; j <= ndim; ++j)
        next[j] = static_cast<double>(static_cast<long double>(psum[j]) + x[j] - old[j]);
    return next;
}

// Vertex v moved halfway towards the best vertex.
ParameterVector shrunkVertex(int ndim, const ParameterVector& v, const ParameterVector& best) {
    ParameterVector x(ndim + 1, 0.0);
    for (int j = 1; j <= ndim; ++j)
        x[j] = static_cast<double>(0.5L * (static_cast<long double>(v[j]) + best[j]));
    return x;
}

// A value evaluated ahead stands for a point only if it is the very same point:
// bit for bit, so that -0 and 0 (which a model may well tell apart) differ.
bool samePoint(const ParameterVector& a, const ParameterVector& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

} // namespace

double roundR(double x) {
    // log10 is undefined for 0, and infinities or NaN have no digits to round.
    if (x == 0 || !std::isfinite(x))
        return x;
    const long double lx = x;
    const long double d = std::floor(std::log10(std::fabs(lx))) - 3.0L;
    const long double f = std::pow(10.0L, d);
    const long double r = x >= 0 ? std::trunc(lx / f + 0.5L) * f : std::trunc(lx / f - 0.5L) * f;
    const double result = static_cast<double>(r);
    // Rounding up next to the largest double would overflow; keep the value then.
    return std::isfinite(result) ? result : x;
}

void logSimplex(int ndim, int iteration, const ValueVector& y, const SimplexVertices& p,
                const std::function<void(const QString&, bool)>& log) {
    show_vertices(ndim, QStringLiteral("Iteration ") + QString::number(iteration), y, p, log);
}

void show_vertices(int ndim, const QString& heading, const ValueVector& y, const SimplexVertices& p,
                   const std::function<void(const QString&, bool)>& log) {
    log(heading, false);
    const QString gap = QStringLiteral("    ");
    for (int i = 1; i <= ndim + 1; ++i) {
        QString line = i == 1 ? QString() : gap;
        for (int j = 1; j <= ndim; ++j)
            line += formatGeneral(p[i][j]) + gap;
        log(line, false);
    }
    QString values = gap;
    for (int i = 1; i <= ndim + 1; ++i)
        values += formatGeneral(y[i]) + gap;
    log(values, false);
}

Simplex::Simplex(int dimensions, const ParameterVector& lower, const ParameterVector& upper,
                 int maxCalls, SimplexSink reporting)
    : ndim(dimensions), lowerBounds(lower), upperBounds(upper), maxEvaluations(maxCalls),
      sink(std::move(reporting)), lastError(std::nan("")) {
    if (ndim < 1)
        throw FitError(QStringLiteral("There are no parameters to optimise."));
    if (static_cast<int>(lowerBounds.size()) < ndim + 1 ||
        static_cast<int>(upperBounds.size()) < ndim + 1)
        throw FitError(
            QStringLiteral("The parameter bounds do not cover all %1 parameters.").arg(ndim));
    if (!this->sink.eval && !this->sink.evalBatch)
        throw FitError(QStringLiteral("The simplex has no objective function."));
}

void Simplex::log(const QString& line, bool select) const {
    if (sink.log)
        sink.log(line, select);
}

bool Simplex::stopNow() {
    if (stopFlag)
        return true;
    // A batch is only started after the stop question of its first point; that
    // answer holds for the point, whatever arrives while the batch runs.
    if (stopAskedAhead) {
        stopAskedAhead = false;
        return false;
    }
    if (sink.stopRequested && sink.stopRequested())
        stopFlag = true;
    return stopFlag;
}

bool Simplex::stoppedWhileLeftOut() {
    if (!stopFlag && sink.stopRequested && sink.stopRequested())
        stopFlag = true;
    return stopFlag;
}

double Simplex::evaluate(const ParameterVector& x) {
    for (auto& ahead : prefetched) {
        if (ahead.used || !samePoint(ahead.x, x))
            continue;
        ahead.used = true;
        // A point of a batch can be left out when a stop arrived while the batch
        // ran, after the stop question of the batch's first point. The stop
        // holds then; a point left out for another reason is run now.
        if (!ahead.outcome.evaluated) {
            if (stoppedWhileLeftOut())
                return HUGE_VAL;
            break;
        }
        if (ahead.outcome.error)
            std::rethrow_exception(ahead.outcome.error);
        lastError = sane(ahead.outcome.value);
        if (sink.taken)
            sink.taken(x, lastError);
        return lastError;
    }
    if (sink.eval) {
        lastError = sane(sink.eval(x));
    } else {
        const std::vector<BatchValue> one = sink.evalBatch({x});
        if ((one.empty() || !one[0].evaluated) && stoppedWhileLeftOut())
            return HUGE_VAL;
        if (one.empty() || !one[0].evaluated)
            throw FitError(QStringLiteral("A point of the search was not evaluated although no "
                                          "stop was requested."));
        if (one[0].error)
            std::rethrow_exception(one[0].error);
        lastError = sane(one[0].value);
    }
    if (sink.taken)
        sink.taken(x, lastError);
    return lastError;
}

ParameterVector Simplex::trialPoint(const ParameterVector& worst, const ParameterVector& psum,
                                    double fac) const {
    const long double fac1 = (1.0L - fac) / ndim;
    const long double fac2 = fac1 - fac;
    ParameterVector ptry(ndim + 1, 0.0);
    for (int j = 1; j <= ndim; ++j) {
        long double t = psum[j] * fac1 - worst[j] * fac2;
        // Lower bound first, then the upper one: with crossed bounds the upper wins.
        if (t <= lowerBounds[j])
            t = lowerBounds[j];
        if (t >= upperBounds[j])
            t = upperBounds[j];
        ptry[j] = static_cast<double>(t);
    }
    return ptry;
}

void Simplex::discardPrefetched() {
    for (const auto& ahead : prefetched)
        if (!ahead.used && ahead.outcome.evaluated)
            ++speculative;
    prefetched.clear();
    stopAskedAhead = false;
}

void Simplex::prefetch(std::vector<ParameterVector> points) {
    discardPrefetched();
    // The stop question of the batch's first point is asked now, before any run.
    if (stopNow())
        return;
    stopAskedAhead = true;
    std::vector<ParameterVector> distinct;
    for (auto& x : points) {
        bool seen = false;
        for (const auto& d : distinct)
            seen = seen || samePoint(d, x);
        if (!seen)
            distinct.push_back(std::move(x));
    }
    const std::vector<BatchValue> outcomes = sink.evalBatch(distinct);
    if (outcomes.size() > distinct.size())
        throw FitError(QStringLiteral("The batch evaluation returned %1 values for %2 points.")
                           .arg(outcomes.size())
                           .arg(distinct.size()));
    for (std::size_t k = 0; k < distinct.size(); ++k)
        prefetched.push_back(
            {std::move(distinct[k]), k < outcomes.size() ? outcomes[k] : BatchValue{}, false});
    // A first point left out (a stop arrived before it could start) has had no
    // run: its stop question is asked again.
    if (!prefetched.front().outcome.evaluated)
        stopAskedAhead = false;
}

namespace {
// The points of an iteration by their place in its batch.
enum FollowUp {
    kOnlyReflection = 0,
    kExpansion = 1,
    kInsideContraction = 2,
    kOutsideContraction = 3
};
} // namespace

int Simplex::guessedFollowUp() const {
    // The move the last iterations all made; none when they differ. Moves
    // change often near a valley or a failing region, and a guess that misses
    // as often as it hits only takes a core from the run the search waits for.
    for (int f : recentFollowUps)
        if (f != recentFollowUps[0])
            return kOnlyReflection;
    return recentFollowUps[0];
}

void Simplex::prefetchIteration(const SimplexVertices& p, const ParameterVector& psum, int ihi) {
    // The points are computed exactly as tryPoint will compute them: the reflection
    // from the simplex as it is, the others from the simplex with the reflected
    // point in place of vertex ihi (the psum update of tryPoint), or without it.
    const ParameterVector reflected = trialPoint(p[ihi], psum, -1.0);
    const ParameterVector acceptedSum = replacedSum(ndim, psum, reflected, p[ihi]);
    static_assert(kMostPointsAhead == 4, "the iteration's points listed below");
    std::vector<ParameterVector> points = {
        reflected,
        trialPoint(reflected, acceptedSum, 2.0),
        trialPoint(p[ihi], psum, 0.5),
        trialPoint(reflected, acceptedSum, 0.5),
    };
    if (sink.batchWidth > 0 && static_cast<int>(points.size()) > sink.batchWidth) {
        const int guess = guessedFollowUp();
        if (guess == kOnlyReflection) {
            points.resize(1);
        } else {
            std::rotate(points.begin() + 1, points.begin() + guess, points.begin() + guess + 1);
            points.resize(sink.batchWidth);
        }
    }
    prefetch(std::move(points));
}

void Simplex::prefetchShrink(const SimplexVertices& p, int ilo) {
    std::vector<ParameterVector> points;
    for (int i = 1; i <= ndim + 1; ++i)
        if (i != ilo)
            points.push_back(shrunkVertex(ndim, p[i], p[ilo]));
    prefetch(std::move(points));
}

double Simplex::tryPoint(SimplexVertices& p, ValueVector& y, ParameterVector& psum, int ihi,
                         int& count, double fac) {
    // A stop leaves the simplex as it is: no trial point is evaluated.
    if (stopNow())
        return HUGE_VAL;

    const ParameterVector ptry = trialPoint(p[ihi], psum, fac);
    if (fac < 0)
        ++moveCount.reflections;
    else if (fac > 1)
        ++moveCount.expansions;
    else
        ++moveCount.contractions;

    const double ytry = evaluate(ptry);
    if (stopFlag)
        return HUGE_VAL;
    ++count;
    if (ytry < y[ihi]) {
        y[ihi] = ytry;
        psum = replacedSum(ndim, psum, ptry, p[ihi]);
        for (int j = 1; j <= ndim; ++j)
            p[ihi][j] = ptry[j];
        if (sink.logStep)
            sink.logStep(count);
        else
            log(QStringLiteral("step") + QString::number(count), false);
        QString tryLine = QStringLiteral("  try   ");
        for (int j = 1; j <= ndim; ++j)
            tryLine += formatGeneral(roundR(ptry[j])) + QStringLiteral("    ");
        log(tryLine, false);
        log(QStringLiteral("  func=") + formatGeneral(ytry), true);
    }
    return ytry;
}

void Simplex::resetSearch(int& count, int firstCount) {
    count = firstCount;
    term = Termination::None;
    stopFlag = false;
    moveCount = Moves();
    discardPrefetched();
    speculative = 0;
    std::fill(std::begin(recentFollowUps), std::end(recentFollowUps), int(kOnlyReflection));
    recentAt = 0;
}

void Simplex::takeVertices(const SimplexVertices& p, ValueVector& y) const {
    if (static_cast<int>(p.size()) < ndim + 2 || static_cast<int>(y.size()) < ndim + 2)
        throw FitError(QStringLiteral("The simplex needs %1 vertices.").arg(ndim + 1));
    for (int i = 1; i <= ndim + 1; ++i) {
        if (static_cast<int>(p[i].size()) < ndim + 1)
            throw FitError(
                QStringLiteral("Vertex %1 of the simplex has too few coordinates.").arg(i));
        y[i] = sane(y[i]);
    }
}

Simplex::Ranking Simplex::rank(const ValueVector& y) const {
    Ranking r;
    if (y[1] > y[2]) {
        r.ihi = 1;
        r.inhi = 2;
    } else {
        r.ihi = 2;
        r.inhi = 1;
    }
    for (int i = 1; i <= ndim + 1; ++i) {
        if (y[i] < y[r.ilo])
            r.ilo = i;
        if (y[i] > y[r.ihi]) {
            r.inhi = r.ihi;
            r.ihi = i;
        } else if (y[i] > y[r.inhi] && i != r.ihi) {
            r.inhi = i;
        }
    }
    return r;
}

bool Simplex::hasConverged(const ValueVector& y, const Ranking& r, double ftol) {
    // Relative spread of the values. Two zero values agree exactly (rtol 0);
    // an infinite spread gives an infinite or NaN quotient, which must never
    // count as converged: an incomplete run is not a fit.
    const long double hi = y[r.ihi];
    const long double lo = y[r.ilo];
    const long double denom = std::fabs(hi) + std::fabs(lo);
    const long double rtol = denom == 0.0L ? 0.0L : 2.0L * std::fabs(hi - lo) / denom;
    return rtol < ftol;
}

bool Simplex::budgetSpent(int count) {
    if (count >= maxEvaluations && sink.exactBudget)
        maxEvaluations = sink.exactBudget();
    return count >= maxEvaluations;
}

void Simplex::endOnStop() {
    term = Termination::Stopped;
    log(kStopLine, true);
}

void Simplex::rememberFollowUp(double ytry, double worst, const ValueVector& y, const Ranking& r) {
    recentAt = (recentAt + 1) % kRecentIterations;
    recentFollowUps[recentAt] = ytry <= y[r.ilo] && ytry < HUGE_VAL ? kExpansion
                                : ytry < y[r.inhi]                  ? kOnlyReflection
                                : ytry < worst                      ? kOutsideContraction
                                                                    : kInsideContraction;
}

bool Simplex::iterate(SimplexVertices& p, ValueVector& y, ParameterVector& psum, const Ranking& r,
                      int& count) {
    if (sink.evalBatch)
        prefetchIteration(p, psum, r.ihi);
    const double worst = y[r.ihi];
    const double ytry = tryPoint(p, y, psum, r.ihi, count, -1.0);
    if (stopFlag)
        return false;
    rememberFollowUp(ytry, worst, y, r);
    // An infinite trial is never an improvement, not even over a simplex whose
    // values are all infinite, so it leads to contraction, not expansion.
    if (ytry <= y[r.ilo] && ytry < HUGE_VAL) {
        tryPoint(p, y, psum, r.ihi, count, 2.0);
        return !stopFlag;
    }
    if (ytry >= y[r.inhi])
        return contract(p, y, psum, r, count);
    return true;
}

bool Simplex::contract(SimplexVertices& p, ValueVector& y, ParameterVector& psum, const Ranking& r,
                       int& count) {
    const double ysave = y[r.ihi];
    const double ytry = tryPoint(p, y, psum, r.ihi, count, 0.5);
    if (stopFlag)
        return false;
    if (ytry >= ysave)
        return shrink(p, y, psum, r.ilo, count);
    return true;
}

bool Simplex::shrink(SimplexVertices& p, ValueVector& y, ParameterVector& psum, int ilo,
                     int& count) {
    // Shrink towards the best vertex. Each new vertex is built in psum,
    // evaluated, and only then stored, so a stop or an error leaves
    // every vertex with the value that belongs to it.
    if (sink.shrinking)
        sink.shrinking(true);
    struct SearchAgain {
        const SimplexSink& sink;
        ~SearchAgain() {
            if (sink.shrinking)
                sink.shrinking(false);
        }
    } searchAgain{sink};
    ++moveCount.shrinks;
    if (sink.evalBatch)
        prefetchShrink(p, ilo);
    for (int i = 1; i <= ndim + 1; ++i) {
        if (i == ilo)
            continue;
        if (stopNow())
            break;
        psum = shrunkVertex(ndim, p[i], p[ilo]);
        const double v = evaluate(psum);
        if (stopFlag)
            break;
        for (int j = 1; j <= ndim; ++j)
            p[i][j] = psum[j];
        y[i] = v;
        ++count;
    }
    sumCoordinates(ndim, p, psum);
    return !stopFlag;
}

void Simplex::minimise(SimplexVertices& p, ValueVector& y, int& count, double ftol,
                       int firstCount) {
    resetSearch(count, firstCount);
    // Whichever way minimise ends, what was evaluated ahead and not used is counted.
    struct Discard {
        Simplex* s;
        ~Discard() { s->discardPrefetched(); }
    } discard{this};
    takeVertices(p, y);

    ParameterVector psum(ndim + 1, 0.0);
    sumCoordinates(ndim, p, psum);
    for (;;) {
        const Ranking r = rank(y);
        if (hasConverged(y, r, ftol)) {
            term = Termination::Converged;
            return;
        }
        if (budgetSpent(count)) {
            term = Termination::Budget;
            log(kBudgetLine, false);
            return;
        }
        if (!iterate(p, y, psum, r, count))
            return endOnStop();
    }
}
