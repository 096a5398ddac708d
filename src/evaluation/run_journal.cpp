#include "evaluation/run_journal.h"

#include "base/fit_error.h"
#include "paramdb/database.h"

namespace {
// A setting typed as text, kept as the number it means; as the text when it is
// none (the operation refuses it anyway).
template <typename Read> QJsonValue numberOrText(const QString& typed, Read read) {
    try {
        return read();
    } catch (const FitError&) {
        return typed;
    }
}
} // namespace

QJsonObject journalSettings(const CalibrationSettings& s, journal::OperationKind kind) {
    QJsonObject o;
    o.insert(QStringLiteral("RT"), s.resultTable);
    o.insert(QStringLiteral("CD"), s.condition);
    o.insert(QStringLiteral("OB"), s.observedColumn);
    o.insert(QStringLiteral("MO"), s.modelColumn);
    o.insert(QStringLiteral("IX"), s.indexColumn);
    o.insert(QStringLiteral("OV"), s.varianceColumn);
    o.insert(QStringLiteral("EF"), s.criterionName());
    o.insert(QStringLiteral("RF"), s.runFile);
    switch (kind) {
    case journal::OperationKind::Calibration:
        o.insert(QStringLiteral("NX"), s.maxEvaluations);
        // The value, not the text: KR=1e-6 after KR=0.000001 is the same calibration.
        o.insert(QStringLiteral("KR"), numberOrText(s.tolerance, [&] { return s.ftol(); }));
        // Only where they differ from the simplex's defaults, so that the
        // journals of simplex calibrations read as before.
        if (s.leastSquares) {
            o.insert(QStringLiteral("SM"), QStringLiteral("LM"));
            o.insert(QStringLiteral("JD"),
                     s.centralDifferences ? QStringLiteral("central") : QStringLiteral("forward"));
            o.insert(QStringLiteral("DS"), s.differenceStep);
        }
        // Likewise only when they are asked for.
        if (s.restarts != 0)
            o.insert(QStringLiteral("NR"), s.restarts);
        if (s.starts != 1)
            o.insert(QStringLiteral("MS"), s.starts);
        break;
    case journal::OperationKind::Sensitivity:
        o.insert(QStringLiteral("step"),
                 numberOrText(s.sensitivityStep, [&] { return s.stepFraction() * 100; }));
        break;
    case journal::OperationKind::Uncertainty:
        break;
    }
    return o;
}

journal::ResumePoint RunJournal::resumePoint(const CalibrationSettings& settings) {
    const journal::ResumePoint point =
        book.findResumable(journal::OperationKind::Calibration,
                           journalSettings(settings, journal::OperationKind::Calibration));
    if (point.operation == 0 && !point.difference.isEmpty())
        throw FitError(
            QStringLiteral("The unfinished calibration in the run journal cannot be resumed: "
                           "%1. Resume with the settings it was started with, or start afresh "
                           "without RESUME (the \"resume\" box unticked).")
                .arg(point.difference));
    return point;
}

void RunJournal::checkResumable(const CalibrationSettings& settings) {
    resumePoint(settings);
}

void RunJournal::begin(journal::OperationKind operation, const CalibrationSettings& settings,
                       bool resume) {
    book.ensureTables();
    kind = operation;
    if (resume && kind == journal::OperationKind::Calibration) {
        const journal::ResumePoint point = resumePoint(settings);
        if (point.operation != 0) {
            book.reopenOperation(point.operation);
            op = point.operation;
            lastRun = point.lastRun;
            setAsideRows = point.setAside;
            resumed = true;
            return;
        }
    }
    op = book.beginOperation(kind, journalSettings(settings, kind));
}

void RunJournal::end(journal::Outcome outcome, const QString& reason) {
    if (op != 0)
        book.endOperation(op, outcome, reason);
}

void RunJournal::record(journal::RunRecord run) {
    run.operation = op;
    book.stageRun(run);
}

std::optional<double> RunJournal::replay(const std::vector<double>& x, bool counted) {
    if (!resumed)
        return std::nullopt;
    const auto run = book.completedRun(op, x);
    if (!run || !run->criterion)
        return std::nullopt;
    if (counted)
        ++replayed;
    return run->criterion;
}

std::optional<std::vector<double>> RunJournal::replayValues(const std::vector<double>& x) {
    if (!resumed)
        return std::nullopt;
    const auto run = book.completedRun(op, x);
    if (!run || run->simulated.empty())
        return std::nullopt;
    ++replayed;
    return run->simulated;
}
