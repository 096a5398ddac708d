// The uncertainty analysis: forward-difference sensitivities of every selected
// simulated value, the Fisher information matrix, its inverse, and the standard
// errors and correlations of the parameters in the log, the protocol file,
// PARM_INT and, on request, a workbook.
#include "analysis/uncertainty.h"

#include "analysis/fisher.h"
#include "analysis/fit_sheet.h"
#include "analysis/matrix_unit.h"
#include "analysis/workbook.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "evaluation/bounds.h"
#include "evaluation/evaluator.h"
#include "paramdb/database.h"
#include "paramdb/parameter_table.h"
#include "runs/parallel_runs.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cmath>
#include <optional>

namespace {

const QString kNoAnalysis = QStringLiteral(" no uncertainty analysis possible !");

// The runs' values are moved into the table as they come; what else a run read
// is let go at once.
void release(EvaluationResult& r) {
    r.values = ModelValues{};
}

} // namespace

UncertaintyAnalysis::UncertaintyAnalysis(const CalibrationSettings& settings, Database& database,
                                         Evaluator& eval, Reporter& reporter,
                                         const CriterionHistory& criterionHistory)
    : cfg(settings), db(database), evaluator(eval), report(reporter), history(criterionHistory) {}

// What the runs of an analysis are: the parameters at their start values, the
// step of the differences of each, and the steps the model actually sees.
struct UncertaintyAnalysis::DifferencePlan {
    std::vector<ParameterRecord> records;
    int ndim = 0;
    bool central = false;          // a run with each parameter lowered as well
    QStringList aliases;           // [i] of parameter i; [0] empty
    std::vector<double> p;         // [i] the start value (AVAL) of parameter i
    ParameterVector x;             // the start vector, as the model takes it
    std::vector<double> d;         // [i] the step of parameter i
    std::vector<double> taken;     // [i] the step raised within the bounds
    std::vector<double> takenDown; // [i] the step lowered within the bounds (central)
};

// What the runs give the arithmetic: the differences, the base run's variances
// and its rows for the workbook's "fit" sheet.
struct UncertaintyAnalysis::SensitivityRuns {
    SensitivityTable sensitivities;
    std::vector<double> variances; // of the base run's rows, from 0
    FitData fit;
    int rowCount = -1; // of the base run
};

UncertaintySummary UncertaintyAnalysis::run() {
    begin();
    if (cfg.varianceColumn.isEmpty()) {
        out.outcome = Outcome::Refused;
        out.reason = QStringLiteral("no variance column is chosen");
        return out;
    }
    DifferencePlan plan;
    plan.records = ParameterTable(db).records();
    if (plan.records.empty())
        throw FitError(
            QStringLiteral("PARM_INT holds no parameters: there is nothing to analyse."));
    // A batch run checked this before its optimisation began.
    if (!batch.unattended && checkBeforeRun)
        checkBeforeRun();
    const QString refusal = planDifferences(plan);
    if (!refusal.isEmpty())
        return refuse(refusal);

    SensitivityRuns runs = runDifferences(plan);
    const int ndim = plan.ndim;
    const int observationCount = runs.rowCount;
    out.observationCount = observationCount;
    out.sensitivityRows = std::move(runs.sensitivities);
    out.haveSensitivities = true;
    const LongMatrix F =
        fisherInformation(out.sensitivityRows, runs.variances, ndim, observationCount);
    runs.variances = {};

    Workbook book;
    if (batch.workbookWanted)
        out.workbookLanguage = static_cast<int>(QLocale::system().language());
    if (buildBook)
        book.addMatrixSheet(Workbook::sensitivitySheet, 1, observationCount + 1, 1, ndim + 1,
                            out.sensitivityRows);
    const MatrixInverse inversion = invertMatrix(F);
    if (buildBook)
        book.addMatrixSheet(Workbook::fisherSheet, 1, ndim, 1, ndim, F);

    const UncertaintyReport rep = logUncertainty(plan, inversion);
    storeInParameterTable(plan, rep);
    report.saveLog(protocolName);
    finishWorkbook(book, plan, rep, inversion.inverse, runs.fit);

    out.outcome = Outcome::Converged;
    out.reason = rep.determined ? QStringLiteral("standard errors and correlations determined")
                                : QStringLiteral("the information matrix is singular");
    out.elapsedMs = clock.elapsed();
    return out;
}

void UncertaintyAnalysis::begin() {
    clock.start();
    evaluator.setSettings(cfg);
    out = UncertaintySummary{};
    out.workbookLanguage = -99; // no workbook yet in this analysis
    // An interactive analysis keeps its workbook in memory, so that the person
    // can save it afterwards without having asked for it at the start.
    buildBook = batch.workbookWanted || !batch.unattended;
    protocolName = batch.uncertaintyProtocolName();
    if (batch.unattended)
        report.saveLog(protocolName);
}

UncertaintySummary UncertaintyAnalysis::refuse(const QString& why) {
    report.log(why);
    report.log(kNoAnalysis);
    report.saveLog(protocolName);
    out.outcome = Outcome::Refused;
    out.reason = why.trimmed();
    out.elapsedMs = clock.elapsed();
    return out;
}

QString UncertaintyAnalysis::planDifferences(DifferencePlan& plan) {
    const std::vector<ParameterRecord>& records = plan.records;
    // Only the upper bound is tested, with 1.01 * AVAL.
    for (std::size_t i = 0; i < records.size(); ++i) {
        const long double a =
            parameterNumber(records[i].current, QStringLiteral("AVAL"), int(i) + 1);
        const long double m =
            parameterNumber(records[i].maximum, QStringLiteral("MAXIMUM"), int(i) + 1);
        if (1.01L * a > m)
            return QStringLiteral(" at least one parameter is at the limit");
    }

    const int ndim = static_cast<int>(records.size());
    plan.ndim = ndim;
    // DS= and JD=: the default is a forward step of 1 % (the literal, so that
    // the default analysis computes exactly what it always did); central
    // differences add a run with each parameter lowered by its step.
    const long double relativeStep =
        cfg.differenceStep == 0.01 ? 0.01L : static_cast<long double>(cfg.differenceStep);
    plan.central = cfg.centralDifferences;
    plan.x.assign(ndim + 1, 0);
    plan.d.assign(ndim + 1, 0);
    plan.p.assign(ndim + 1, 0);
    plan.aliases = QStringList{QString()};
    for (int i = 1; i <= ndim; ++i) {
        plan.aliases << records[i - 1].alias;
        const double p = parameterNumber(records[i - 1].current, QStringLiteral("AVAL"), i);
        plan.p[i] = p;
        plan.x[i] = p;
        plan.d[i] = static_cast<double>(relativeStep * std::fabs(static_cast<long double>(p)));
    }
    // A step of 0 and a variance that is not positive would divide by zero
    // below; they are found before the model runs at all.
    for (int i = 1; i <= ndim; ++i)
        if (plan.d[i] == 0)
            return QStringLiteral(" parameter ") + QString::number(i) + QStringLiteral(" [") +
                   trimAlias(plan.aliases[i]) +
                   QStringLiteral("] is 0: its step for the differences would be 0");
    const QString heldStill = stepsWithinBounds(plan);
    if (!heldStill.isEmpty())
        return heldStill;
    const ModelValues rows = readModelValues(db, cfg);
    if (rows.mod.empty())
        return QStringLiteral(" the filter condition selects no result rows");
    if (rows.badVariances > 0)
        return QStringLiteral(" ") + QString::number(rows.badVariances) +
               QStringLiteral(" selected result rows have a variance (") + cfg.varianceColumn +
               QStringLiteral(") that is empty, 0 or negative");
    return {};
}

// The objective clamps what it stores to the bounds. Where it clamps the base
// or the raised value, the model sees another step than d, and a difference
// divided by d would misstate the sensitivity: the step actually taken is used
// instead, and a parameter the bounds hold still cannot be analysed.
QString UncertaintyAnalysis::stepsWithinBounds(DifferencePlan& plan) {
    const std::vector<double>& p = plan.p;
    const std::vector<double>& d = plan.d;
    plan.taken = d;
    plan.takenDown = d;
    for (int i = 1; i <= plan.ndim; ++i) {
        const double mn = numberOf(plan.records[i - 1].minimum);
        const double mx = numberOf(plan.records[i - 1].maximum);
        const double base = clampToBounds(p[i], mn, mx);
        const double raised = clampToBounds(p[i] + d[i], mn, mx);
        if (base != p[i] || raised != p[i] + d[i])
            plan.taken[i] = static_cast<double>(static_cast<long double>(raised) - base);
        if (plan.central)
            plan.takenDown[i] = static_cast<double>(static_cast<long double>(base) -
                                                    clampToBounds(p[i] - d[i], mn, mx));
        if (plan.taken[i] == 0)
            return QStringLiteral(" parameter ") + QString::number(i) + QStringLiteral(" [") +
                   trimAlias(plan.aliases[i]) +
                   QStringLiteral("] cannot be raised within its bounds: its step for the "
                                  "differences would be 0");
    }
    return {};
}

// AVAL and the model's tables back at the start values.
void UncertaintyAnalysis::restoreStart(const DifferencePlan& plan) {
    db.inTransaction([&] { ParameterTable(db).writeColumn(QStringLiteral("AVAL"), plan.p); });
    evaluator.writeParameters();
}

// A run that left rows at -99, or changed the number of rows, cannot be
// differenced against the base run.
void UncertaintyAnalysis::checkRun(const EvaluationResult& done, int run, bool lowered,
                                   int rowCount) {
    const ModelValues& rows = done.values;
    QString what;
    if (rowCount >= 0 && int(rows.mod.size()) != rowCount)
        what = QStringLiteral("the number of selected result rows changed from %1 to %2")
                   .arg(rowCount)
                   .arg(rows.mod.size());
    // The weights are taken from the base run; a model that writes the
    // variance column could have made them unusable after the check before.
    if (run == 0 && rows.badVariances > 0)
        what = QString::number(rows.badVariances) +
               QStringLiteral(" selected result rows have a variance (") + cfg.varianceColumn +
               QStringLiteral(") that is empty, 0 or negative");
    // Rows at -99, without a finite number or gone: the run left no result.
    if (!done.complete)
        what = QStringLiteral("Model run incomplete ! ") + done.why;
    if (what.isEmpty())
        return;
    const QString which =
        run == 0 ? QStringLiteral("the base run")
                 : QStringLiteral("the run with parameter ") + QString::number(run) +
                       (lowered ? QStringLiteral(" lowered") : QStringLiteral(" raised"));
    const QString message = QStringLiteral(" uncertainty analysis stopped after ") + which +
                            QStringLiteral(": ") + what;
    report.log(message, true);
    report.saveLog(protocolName);
    throw FitError(message.trimmed());
}

// A stop request (the stop button, SIGINT/SIGTERM in a batch run) ends the
// analysis between two model runs; the values are set back like after an
// error, and the caller learns that the analysis did not finish.
void UncertaintyAnalysis::stopIfRequested() {
    if (report.stopRequested())
        stopOnRequest();
}

void UncertaintyAnalysis::stopOnRequest() {
    const QString message =
        QStringLiteral(" uncertainty analysis stopped on request before it finished");
    report.log(message, true);
    report.saveLog(protocolName);
    throw FitError(message.trimmed());
}

// Parallel: the base run and the parameter runs at once, in workspaces; the
// real database is not touched by them. They are taken in the serial order.
std::vector<RunOutcome> UncertaintyAnalysis::runAllAtOnce(const DifferencePlan& plan) {
    const int ndim = plan.ndim;
    std::vector<ParameterVector> vectors(plan.central ? 2 * ndim + 1 : ndim + 1, plan.x);
    for (int j = 1; j <= ndim; ++j)
        vectors[j][j] = plan.p[j] + plan.d[j];
    for (int j = 1; plan.central && j <= ndim; ++j)
        vectors[ndim + j][j] = plan.p[j] - plan.d[j];
    std::vector<RunTicket> tickets;
    for (const ParameterVector& v : vectors)
        tickets.push_back({0, v, Reading::ModelValues, 0});
    // The base run's rows also feed the workbook's "fit" sheet.
    if (buildBook)
        tickets[0].reading = Reading::ModelValuesAndFit;
    return parallel->round(std::move(tickets));
}

EvaluationResult UncertaintyAnalysis::takeOutcome(RunOutcome& o) {
    if (o.failed && !o.stopped)
        throw FitError(ParallelRuns::failureText(o));
    if (o.failed || o.stopped || !o.started) {
        report.stopRequested();
        stopOnRequest();
    }
    return std::move(o.result);
}

// The base run, then each parameter raised (and lowered) by its step, one
// after the other or all at once; the start values are back afterwards,
// whatever ends the runs.
UncertaintyAnalysis::SensitivityRuns
UncertaintyAnalysis::runDifferences(const DifferencePlan& plan) {
    SensitivityRuns runs;
    bool atStart = true;
    try {
        stopIfRequested();
        std::vector<RunOutcome> outcomes;
        if (parallel)
            outcomes = runAllAtOnce(plan);
        atStart = false;
        takeBaseRun(plan, outcomes, runs);
        for (int j = 1; j <= plan.ndim; ++j)
            takeParameterRuns(plan, j, outcomes, runs, atStart);
        // A stop that came during the last run ends the analysis as one during
        // any other would: nothing is stored or written as its result.
        stopIfRequested();
    } catch (...) {
        // Whatever stopped the runs, the model is not left at a raised value.
        try {
            if (!atStart)
                restoreStart(plan);
        } catch (const FitError& r) {
            report.log(QStringLiteral("Setting the start values back failed as well: ") +
                           r.message(),
                       true);
        }
        throw;
    }
    return runs;
}

void UncertaintyAnalysis::takeBaseRun(const DifferencePlan& plan, std::vector<RunOutcome>& outcomes,
                                      SensitivityRuns& runs) {
    ++out.modelRuns;
    EvaluationResult baseRun =
        parallel ? takeOutcome(outcomes[0]) : evaluator.evaluate(plan.x, Reading::ModelValues);
    checkRun(baseRun, 0, false, runs.rowCount);
    ModelValues& base = baseRun.values;
    if (buildBook)
        runs.fit = parallel ? std::move(baseRun.fit)
                            : readFitPoints(db, cfg.resultTable, cfg.condition, cfg.observedColumn,
                                            cfg.modelColumn, cfg.indexColumn);
    runs.rowCount = static_cast<int>(base.mod.size());
    runs.variances = std::move(base.var);
    runs.sensitivities.reset(runs.rowCount, plan.ndim, plan.central);
    runs.sensitivities.setBase(std::move(base.mod));
    release(baseRun);
}

// Parameter j raised (and lowered) by its step. One after the other, the start
// values go back after each parameter; all at once, after the last.
void UncertaintyAnalysis::takeParameterRuns(const DifferencePlan& plan, int j,
                                            std::vector<RunOutcome>& outcomes,
                                            SensitivityRuns& runs, bool& atStart) {
    ParameterVector x = plan.x;
    if (!parallel)
        stopIfRequested();
    x[j] = plan.p[j] + plan.d[j];
    atStart = false;
    ++out.modelRuns;
    EvaluationResult done =
        parallel ? takeOutcome(outcomes[j]) : evaluator.evaluate(x, Reading::ModelValues);
    std::optional<EvaluationResult> lowered;
    if (plan.central) {
        if (!parallel)
            stopIfRequested();
        x[j] = plan.p[j] - plan.d[j];
        ++out.modelRuns;
        lowered = parallel ? takeOutcome(outcomes[plan.ndim + j])
                           : evaluator.evaluate(x, Reading::ModelValues);
    }
    if (!parallel || j == plan.ndim) {
        restoreStart(plan);
        atStart = true;
    }
    checkRun(done, j, false, runs.rowCount);
    if (lowered)
        checkRun(*lowered, j, true, runs.rowCount);
    runs.sensitivities.setRaised(j, std::move(done.values.mod), plan.taken[j]);
    release(done);
    if (lowered) {
        runs.sensitivities.setLowered(j, std::move(lowered->values.mod), plan.takenDown[j]);
        release(*lowered);
    }
}

// The standard errors and correlations in the log (and so the protocol).
UncertaintyReport UncertaintyAnalysis::logUncertainty(const DifferencePlan& plan,
                                                      const MatrixInverse& inversion) {
    // Said only when chosen: the default protocol stays as it always was.
    if (plan.central || cfg.differenceStep != 0.01)
        report.log(QStringLiteral(" finite differences: %1, relative step %2")
                       .arg(plan.central ? QStringLiteral("central") : QStringLiteral("forward"),
                            formatGeneral(cfg.differenceStep)));
    UncertaintyReport rep =
        uncertaintyReport(inversion.inverse, inversion.singular, plan.p, plan.aliases, plan.ndim);
    for (const QString& line : rep.lines)
        report.log(line);
    return rep;
}

// ERROR and r_k of PARM_INT. Results go to the first record whose alias
// matches, both sides trimmed. Without a result the cells are emptied, so that
// values of an earlier analysis cannot pass for this one's.
void UncertaintyAnalysis::storeInParameterTable(const DifferencePlan& plan,
                                                const UncertaintyReport& rep) {
    const int ndim = plan.ndim;
    const QStringList columns = db.columns(QStringLiteral("parm_int"));
    auto recordOf = [&](int i) -> const ParameterRecord* {
        const QString key = trimAlias(plan.aliases[i]);
        for (const ParameterRecord& r : plan.records)
            if (trimAlias(r.alias) == key)
                return &r;
        return nullptr;
    };
    auto value = [&](double v) { return rep.determined ? QVariant(v) : QVariant(); };
    ParameterTable table(db);
    db.inTransaction([&] {
        for (int i = 1; i <= ndim; ++i)
            if (const ParameterRecord* r = recordOf(i))
                table.writeValue(r->rowid, QStringLiteral("ERROR"), value(rep.se[i]));
        for (int i = 1; i <= ndim; ++i)
            for (int j = i + 1; j <= ndim; ++j) {
                const QString n = QStringLiteral("r_") + QString::number(j);
                QString column;
                for (const QString& c : columns)
                    if (c.compare(n, Qt::CaseInsensitive) == 0)
                        column = c;
                const ParameterRecord* r = recordOf(i);
                if (r && !column.isEmpty())
                    table.writeValue(r->rowid, column, value(rep.r[i][j]));
            }
    });
    report.parameterValuesChanged();
}

// The covariance sheet, the fit and the caller's sheets after the sheets made
// on the way; kept for saving later, and saved when XL_OUT asks for it.
void UncertaintyAnalysis::finishWorkbook(Workbook& book, const DifferencePlan& plan,
                                         const UncertaintyReport& rep, const LongMatrix& V,
                                         const FitData& fit) {
    if (buildBook) {
        addCovarianceSheet(book, plan, rep, V);
        addFitSheet(book, fit, history.points, history.name);
        if (addSheets)
            addSheets(book);
        out.book = std::make_shared<const Workbook>(book);
    }
    if (batch.workbookWanted) {
        const QString path =
            reportWorkbookPath(cfg.databaseFolder, batch.unattended, batch.resultName);
        book.saveCopyAs(path);
        out.workbook = path;
    }
}

void UncertaintyAnalysis::addCovarianceSheet(Workbook& book, const DifferencePlan& plan,
                                             const UncertaintyReport& rep, const LongMatrix& V) {
    const int ndim = plan.ndim;
    if (rep.determined) {
        book.addMatrixSheet(Workbook::covarianceSheet, 1, ndim, 1, ndim, V);
        if (ndim == 2)
            book.writeEllipseBlock(V, plan.aliases[1], plan.aliases[2]);
        return;
    }
    // Zeros here would read as certainty: the labels and the reason only.
    book.addSheet(Workbook::covarianceSheet);
    for (int c = 1; c <= ndim; ++c)
        book.setText(1, c + 1, QStringLiteral("P") + QString::number(c));
    for (int r = 1; r <= ndim; ++r)
        book.setText(r + 1, 1, QStringLiteral("P") + QString::number(r));
    book.setText(ndim + 3, 1, singularFisherLine);
}
