#include "optim/calibration.h"

#include "base/fit_error.h"
#include "base/number_format.h"
#include "evaluation/bounds.h"
#include "evaluation/evaluator.h"
#include "evaluation/run_journal.h"
#include "starts/interleaved_starts.h"
#include "starts/multi_start.h"
#include "paramdb/database.h"
#include "paramdb/parameter_table.h"
#include "paramdb/stored_results.h"
#include "runs/parallel_runs.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace {
const QString kEmptyParmInt =
    QStringLiteral("PARM_INT holds no parameters: there is nothing to optimise.");

// The same point, bit for bit (the simplex matches points evaluated ahead so).
bool samePoint(const ParameterVector& a, const ParameterVector& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Counts a run the search takes, and keeps the best complete value.
// A value taken for the search: the best so far when complete.
void noteBest(CalibrationSummary& summary, bool complete, double e) {
    if (complete && (!summary.haveBest || e < summary.best)) {
        summary.best = e;
        summary.haveBest = true;
    }
}

// A model run made now.
void countRun(CalibrationSummary& summary, bool complete, double e) {
    ++summary.modelRuns;
    noteBest(summary, complete, e);
}

// Reports a run (reportRun); an incomplete one is kept in `lastIncomplete`
// for the error that ends the calibration when no run of its first simplex
// completes.
double reportNotingIncomplete(Reporter& out, const EvaluationResult& run, bool& complete,
                              EvaluationResult& lastIncomplete) {
    const double e = reportRun(out, run, &complete);
    if (!complete)
        lastIncomplete = run;
    return e;
}

// A vector indexed from 1 as one indexed from 0, and back.
std::vector<double> zeroBased(const ParameterVector& x) {
    return std::vector<double>(x.begin() + 1, x.end());
}
ParameterVector oneBased(const std::vector<double>& x) {
    ParameterVector v(x.size() + 1, 0.0);
    std::copy(x.begin(), x.end(), v.begin() + 1);
    return v;
}

// The centroid of a simplex (1..ndim+1), summed in extended precision.
ParameterVector centroidOf(const SimplexVertices& p, int ndim) {
    ParameterVector c(ndim + 1, 0.0);
    for (int j = 1; j <= ndim; ++j) {
        long double sum = 0.0L;
        for (int i = 1; i <= ndim + 1; ++i)
            sum += p[i][j];
        c[j] = static_cast<double>(sum / (ndim + 1));
    }
    return c;
}

double lowestValue(const ValueVector& y, int ndim) {
    double lowest = HUGE_VAL;
    for (int i = 1; i <= ndim + 1; ++i)
        lowest = std::min(lowest, y[i]);
    return lowest;
}

// A simplex around x (held to the bounds): x, and one vertex per parameter
// displaced by its step, away from a bound the step would cross, or to the
// farther bound where neither direction has room for the whole step. A
// vertex beyond a bound would be clipped by the evaluation and lie in the
// bound's face with x, the very loss of a dimension a new simplex repairs.
SimplexVertices simplexAround(const ParameterVector& x, const ParameterVector& step,
                              const ParameterVector& lowerBounds,
                              const ParameterVector& upperBounds, int ndim) {
    ParameterVector centre = x;
    for (int j = 1; j <= ndim; ++j)
        centre[j] = clampToBounds(x[j], lowerBounds[j], upperBounds[j]);
    SimplexVertices p(ndim + 2, centre);
    for (int j = 1; j <= ndim; ++j) {
        const double c = centre[j];
        double moved = c + step[j];
        if (moved > upperBounds[j] || moved < lowerBounds[j])
            moved = c - step[j];
        if (moved > upperBounds[j] || moved < lowerBounds[j])
            moved = upperBounds[j] - c >= c - lowerBounds[j] ? upperBounds[j] : lowerBounds[j];
        p[j + 1][j] = moved;
    }
    return p;
}

QString endText(Simplex::Termination t) {
    switch (t) {
    case Simplex::Termination::Converged:
        return QStringLiteral("converged");
    case Simplex::Termination::Budget:
        return QStringLiteral("its share of the evaluations (NX) spent");
    default:
        return QStringLiteral("stopped");
    }
}

// A parallel run that did not end as a result: stopped (or never started), or failed.
bool withoutResult(const RunOutcome& o) {
    if (o.failed && !o.stopped)
        throw FitError(ParallelRuns::failureText(o));
    return o.failed || o.stopped || !o.started;
}
} // namespace

namespace {

// The box and the start of the search, 1..ndim: bounds, IVAL and STEP.
struct ParameterBox {
    ParameterVector lower, upper, initial, step;
};

ParameterBox readParameterBox(Database& db, int ndim) {
    ParameterBox box{ParameterVector(ndim + 1, 0.0), ParameterVector(ndim + 1, 0.0),
                     ParameterVector(ndim + 1, 0.0), ParameterVector(ndim + 1, 0.0)};
    const std::vector<ParameterRecord> records = ParameterTable(db).records();
    for (int i = 1; i <= ndim && i <= static_cast<int>(records.size()); ++i) {
        const ParameterRecord& r = records[i - 1];
        box.initial[i] = numberOf(r.initial);
        box.step[i] = numberOf(r.step);
        box.upper[i] = numberOf(r.maximum);
        box.lower[i] = numberOf(r.minimum);
    }
    return box;
}

} // namespace

namespace {
// What one start of the search keeps while it runs, and how it ended.
struct StartRun {
    explicit StartRun(Reporter& reporter) : output(reporter) {}
    StartOutput output;
    // A run made ahead, waiting for the search to take it.
    struct Waiting {
        ParameterVector x;
        RunOutcome outcome;
        std::optional<double> replayed;
    };
    std::vector<Waiting> waiting;
    // Its last incomplete run: why, its failure and the model's output, from
    // this program's evaluator or a worker's.
    EvaluationResult lastIncomplete;
    int used = 0;           // its evaluations counted against NX
    // Its share of NX, counted from its own first evaluation; until
    // shareKnown, only a part of it that it has for certain.
    int share = 0;
    bool shareKnown = false;
    std::optional<multistart::StartEnd> end; // for the list of the starts
    bool stopped = false;
    bool noResult = false; // stopped before any of its runs completed
    // Its final simplex, when its search ran.
    bool searched = false;
    double endValue = HUGE_VAL;
    SimplexVertices endSimplex;
    Simplex::Termination termination = Simplex::Termination::None;
    ParameterVector bestVertex; // the best vertex it has seen
    double bestVertexValue = HUGE_VAL;
    double lastError = 0; // the value of its last evaluation
    bool haveLastError = false;
    int speculative = 0;

    void noteVertices(const SimplexVertices& p, const ValueVector& y, int ndim) {
        for (int i = 1; i <= ndim + 1; ++i)
            if (std::isfinite(y[i]) && (bestVertex.empty() || y[i] < bestVertexValue)) {
                bestVertex = p[i];
                bestVertexValue = y[i];
            }
    }
};
} // namespace

// The end of every start and the one whose end is the best (the result), and
// the best vertex seen at the end of a search: the result of a stopped one.
struct Calibration::StartEnds {
    std::vector<multistart::StartEnd> ends;
    int chosen = -1;
    double chosenValue = HUGE_VAL;
    SimplexVertices chosenP;
    Simplex::Termination chosenEnd = Simplex::Termination::None;
    ParameterVector bestVertex;
    double bestVertexValue = HUGE_VAL;

    // Start k ended with this simplex; the best end so far becomes the result.
    void choose(int k, double endValue, const SimplexVertices& p, Simplex::Termination end) {
        if (chosen < 0 || endValue < chosenValue) {
            chosen = k;
            chosenValue = endValue;
            chosenP = p;
            chosenEnd = end;
        }
    }

    // The result, held to the bounds: the best vertex seen when it is offered
    // (a stopped search), otherwise the centroid of the chosen end's simplex.
    ParameterVector result(bool offerBestVertex, int ndim, const ParameterVector& lowerBounds,
                           const ParameterVector& upperBounds) const {
        ParameterVector x = offerBestVertex ? bestVertex : centroidOf(chosenP, ndim);
        for (int j = 1; j <= ndim; ++j)
            x[j] = clampToBounds(x[j], lowerBounds[j], upperBounds[j]);
        return x;
    }

    // The protocol's list of the ends; none is marked as the result when the
    // best vertex is offered instead.
    QStringList startList(bool offerBestVertex, const QString& criterionName) const {
        return multistart::startList(ends, offerBestVertex ? -1 : chosen,
                                     QStringLiteral("the criterion of each end is that of its best "
                                                    "vertex; the result is the centroid of the "
                                                    "best end's simplex"),
                                     criterionName);
    }
};

namespace {
void noteOutcome(CalibrationSummary& summary, Simplex::Termination end) {
    switch (end) {
    case Simplex::Termination::Converged:
        summary.outcome = Outcome::Converged;
        summary.reason = QStringLiteral("the values of the simplex agree within the tolerance");
        break;
    case Simplex::Termination::Budget:
        summary.outcome = Outcome::BudgetSpent;
        summary.reason = QStringLiteral("the evaluations allowed (Nmax) are spent");
        break;
    case Simplex::Termination::Stopped:
    case Simplex::Termination::None:
        summary.outcome = Outcome::Stopped;
        summary.reason = QStringLiteral("stopped on request");
        break;
    }
}
} // namespace

int parameterCount(Database& db) {
    return ParameterTable(db).count();
}

Calibration::Calibration(const CalibrationSettings& settings, Database& database, Evaluator& eval,
                         Reporter& reporter)
    : cfg(settings), db(database), evaluator(eval), report(reporter) {}

int startFromInitialValues(Database& db) {
    ParameterTable(db).resetToInitial();
    const int ndim = parameterCount(db);
    if (ndim == 0)
        throw FitError(kEmptyParmInt);
    return ndim;
}

int Calibration::usefulWorkers(const CalibrationSettings& settings, int parameters) {
    if (settings.leastSquares)
        return 1 + (settings.centralDifferences ? 2 : 1) * std::max(parameters, 1);
    return Simplex::kMostPointsAhead;
}

// The starts of one calibration and what they share: the box of the
// parameters, the start points, the pool and the journal, the simplex's
// callbacks, and each start's own state. `run` makes every start (side by
// side on the pool when there are several starts and workers), then gathers
// their ends.
class Calibration::SimplexStarts {
  public:
    SimplexStarts(Calibration& calibration, CalibrationSummary& operationSummary, int parameters)
        : c(calibration), cfg(calibration.cfg), summary(operationSummary), ndim(parameters),
          box(readParameterBox(calibration.db, parameters)), starts(std::max(cfg.starts, 1)),
          side(calibration.parallel && starts > 1 && calibration.parallel->workers() > 1
                   ? calibration.parallel
                   : nullptr),
          journal(calibration.evaluator.journal()) {
        // The start points: IVAL, and with MS= further points spread over the box.
        from.push_back(box.initial);
        for (const auto& point :
             multistart::spreadPoints(starts - 1, zeroBased(box.lower), zeroBased(box.upper)))
            from.push_back(oneBased(point));
        for (int k = 0; k < starts; ++k) {
            runs.push_back(std::make_unique<StartRun>(c.report));
            outputs.push_back(&runs.back()->output);
        }
        connectSink();
    }

    // Makes every start; false when the first was stopped before any of its
    // runs completed (there is then no result).
    bool run() {
        side.run(
            outputs, [this](int k) { runStart(k); },
            [this](int k) { return runs[static_cast<std::size_t>(k)]->stopped; });
        if (journal)
            journal->setStage(QString());
        return !runs[0]->noResult;
    }

    // The ends in the order of the starts: the first of equal ends is the
    // result. `stopped` and `speculativeRuns` for the protocol's end.
    StartEnds ends(bool& stopped, int& speculativeRuns) {
        StartEnds starting;
        stopped = false;
        speculativeRuns = 0;
        for (int k = 0; k < starts; ++k) {
            const StartRun& s = *runs[static_cast<std::size_t>(k)];
            if (s.end)
                starting.ends.push_back(*s.end);
            stopped = stopped || s.stopped;
            speculativeRuns += s.speculative;
            if (!s.bestVertex.empty() &&
                (starting.bestVertex.empty() || s.bestVertexValue < starting.bestVertexValue)) {
                starting.bestVertex = s.bestVertex;
                starting.bestVertexValue = s.bestVertexValue;
            }
            if (s.searched)
                starting.choose(k, s.endValue, s.endSimplex, s.termination);
            if (s.haveLastError) {
                summary.lastError = s.lastError;
                summary.haveLastError = true;
            }
        }
        return starting;
    }

    const ParameterBox& parameterBox() const { return box; }

  private:
    int currentIndex() const { return side.current(); }
    StartRun& current() { return *runs[static_cast<std::size_t>(currentIndex())]; }
    Reporter& out() { return current().output; }
    void logLine(const QString& line, bool select) { out().log(line, select); }

    // The evaluations of the starts before start k: the step numbers of its
    // log go on from them, and its share of NX is what they left. Known once
    // they have ended.
    int offsetOf(int k) const {
        int used = 0;
        for (int j = 0; j < k; ++j)
            used += runs[static_cast<std::size_t>(j)]->used;
        return used;
    }
    // The share of start k: its budget, counted from its own first evaluation.
    int settle(int k) {
        StartRun& s = *runs[static_cast<std::size_t>(k)];
        if (!s.shareKnown) {
            side.awaitEarlierStarts();
            s.share = starts > 1
                          ? multistart::shareOfBudget(cfg.maxEvaluations, offsetOf(k), starts - k)
                          : cfg.maxEvaluations;
            s.shareKnown = true;
        }
        return s.share;
    }
    bool budgetAtLeast(int k, int need) {
        return runs[static_cast<std::size_t>(k)]->share >= need || settle(k) >= need;
    }

    // An incomplete model run is worse than every complete one. A resumed
    // calibration takes the criterion of a vector its earlier start completed
    // from the journal, and reports it as if the model had run.
    double objective(const ParameterVector& x) {
        bool complete = true;
        double e = 0;
        std::optional<double> replayed;
        if (journal)
            replayed = journal->replay(ParameterVector(x.begin() + 1, x.begin() + 1 + ndim));
        if (replayed) {
            e = *replayed;
            out().evaluated(e);
            noteBest(summary, true, e);
        } else {
            e = reportNotingIncomplete(out(), c.evaluator.evaluate(x, Reading::Criterion),
                                       complete, current().lastIncomplete);
            countRun(summary, complete, e);
        }
        return complete ? e : HUGE_VAL;
    }

    // The vertices of an initial simplex; returns how many were evaluated (a
    // stop leaves the others at +infinity).
    int evaluateVertices(const SimplexVertices& p, ValueVector& y) {
        if (journal)
            journal->setPhase(journal::Phase::InitialSimplex);
        if (c.parallel)
            return c.initialSimplexInParallel(p, y, ndim, summary, current().lastIncomplete, out(),
                                              side.sideBySide() ? &side : nullptr);
        int evaluated = 0;
        for (int v = 1; v <= ndim + 1; ++v) {
            if (out().stopRequested()) {
                y[v] = HUGE_VAL; // not evaluated
                continue;
            }
            if (cfg.pauseBeforeVertexMs > 0 && !(journal && journal->resuming()))
                QThread::msleep(static_cast<unsigned long>(cfg.pauseBeforeVertexMs));
            out().processEvents();
            y[v] = objective(p[v]);
            ++evaluated;
            out().processEvents();
        }
        return evaluated;
    }

    bool anyFinite(const ValueVector& y) const {
        for (int v = 1; v <= ndim + 1; ++v)
            if (std::isfinite(y[v]))
                return true;
        return false;
    }

    // Parallel: the points of a step, run as one round (or taken from the
    // journal). Their results wait until the search takes them; only then are
    // they reported and counted, in the search's order. Their journal rows are
    // written as the runs end, as speculative, and retaken in the phase of the
    // moment when the search takes them; those it never takes stay speculative.
    std::vector<BatchValue> evaluateBatch(const std::vector<ParameterVector>& points) {
        std::vector<StartRun::Waiting>& waiting = current().waiting;
        std::vector<BatchValue> values(points.size());
        std::vector<ParameterVector> toRun;
        std::vector<std::size_t> runIndex;
        for (std::size_t k = 0; k < points.size(); ++k) {
            std::optional<double> replayed;
            if (journal)
                replayed = journal->replay(
                    ParameterVector(points[k].begin() + 1, points[k].begin() + 1 + ndim), false);
            if (replayed) {
                values[k].evaluated = true;
                values[k].value = *replayed;
                waiting.push_back({points[k], RunOutcome{}, replayed});
            } else {
                toRun.push_back(points[k]);
                runIndex.push_back(k);
            }
        }
        if (toRun.empty())
            return values;
        const std::vector<RunOutcome> outcomes =
            side.sideBySide() ? side.round(toRun, Reading::Criterion)
                              : c.parallel->round(toRun, Reading::Criterion, 0, false, true);
        for (std::size_t i = 0; i < toRun.size(); ++i) {
            const std::size_t k = runIndex[i];
            const RunOutcome& o = outcomes[i];
            if (o.failed && !o.stopped) {
                if (journal)
                    c.parallel->retake(toRun[i], o, journal->phase());
                values[k].evaluated = true;
                values[k].error = std::make_exception_ptr(FitError(ParallelRuns::failureText(o)));
            } else if (!o.failed && !o.stopped && o.started) {
                values[k].evaluated = true;
                values[k].value = o.result.complete ? o.result.criterion : HUGE_VAL;
                waiting.push_back({toRun[i], o, std::nullopt});
            } else if (journal) {
                c.parallel->retake(toRun[i], o, journal->phase()); // ended by a stop
            }
        }
        return values;
    }

    // Parallel: the search took the value at x; its run is reported and counted now.
    void taken(const ParameterVector& x) {
        std::vector<StartRun::Waiting>& waiting = current().waiting;
        for (auto it = waiting.rbegin(); it != waiting.rend(); ++it) {
            if (!samePoint(it->x, x))
                continue;
            if (it->replayed) {
                journal->countReplayed();
                out().evaluated(*it->replayed);
                noteBest(summary, true, *it->replayed);
            } else {
                if (journal)
                    c.parallel->retake(it->x, it->outcome, journal->phase());
                bool complete = true;
                const double e = reportNotingIncomplete(out(), it->outcome.result, complete,
                                                        current().lastIncomplete);
                countRun(summary, complete, e);
            }
            waiting.erase(std::next(it).base());
            out().processEvents();
            return;
        }
    }

    void connectSink() {
        sink.log = [this](const QString& line, bool select) { logLine(line, select); };
        // A step's number counts the evaluations of the starts before this one
        // too, so it is written once they have ended.
        sink.logStep = [this](int count) {
            const int k = currentIndex();
            current().output.later([this, k, count](Reporter& r) {
                r.log(QStringLiteral("step") + QString::number(offsetOf(k) + count), false);
            });
        };
        sink.exactBudget = [this] { return settle(currentIndex()); };
        if (c.parallel) {
            // Side by side, the starts share the workers.
            sink.batchWidth = side.sideBySide() ? std::max(1, c.parallel->workers() / starts)
                                                : c.parallel->workers();
            sink.evalBatch = [this](const std::vector<ParameterVector>& points) {
                return evaluateBatch(points);
            };
            sink.taken = [this](const ParameterVector& x, double) { taken(x); };
        } else {
            sink.eval = [this](const ParameterVector& x) { return objective(x); };
        }
        sink.stopRequested = [this] { return c.report.stopRequested(); };
        if (journal)
            sink.shrinking = [this](bool shrinking) {
                journal->setPhase(shrinking ? journal::Phase::Shrink : journal::Phase::Search);
            };
    }

    // One search of the simplex on the start's share of the budget, counting
    // on from the evaluations the start has used; returns how it ended.
    Simplex::Termination search(SimplexVertices& p, ValueVector& y, double ftol) {
        StartRun& s = current();
        if (journal)
            journal->setPhase(journal::Phase::Search);
        Simplex simplex(ndim, box.lower, box.upper, s.share, sink);
        int count = 0;
        simplex.minimise(p, y, count, ftol, s.used);
        s.used = count;
        s.speculative += simplex.speculativeEvaluations();
        s.waiting.clear(); // what was run ahead and not taken belongs to this search only
        if (!std::isnan(simplex.finalValue())) {
            s.lastError = simplex.finalValue();
            s.haveLastError = true;
        }
        return simplex.termination();
    }

    // Trial points are clipped to the bounds, so vertices can come to share a
    // bound's value and the simplex loses that dimension for good. A simplex
    // started afresh around the result has it again: up to NR= restarts of
    // start k while they improve by more than the tolerance. p, y and end
    // become the restart's when it is kept; stopped is set by a stop.
    void restart(int k, const QString& stage, SimplexVertices& p, ValueVector& y,
                 Simplex::Termination& end, bool& stopped, double ftol) {
        for (int r = 1; r <= cfg.restarts && end == Simplex::Termination::Converged; ++r)
            if (!restartOnce(k, r, stage, p, y, end, stopped, ftol))
                break;
    }

    // Restart r of start k; false when no further restart is to follow.
    bool restartOnce(int k, int r, const QString& stage, SimplexVertices& p, ValueVector& y,
                     Simplex::Termination& end, bool& stopped, double ftol) {
        StartRun& s = *runs[static_cast<std::size_t>(k)];
        Reporter& log = s.output;
        const double before = lowestValue(y, ndim);
        if (!budgetAtLeast(k, s.used + ndim + 2)) {
            log.log(QStringLiteral("No restart: fewer than %1 of the evaluations allowed "
                                   "(NX) are left")
                        .arg(ndim + 2));
            return false;
        }
        if (journal)
            journal->setStage(stage.isEmpty() ? QStringLiteral("restart %1").arg(r)
                                              : stage + QStringLiteral(", restart %1").arg(r));
        log.log(QStringLiteral("Restart %1 around the centroid, %2=%3 at the best vertex "
                               "so far")
                    .arg(r)
                    .arg(cfg.criterionName(), formatGeneral(before)),
                true);
        s.noteVertices(p, y, ndim);
        SimplexVertices q =
            simplexAround(centroidOf(p, ndim), box.step, box.lower, box.upper, ndim);
        ValueVector qy(ndim + 2, 0.0);
        s.used += evaluateVertices(q, qy);
        if (!anyFinite(qy)) {
            stopped = log.stopRequested();
            if (!stopped)
                log.log(QStringLiteral("Restart %1 ends: none of the %2 model runs of its "
                                       "simplex completed")
                            .arg(r)
                            .arg(ndim + 1));
            return false;
        }
        logSimplex(ndim, 0, qy, q, sink.log);
        const Simplex::Termination again = search(q, qy, ftol);
        const double after = lowestValue(qy, ndim);
        if (again == Simplex::Termination::Stopped) {
            stopped = true;
            s.noteVertices(q, qy, ndim);
            return false;
        }
        log.log(QStringLiteral("Restart %1 ends: %2=%3 at the best vertex, %4 before it")
                    .arg(r)
                    .arg(cfg.criterionName(), formatGeneral(after), formatGeneral(before)),
                true);
        return weighRestart(log, r, before, after, again, q, qy, p, y, end, ftol);
    }

    // After restart r, which lowered the best value from `before` to `after`:
    // keeps its simplex q (into p, y and end) when it is better by more than
    // the tolerance, or better and converged; false when it improved by no
    // more than the tolerance, so that no further restart follows.
    bool weighRestart(Reporter& log, int r, double before, double after, Simplex::Termination again,
                      const SimplexVertices& q, const ValueVector& qy, SimplexVertices& p,
                      ValueVector& y, Simplex::Termination& end, double ftol) {
        // The relative improvement, measured as the simplex measures its spread.
        const double gain =
            after < before ? 2 * (before - after) / (std::fabs(before) + std::fabs(after)) : 0.0;
        // One that spent the budget for a gain within the tolerance is still
        // spread out, and its centroid would be a worse result than the
        // converged one before it.
        if (after < before && (gain > ftol || again == Simplex::Termination::Converged)) {
            p = q;
            y = qy;
            end = again;
        } else {
            log.log(QStringLiteral("Restart %1 is not kept: the simplex before it stays "
                                   "the result")
                        .arg(r));
        }
        if (!(gain > ftol)) {
            if (r < cfg.restarts)
                log.log(QStringLiteral("No further restart: the criterion improved by "
                                       "less than the tolerance"));
            return false;
        }
        return true;
    }

    // One start, from[k]: its initial simplex, the search and its restarts.
    // The evaluations it counts against NX are `used` (those of the first
    // start's initial simplex are not counted).
    void runStart(int k) {
        StartRun& s = *runs[static_cast<std::size_t>(k)];
        const QString stage = starts > 1 ? QStringLiteral("start %1").arg(k + 1) : QString();
        if (journal)
            journal->setStage(stage);
        if (!mayBegin(k))
            return;

        SimplexVertices p = initialSimplex(k);
        ValueVector y(ndim + 2, 0.0);
        const int evaluated = evaluateVertices(p, y);
        if (k > 0)
            s.used += evaluated;
        if (!anyFinite(y))
            return endWithoutCompletedRun(k);
        if (k == 0)
            beginSearchLog();
        logSimplex(ndim, 0, y, p, sink.log);
        const double ftol = cfg.ftol();

        Simplex::Termination end = search(p, y, ftol);
        bool stopped = end == Simplex::Termination::Stopped;

        restart(k, stage, p, y, end, stopped, ftol);

        if (journal)
            journal->setStage(stage);
        noteEnd(k, p, y, end, stopped, evaluated);
    }

    // Start k's share of the budget, and for a further start whether it
    // begins at all (not after a stop, nor without the budget of a simplex
    // and one step); false when it does not, with its end noted.
    bool mayBegin(int k) {
        StartRun& s = *runs[static_cast<std::size_t>(k)];
        Reporter& log = s.output;
        // Side by side, a later start knows only a part of its share that the
        // starts before it cannot take, whatever they use, and waits for them
        // only when it needs more (see lowestShare).
        if (side.sideBySide() && k > 0)
            s.share = multistart::lowestShare(cfg.maxEvaluations, starts, ndim + 1);
        else
            settle(k);
        if (k == 0)
            return true;
        if (log.stopRequested()) {
            s.stopped = true;
            return false;
        }
        if (!budgetAtLeast(k, ndim + 2)) {
            log.log(QStringLiteral("Start %1 is left out: fewer than %2 of the evaluations "
                                   "allowed (NX) are left for it")
                        .arg(k + 1)
                        .arg(ndim + 2));
            s.end = {zeroBased(from[k]), {}, 0, 0, QStringLiteral("left out")};
            return false;
        }
        log.log(QStringLiteral("Start %1 of %2 from   ").arg(k + 1).arg(starts) +
                    multistart::valuesText(zeroBased(from[k])),
                true);
        return true;
    }

    // The first start: the initial vector and one vertex per parameter
    // displaced by its step; not clipped here, the evaluation clips what it
    // stores. A further start steps away from a bound it would cross.
    SimplexVertices initialSimplex(int k) const {
        SimplexVertices p = k == 0 ? SimplexVertices(ndim + 2, ParameterVector(ndim + 1, 0.0))
                                   : simplexAround(from[k], box.step, box.lower, box.upper, ndim);
        if (k == 0)
            for (int v = 1; v <= ndim + 1; ++v)
                for (int j = 1; j <= ndim; ++j)
                    p[v][j] = box.initial[j] + (v == j + 1 ? box.step[j] : 0.0);
        return p;
    }

    // No run of start k's initial simplex completed: a stop ends it (the first
    // start then has no result); otherwise the first start fails and a
    // further one is left out.
    void endWithoutCompletedRun(int k) {
        StartRun& s = *runs[static_cast<std::size_t>(k)];
        Reporter& log = s.output;
        if (log.stopRequested()) {
            s.stopped = true;
            if (k == 0) {
                // No vector has been simulated: there is no result to offer, and
                // AVAL must not be given values the model has never seen.
                s.noResult = true;
                return;
            }
            s.end = {zeroBased(from[k]), {}, 0, s.used, QStringLiteral("stopped")};
            return;
        }
        if (k == 0)
            throw FitError(noCompletedRunMessage(s));
        log.log(QStringLiteral("Start %1 is left out: none of the %2 model runs of its "
                               "simplex completed")
                    .arg(k + 1)
                    .arg(ndim + 1));
        s.end = {
            zeroBased(from[k]), {}, 0, s.used, QStringLiteral("no run of its simplex completed")};
    }

    // Why the calibration cannot go on: what the last incomplete run of the
    // first start's initial simplex left, its failure and the model's output.
    QString noCompletedRunMessage(const StartRun& s) const {
        QString message =
            QStringLiteral("None of the %1 model runs of the initial simplex completed "
                           "(\"Model run incomplete !\"): %2. Check the run file and "
                           "the model.")
                .arg(ndim + 1)
                .arg(s.lastIncomplete.why.isEmpty()
                         ? QStringLiteral("the model left no results")
                         : QStringLiteral("in the last one, ") + s.lastIncomplete.why);
        return message + incompleteRunDetails(s.lastIncomplete);
    }

    // The first start's protocol begins with its first simplex; the runs
    // before belong to the initial vertices only.
    void beginSearchLog() {
        if (journal)
            journal->setPhase(journal::Phase::Search);
        Reporter& log = runs[0]->output;
        log.clearLog();
        if (starts > 1)
            log.log(QStringLiteral("Start 1 of %1 from IVAL").arg(starts));
    }

    // Start k's end for the list of the starts and the choice of the result:
    // the centroid of its final simplex held to the bounds, its best value,
    // its runs and how it ended.
    void noteEnd(int k, const SimplexVertices& p, const ValueVector& y, Simplex::Termination end,
                 bool stopped, int evaluated) {
        StartRun& s = *runs[static_cast<std::size_t>(k)];
        s.noteVertices(p, y, ndim);
        const double endValue = lowestValue(y, ndim);
        const int runsOfStart = s.used + (k == 0 ? evaluated : 0);
        ParameterVector endPoint = centroidOf(p, ndim);
        for (int j = 1; j <= ndim; ++j)
            endPoint[j] = clampToBounds(endPoint[j], box.lower[j], box.upper[j]);
        s.end = {zeroBased(from[k]), zeroBased(endPoint), endValue, runsOfStart,
                 endText(stopped ? Simplex::Termination::Stopped : end)};
        s.stopped = stopped;
        s.searched = true;
        s.endValue = endValue;
        s.endSimplex = p;
        s.termination = end;
    }

    Calibration& c;
    const CalibrationSettings& cfg;
    CalibrationSummary& summary;
    const int ndim;
    const ParameterBox box;
    const int starts;
    std::vector<ParameterVector> from;
    InterleavedStarts side;
    RunJournal* journal;
    std::vector<std::unique_ptr<StartRun>> runs;
    std::vector<StartOutput*> outputs;
    SimplexSink sink;
};

CalibrationSummary Calibration::optimize() {
    QElapsedTimer clock;
    clock.start();
    evaluator.setSettings(cfg);
    CalibrationSummary summary;
    const int ndim = startFromInitialValues(db);
    summary.ndim = ndim;

    SimplexStarts starting(*this, summary, ndim);
    if (!starting.run()) {
        summary.outcome = Outcome::Stopped;
        summary.reason = QStringLiteral("stopped before any model run completed");
        summary.elapsedMs = clock.elapsed();
        return summary;
    }
    bool stopped = false;
    int speculativeRuns = 0;
    const StartEnds ends = starting.ends(stopped, speculativeRuns);
    storeResult(summary, ends, stopped, starting.parameterBox().lower,
                starting.parameterBox().upper, speculativeRuns);
    summary.elapsedMs = clock.elapsed();
    return summary;
}

void Calibration::storeResult(CalibrationSummary& summary, const StartEnds& starting, bool stopped,
                              const ParameterVector& lowerBounds,
                              const ParameterVector& upperBounds, int speculativeRuns) {
    const int ndim = summary.ndim;
    const int starts = std::max(cfg.starts, 1);
    RunJournal* journal = evaluator.journal();
    noteOutcome(summary, stopped ? Simplex::Termination::Stopped : starting.chosenEnd);

    // The result is the centroid of the final simplex, not its best vertex. The
    // initial vertices are not clipped, so where IVAL or IVAL + STEP lies outside
    // the bounds the centroid can too; it is held to them as the evaluation holds
    // every value it stores (upper bound first), so the result is never a value
    // beyond the bounds that the model has not seen.
    // A stopped search has not converged, and the centroid of its simplex was
    // never simulated: it offers its best vertex instead, a vector whose run
    // completed (the simplex never gives up its best vertex).
    const bool offerBestVertex =
        summary.outcome == Outcome::Stopped && !starting.bestVertex.empty();
    summary.result = starting.result(offerBestVertex, ndim, lowerBounds, upperBounds);
    if (offerBestVertex) {
        summary.resultCriterion = starting.bestVertexValue;
        summary.resultSimulated = true;
    }

    // The standard errors of an earlier analysis do not belong to the new
    // values: they go with them, and an analysis after this one fills them.
    db.inTransaction([&] {
        ParameterTable(db).writeColumn(QStringLiteral("AVAL"), summary.result);
        clearAnalysisResults(db);
    });
    report.parameterListChanged();

    if (starts > 1)
        for (const QString& line : starting.startList(offerBestVertex, cfg.criterionName()))
            report.log(line);

    closeCalibrationProtocol(report, summary, unattended, journal, parallel, speculativeRuns);
}

void closeCalibrationProtocol(Reporter& report, const CalibrationSummary& summary, bool unattended,
                              RunJournal* journal, ParallelRuns* parallel, int runsAheadNotNeeded) {
    // An unattended search that was stopped has no result: the operation gives
    // AVAL back, so the log does not call these values one. (In the window the
    // person may still keep them in the result dialog.) A stop that came during
    // the search's last run, after which it converged, is a stop all the same.
    const bool stopped = summary.outcome == Outcome::Stopped || report.stopRequested();
    report.log(stopped && unattended
                   ? QStringLiteral("Optimisation stopped before it finished")
                   : QStringLiteral("Optimisation finishes - results are stored as AVAL"),
               true);
    // The one line by which a resumed calibration's protocol differs.
    if (journal && journal->resuming())
        report.log(QStringLiteral("Resumed from the run journal: %1 model runs taken from it, %2 "
                                  "made now")
                       .arg(journal->replayedRuns())
                       .arg(summary.modelRuns),
                   true);
    if (parallel)
        report.log(parallel->closingLine(runsAheadNotNeeded), true);
    report.saveLog(QStringLiteral("Opti_Result.TXT"));
}

namespace {
// The vertices of an initial simplex as a resumed calibration takes them: the
// values of those its earlier start completed, from the journal, and the
// others, which are run (with the vertex, 1..n+1, of each).
struct VertexRuns {
    std::vector<std::optional<double>> replayed;
    std::vector<ParameterVector> toRun;
    std::vector<int> runVertex;
};

VertexRuns replayOrRun(const std::vector<ParameterVector>& vertices, RunJournal* journal,
                       int ndim) {
    VertexRuns runs;
    runs.replayed.resize(vertices.size());
    for (std::size_t k = 0; k < vertices.size(); ++k) {
        if (journal)
            runs.replayed[k] = journal->replay(
                ParameterVector(vertices[k].begin() + 1, vertices[k].begin() + 1 + ndim));
        if (!runs.replayed[k]) {
            runs.toRun.push_back(vertices[k]);
            runs.runVertex.push_back(static_cast<int>(k) + 1);
        }
    }
    return runs;
}

// The vertices' values into y, reported in the order of the vertices, whatever
// order their runs ended in; returns how many were evaluated. `outcomes` holds
// the run of every vertex that was not replayed, by vertex.
int takeVertexValues(const VertexRuns& runs, const std::vector<RunOutcome>& outcomes, int ndim,
                     ValueVector& y, CalibrationSummary& summary,
                     EvaluationResult& lastIncomplete, Reporter& out) {
    int evaluated = 0;
    for (int v = 1; v <= ndim + 1; ++v) {
        if (runs.replayed[v - 1]) {
            y[v] = *runs.replayed[v - 1];
            out.evaluated(y[v]);
            noteBest(summary, true, y[v]);
            ++evaluated;
            continue;
        }
        const RunOutcome& o = outcomes[v - 1];
        if (withoutResult(o)) {
            y[v] = HUGE_VAL; // not evaluated
            continue;
        }
        ++evaluated;
        bool complete = true;
        const double e = reportNotingIncomplete(out, o.result, complete, lastIncomplete);
        countRun(summary, complete, e);
        y[v] = complete ? e : HUGE_VAL;
        out.processEvents();
    }
    return evaluated;
}
} // namespace

int Calibration::initialSimplexInParallel(const SimplexVertices& p, ValueVector& y, int ndim,
                                          CalibrationSummary& summary,
                                          EvaluationResult& lastIncomplete, Reporter& out,
                                          InterleavedStarts* side) {
    std::vector<ParameterVector> vertices(p.begin() + 1, p.begin() + ndim + 2);
    RunJournal* journal = evaluator.journal();
    const VertexRuns runs = replayOrRun(vertices, journal, ndim);
    const std::vector<ParameterVector>& toRun = runs.toRun;
    const int pause = journal && journal->resuming() ? 0 : cfg.pauseBeforeVertexMs; // as in place
    std::vector<RunOutcome> ran;
    if (!toRun.empty())
        ran = out.stopRequested() ? std::vector<RunOutcome>(toRun.size())
              : side              ? side->round(toRun, Reading::Criterion, pause)
                                  : parallel->round(toRun, Reading::Criterion, pause);
    // Side by side, the rows of the runs were written as speculative: they
    // stand in the initial simplex's phase once the start has them.
    if (side && journal)
        for (std::size_t i = 0; i < ran.size(); ++i)
            parallel->retake(toRun[i], ran[i], journal->phase());
    std::vector<RunOutcome> outcomes(vertices.size());
    for (std::size_t i = 0; i < toRun.size(); ++i)
        outcomes[runs.runVertex[i] - 1] = ran[i];
    return takeVertexValues(runs, outcomes, ndim, y, summary, lastIncomplete, out);
}
