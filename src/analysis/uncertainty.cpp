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

} // namespace

UncertaintyAnalysis::UncertaintyAnalysis(const CalibrationSettings& settings, Database& database,
                                         Evaluator& eval, Reporter& reporter,
                                         const CriterionHistory& criterionHistory)
    : cfg(settings), db(database), evaluator(eval), report(reporter), history(criterionHistory) {}

UncertaintySummary UncertaintyAnalysis::run() {
    QElapsedTimer clock;
    clock.start();
    evaluator.setSettings(cfg);
    out = UncertaintySummary{};
    UncertaintySummary& summary = out;
    summary.workbookLanguage = -99; // no workbook yet in this analysis
    const bool autorun = cfg.autorun;
    const bool excel_out = cfg.excel_out;
    // An interactive analysis keeps its workbook in memory, so that the person
    // can save it afterwards without having asked for it at the start.
    const bool buildBook = excel_out || !autorun;
    const QString protocolName = cfg.uncertaintyProtocolName();
    if (autorun)
        report.saveLog(protocolName);

    const QString VAR = cfg.varianceColumn;
    if (VAR.isEmpty()) {
        summary.outcome = Outcome::Refused;
        summary.reason = QStringLiteral("no variance column is chosen");
        return summary;
    }

    const std::vector<ParameterRecord> records = ParameterTable(db).records();
    if (records.empty())
        throw FitError(
            QStringLiteral("PARM_INT holds no parameters: there is nothing to analyse."));
    // A batch run checked this before its optimisation began.
    if (!autorun && checkBeforeRun)
        checkBeforeRun();

    // Why there is no analysis, in the log and the protocol.
    auto stop = [&](const QStringList& why) {
        for (const QString& line : why)
            report.log(line);
        report.log(kNoAnalysis);
        report.saveLog(protocolName);
        summary.outcome = Outcome::Refused;
        summary.reason = why.join(QLatin1Char(' ')).trimmed();
        summary.elapsedMs = clock.elapsed();
        return summary;
    };

    // Only the upper bound is tested, with 1.01 * AVAL.
    for (std::size_t i = 0; i < records.size(); ++i) {
        const long double a =
            parameterNumber(records[i].current, QStringLiteral("AVAL"), int(i) + 1);
        const long double m =
            parameterNumber(records[i].maximum, QStringLiteral("MAXIMUM"), int(i) + 1);
        if (1.01L * a > m) {
            return stop({QStringLiteral(" at least one parameter is at the limit")});
        }
    }

    const int ndim = static_cast<int>(records.size());
    // DS= and JD=: the default is a forward step of 1 % (the literal, so that
    // the default analysis computes exactly what it always did); central
    // differences add a run with each parameter lowered by its step.
    const long double relativeStep =
        cfg.differenceStep == 0.01 ? 0.01L : static_cast<long double>(cfg.differenceStep);
    const bool central = cfg.centralDifferences;
    ParameterVector x(ndim + 1);
    std::vector<double> d(ndim + 1);
    QStringList aliases{QString()};
    std::vector<double> y(ndim + 1, 0);
    for (int i = 1; i <= ndim; ++i) {
        aliases << records[i - 1].alias;
        const double p = parameterNumber(records[i - 1].current, QStringLiteral("AVAL"), i);
        y[i] = p;
        x[i] = p;
        d[i] = static_cast<double>(relativeStep * std::fabs(static_cast<long double>(p)));
    }
    const std::vector<double> p = y;

    // A step of 0 and a variance that is not positive would divide by zero
    // below; they are found before the model runs at all.
    for (int i = 1; i <= ndim; ++i)
        if (d[i] == 0)
            return stop({QStringLiteral(" parameter ") + QString::number(i) + QStringLiteral(" [") +
                         trimAlias(aliases[i]) +
                         QStringLiteral("] is 0: its step for the differences would be 0")});
    // The objective clamps what it stores to the bounds. Where it clamps the base
    // or the raised value, the model sees another step than d, and a difference
    // divided by d would misstate the sensitivity: the step actually taken is
    // used instead, and a parameter the bounds hold still cannot be analysed.
    std::vector<double> taken(d);
    std::vector<double> takenDown(d); // central differences: the step below
    for (int i = 1; i <= ndim; ++i) {
        const double mn = numberOf(records[i - 1].minimum);
        const double mx = numberOf(records[i - 1].maximum);
        const double base = clampToBounds(p[i], mn, mx);
        const double raised = clampToBounds(p[i] + d[i], mn, mx);
        if (base != p[i] || raised != p[i] + d[i])
            taken[i] = static_cast<double>(static_cast<long double>(raised) - base);
        if (central)
            takenDown[i] = static_cast<double>(static_cast<long double>(base) -
                                               clampToBounds(p[i] - d[i], mn, mx));
        if (taken[i] == 0)
            return stop({QStringLiteral(" parameter ") + QString::number(i) + QStringLiteral(" [") +
                         trimAlias(aliases[i]) +
                         QStringLiteral("] cannot be raised within its bounds: its step for the "
                                        "differences would be 0")});
    }
    {
        const ModelValues rows = readModelValues(db, cfg);
        if (rows.mod.empty())
            return stop({QStringLiteral(" the filter condition selects no result rows")});
        if (rows.badVariances > 0)
            return stop({QStringLiteral(" ") + QString::number(rows.badVariances) +
                         QStringLiteral(" selected result rows have a variance (") + VAR +
                         QStringLiteral(") that is empty, 0 or negative")});
    }

    // AVAL and the model's tables back at the start values.
    auto restoreStart = [&]() {
        db.inTransaction([&] { ParameterTable(db).writeColumn(QStringLiteral("AVAL"), p); });
        evaluator.writeParameters();
    };
    // A run that left rows at -99, or changed the number of rows, cannot be
    // differenced against the base run.
    int rowCount = -1; // of the base run
    auto checkRun = [&](const EvaluationResult& done, int run, bool lowered = false) {
        const ModelValues& rows = done.values;
        QString what;
        if (rowCount >= 0 && int(rows.mod.size()) != rowCount)
            what = QStringLiteral("the number of selected result rows changed from %1 to %2")
                       .arg(rowCount)
                       .arg(rows.mod.size());
        // The weights are taken from the base run; a model that writes the
        // variance column could have made them unusable after the check above.
        if (run == 0 && rows.badVariances > 0)
            what = QString::number(rows.badVariances) +
                   QStringLiteral(" selected result rows have a variance (") + VAR +
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
    };

    // A stop request (the stop button, SIGINT/SIGTERM in a batch run) ends the
    // analysis between two model runs; the values are set back like after an
    // error, and the caller learns that the analysis did not finish.
    auto stopIfRequested = [&]() {
        if (!report.stopRequested())
            return;
        const QString message =
            QStringLiteral(" uncertainty analysis stopped on request before it finished");
        report.log(message, true);
        report.saveLog(protocolName);
        throw FitError(message.trimmed());
    };

    SensitivityTable sensitivities;
    std::vector<double> variances; // of the base run's rows, from 0
    FitData fit;                   // the base run's rows, for the report
    bool atStart = true;
    // Parallel: the base run and the parameter runs at once, in workspaces; the
    // real database is not touched by them. Taken below in the serial order.
    std::vector<RunOutcome> outcomes;
    auto outcome = [&](int run) -> EvaluationResult& {
        RunOutcome& o = outcomes[run];
        if (o.failed && !o.stopped)
            throw FitError(ParallelRuns::failureText(o));
        if (o.failed || o.stopped || !o.started) {
            report.stopRequested();
            const QString message =
                QStringLiteral(" uncertainty analysis stopped on request before it finished");
            report.log(message, true);
            report.saveLog(protocolName);
            throw FitError(message.trimmed());
        }
        return o.result;
    };
    try {
        stopIfRequested();
        if (parallel) {
            std::vector<ParameterVector> vectors(central ? 2 * ndim + 1 : ndim + 1, x);
            for (int j = 1; j <= ndim; ++j)
                vectors[j][j] = p[j] + d[j];
            for (int j = 1; central && j <= ndim; ++j)
                vectors[ndim + j][j] = p[j] - d[j];
            std::vector<RunTicket> tickets;
            for (const ParameterVector& v : vectors)
                tickets.push_back({0, v, Reading::ModelValues, 0});
            // The base run's rows also feed the workbook's "fit" sheet.
            if (buildBook)
                tickets[0].reading = Reading::ModelValuesAndFit;
            outcomes = parallel->round(std::move(tickets));
        }
        atStart = false;
        ++summary.modelRuns;
        EvaluationResult baseRun =
            parallel ? std::move(outcome(0)) : evaluator.evaluate(x, Reading::ModelValues);
        checkRun(baseRun, 0);
        ModelValues& base = baseRun.values;
        if (buildBook)
            fit = parallel ? std::move(baseRun.fit)
                           : readFitPoints(db, cfg.resultTable, cfg.condition, cfg.observedColumn,
                                           cfg.modelColumn, cfg.indexColumn);
        rowCount = static_cast<int>(base.mod.size());
        variances = std::move(base.var);
        // The runs' values are moved into the table as they come; what else a
        // run read is let go at once.
        auto release = [](EvaluationResult& r) { r.values = ModelValues{}; };
        sensitivities.reset(rowCount, ndim, central);
        sensitivities.setBase(std::move(base.mod));
        release(baseRun);

        for (int j = 1; j <= ndim; ++j) {
            if (!parallel)
                stopIfRequested();
            for (int i = 1; i <= ndim; ++i)
                x[i] = p[i];
            x[j] = p[j] + d[j];
            atStart = false;
            ++summary.modelRuns;
            EvaluationResult done =
                parallel ? std::move(outcome(j)) : evaluator.evaluate(x, Reading::ModelValues);
            std::optional<EvaluationResult> lowered;
            if (central) {
                if (!parallel)
                    stopIfRequested();
                x[j] = p[j] - d[j];
                ++summary.modelRuns;
                lowered = parallel ? std::move(outcome(ndim + j))
                                   : evaluator.evaluate(x, Reading::ModelValues);
            }
            x[j] = p[j];
            if (!parallel || j == ndim) {
                restoreStart();
                atStart = true;
            }
            checkRun(done, j);
            if (lowered)
                checkRun(*lowered, j, true);
            sensitivities.setRaised(j, std::move(done.values.mod), taken[j]);
            release(done);
            if (lowered) {
                sensitivities.setLowered(j, std::move(lowered->values.mod), takenDown[j]);
                release(*lowered);
            }
        }
    } catch (...) {
        // Whatever stopped the runs, the model is not left at a raised value.
        try {
            if (!atStart)
                restoreStart();
        } catch (const FitError& r) {
            report.log(QStringLiteral("Setting the start values back failed as well: ") +
                           r.message(),
                       true);
        }
        throw;
    }
    const int observationCount = rowCount;
    summary.observationCount = observationCount;
    summary.sensitivityRows = std::move(sensitivities);
    summary.haveSensitivities = true;
    const SensitivityTable& sensitivityRows = summary.sensitivityRows;

    const LongMatrix F = fisherInformation(sensitivityRows, variances, ndim, observationCount);
    variances = {};

    Workbook book;
    if (excel_out)
        summary.workbookLanguage = static_cast<int>(QLocale::system().language());
    if (buildBook) {
        book.addMatrixSheet(Workbook::sensitivitySheet, 1, observationCount + 1, 1, ndim + 1,
                            sensitivityRows);
    }

    MatrixInverse inversion = invertMatrix(F);
    const LongMatrix V = std::move(inversion.inverse);
    const bool singular = inversion.singular;

    if (buildBook)
        book.addMatrixSheet(Workbook::fisherSheet, 1, ndim, 1, ndim, F);

    // Said only when chosen: the default protocol stays as it always was.
    if (central || cfg.differenceStep != 0.01)
        report.log(QStringLiteral(" finite differences: %1, relative step %2")
                       .arg(central ? QStringLiteral("central") : QStringLiteral("forward"),
                            formatGeneral(cfg.differenceStep)));
    const UncertaintyReport rep = uncertaintyReport(V, singular, p, aliases, ndim);
    for (const QString& line : rep.lines)
        report.log(line);

    // Results go to the first record whose alias matches, both sides trimmed.
    // Without a result the cells are emptied, so that values of an earlier
    // analysis cannot pass for this one's.
    const QStringList columns = db.columns(QStringLiteral("parm_int"));
    auto recordOf = [&](int i) -> const ParameterRecord* {
        const QString key = trimAlias(aliases[i]);
        for (const ParameterRecord& r : records)
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

    report.saveLog(protocolName);

    if (buildBook) {
        if (rep.determined) {
            book.addMatrixSheet(Workbook::covarianceSheet, 1, ndim, 1, ndim, V);
            if (ndim == 2)
                book.writeEllipseBlock(V, aliases[1], aliases[2]);
        } else {
            // Zeros here would read as certainty: the labels and the reason only.
            book.addSheet(Workbook::covarianceSheet);
            for (int c = 1; c <= ndim; ++c)
                book.setText(1, c + 1, QStringLiteral("P") + QString::number(c));
            for (int r = 1; r <= ndim; ++r)
                book.setText(r + 1, 1, QStringLiteral("P") + QString::number(r));
            book.setText(ndim + 3, 1, singularFisherLine);
        }
        addFitSheet(book, fit, history.points, history.name);
        if (addSheets)
            addSheets(book);
        summary.book = std::make_shared<const Workbook>(book);
    }
    if (excel_out) {
        const QString path = reportWorkbookPath(cfg.workpath, autorun, cfg.result_file);
        book.saveCopyAs(path);
        summary.workbook = path;
    }
    summary.outcome = Outcome::Converged;
    summary.reason = rep.determined ? QStringLiteral("standard errors and correlations determined")
                                    : QStringLiteral("the information matrix is singular");
    summary.elapsedMs = clock.elapsed();
    return summary;
}
