#include "evaluation/evaluator.h"

#include "base/fit_error.h"
#include "evaluation/bounds.h"
#include "evaluation/completeness.h"
#include "evaluation/run_journal.h"
#include "model/model_process.h"
#include "model/run_file.h"
#include "paramdb/database.h"
#include "paramdb/parameter_table.h"
#include "paramdb/writeback.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <cmath>
#include <memory>
#include <sqlite3.h>

namespace {

const QString kComplete = QStringLiteral("complete");

QString secondsText(double s) {
    return QString::number(s, 'g', 15);
}

QStringList criterionLines(int criterion, const QString& t, const QString& c, const QString& obs,
                           const QString& mod, const QString& idx) {
    switch (criterion) {
    case 2: // NRMSE per group of the index column, summed
        return {QStringLiteral(" SELECT sqr(avg(( ") + obs + QStringLiteral("-") + mod +
                    QStringLiteral(") * "),
                QStringLiteral("(") + obs + QStringLiteral("-") + mod +
                    QStringLiteral(")))/( max("),
                obs + QStringLiteral(")- min(") + obs + QStringLiteral(")) as hs"),
                QStringLiteral("  FROM ") + t + QStringLiteral(" where ") + c +
                    QStringLiteral(" GROUP BY ") + idx};
    case 3: // CV(RMSE) per group, summed
        return {QStringLiteral("SELECT SQR(Avg(( ") + obs + QStringLiteral("-") + mod +
                    QStringLiteral(")*("),
                obs + QStringLiteral("-") + mod + QStringLiteral(")))/Avg("),
                obs + QStringLiteral(") AS hs,") + idx,
                QStringLiteral("  FROM ") + t + QStringLiteral(" where ") + c +
                    QStringLiteral(" GROUP BY ") + idx};
    default: // RMSE over all selected rows
        return {QStringLiteral(" SELECT sqr(avg(( ") + obs + QStringLiteral("-") + mod +
                    QStringLiteral(") * "),
                QStringLiteral("(") + obs + QStringLiteral("-") + mod +
                    QStringLiteral("))) as hs "),
                QStringLiteral("  FROM ") + t + QStringLiteral(" where ") + c};
    }
}

// The RMSE of the rows as one aggregate, the same arithmetic as its statement above.
QString rmseAggregate(const QString& obs, const QString& mod) {
    return QStringLiteral("sqr(avg((") + obs + QStringLiteral("-") + mod + QStringLiteral(") * (") +
           obs + QStringLiteral("-") + mod + QStringLiteral(")))");
}

// The engine yields NULL for a division by zero, which would read as 0: a group
// that cannot be measured would count as a perfect fit. Groups whose observed
// values are all missing stay NULL (read as 0) as before; a zero divisor is an
// error, as a division by zero is in SQL engines that report it.
void checkGroupDivisors(Database& db, int criterion, const QString& t, const QString& c,
                        const QString& obs, const QString& idx) {
    const bool nrmse = criterion == 2;
    const QString divisor = nrmse ? QStringLiteral("max(") + obs + QStringLiteral(") - min(") +
                                        obs + QStringLiteral(")")
                                  : QStringLiteral("avg(") + obs + QStringLiteral(")");
    QSqlQuery q = db.query(QStringLiteral("select count(*) from (select ") + divisor +
                           QStringLiteral(" as d from ") + t + QStringLiteral(" where ") + c +
                           QStringLiteral(" group by ") + idx + QStringLiteral(") where d = 0"));
    const int groups = q.next() ? q.value(0).toInt() : 0;
    if (groups > 0)
        throw FitError(
            QStringLiteral("The criterion %1 divides by zero: in %2 group(s) of %3 the "
                           "observed values of %4 %5.")
                .arg(nrmse ? QStringLiteral("NRMSE") : QStringLiteral("CV(RMSE)"))
                .arg(groups)
                .arg(idx, obs,
                     nrmse ? QStringLiteral("are all equal") : QStringLiteral("average 0")));
}

} // namespace

// The criterion from the chosen rows; a grouped one is the sum of its groups.
double criterionOf(Database& db, const CalibrationSettings& s) {
    const QString &t = s.resultTable, &c = s.condition, &obs = s.observedColumn,
                  &mod = s.modelColumn, &idx = s.indexColumn;
    double e = 0;
    bool nullGroup = false;
    {
        QSqlQuery q = db.query(joinLines(criterionLines(s.criterion, t, c, obs, mod, idx)));
        if (s.criterion == 2 || s.criterion == 3) {
            while (q.next()) {
                nullGroup = nullGroup || q.value(0).isNull();
                e += numberOf(q.value(0));
            }
        } else if (q.next()) {
            e = numberOf(q.value(0));
        }
    }
    if (nullGroup)
        checkGroupDivisors(db, s.criterion, t, c, obs, idx);
    return e;
}

namespace {

// A field as the number QVariant would make of it (numberOf): NULL and text
// or blobs that are no number read as 0, with ok false.
double fieldNumber(sqlite3_stmt* statement, int column, bool& ok) {
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        ok = true;
        return sqlite3_column_double(statement, column);
    case SQLITE_NULL:
        ok = false;
        return 0;
    case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        const double d =
            QString::fromUtf8(text, sqlite3_column_bytes(statement, column)).toDouble(&ok);
        return ok ? d : 0;
    }
    default: {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
        const double d = QByteArray(bytes, sqlite3_column_bytes(statement, column)).toDouble(&ok);
        return ok ? d : 0;
    }
    }
}

// The index of the result column named `name` (ignoring case, the first one,
// as a query's record finds it); -1 when there is none.
int columnIndex(sqlite3_stmt* statement, const QString& name) {
    for (int k = 0; k < sqlite3_column_count(statement); ++k)
        if (name.compare(QString::fromUtf8(sqlite3_column_name(statement, k)),
                         Qt::CaseInsensitive) == 0)
            return k;
    return -1;
}

} // namespace

ModelValues readModelValues(Database& db, const CalibrationSettings& s, qint64 expectedRows) {
    if (expectedRows < 0) {
        QSqlQuery count = db.query(QStringLiteral("select count(*) from ") + s.resultTable +
                                   QStringLiteral(" where ") + s.condition);
        expectedRows = count.next() ? count.value(0).toLongLong() : 0;
    }
    // The statement the least-squares search reads the observed values with, so
    // that the rows come in the same order; read field by field from SQLite (a
    // value object per field cost a second per million rows).
    const QString statement = joinLines({QStringLiteral(" select * from ") + s.resultTable +
                                             QStringLiteral(" where ") + s.condition,
                                         QStringLiteral(" order by ") + s.observedColumn});
    sqlite3_stmt* q = nullptr;
    const QByteArray sql = statement.toUtf8();
    if (sqlite3_prepare_v2(sqliteHandle(db), sql.constData(), int(sql.size()), &q, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(q);
        db.query(statement); // says the engine's error as every other statement does
        throw FitError(QStringLiteral("The result rows could not be read:\n") + statement);
    }
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(q, sqlite3_finalize);
    const int modCol = columnIndex(q, s.modelColumn);
    // Without a variance column every row weighs the same (the least-squares
    // search); the uncertainty analysis refuses to run without one.
    const bool withVariances = !s.varianceColumn.isEmpty();
    const int varCol = withVariances ? columnIndex(q, s.varianceColumn) : -1;
    if (modCol < 0 || (withVariances && varCol < 0))
        throw FitError(QStringLiteral("The result rows have no column '%1'.")
                           .arg(modCol < 0 ? s.modelColumn : s.varianceColumn));
    ModelValues rows;
    rows.mod.reserve(std::size_t(expectedRows));
    rows.var.reserve(std::size_t(expectedRows));
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(q)) == SQLITE_ROW) {
        bool ok = false;
        rows.mod.push_back(fieldNumber(q, modCol, ok));
        if (!withVariances) {
            rows.var.push_back(1.0);
            continue;
        }
        const double w = fieldNumber(q, varCol, ok);
        if (!ok || !(w > 0) || !std::isfinite(w))
            ++rows.badVariances;
        rows.var.push_back(w);
    }
    if (step != SQLITE_DONE)
        throw FitError(QStringLiteral("%1\n%2").arg(
            QString::fromUtf8(sqlite3_errmsg(sqliteHandle(db))), statement));
    return rows;
}

void storeAval(Database& db, const ParameterVector& values) {
    db.inTransaction([&] { ParameterTable(db).writeColumn(QStringLiteral("AVAL"), values); });
}

Evaluator::Evaluator(Database& database, ModelProcess& modelRunner, QObject* parent)
    : QObject(parent), db(database), runner(modelRunner) {
    connect(&runner, &ModelProcess::ended, this, [this] {
        if (inFlight)
            emit modelEnded();
    });
}

void Evaluator::refuseWhileModelRuns() const {
    if (runner.working())
        throw FitError(QStringLiteral("The model started earlier is still running; wait until it "
                                      "has ended, then start again."));
}

void Evaluator::writeParameters() {
    // While the model runs the connection is closed on purpose: opening it here
    // would change the model's parameters under the running model.
    if (runner.working())
        throw FitError(QStringLiteral(
            "The model is running; the parameter values are written once it has ended."));
    if (!db.isOpen())
        db.open(db.path().isEmpty() ? cfg.databaseFile : db.path());
    // All records or none: a failing record leaves the model's tables as they were.
    db.inTransaction([&] { writeParameterValues(db); });
    removeWaitMarker();
}

ParameterVector Evaluator::clampedVector(const ParameterVector& vector) {
    if (records.empty())
        for (const ParameterRecord& r : ParameterTable(db).records())
            records.push_back({r.rowid, numberOf(r.minimum), numberOf(r.maximum)});
    if (records.size() >= vector.size())
        throw FitError(QStringLiteral("The parameter vector holds %1 values, but "
                                      "PARM_INT has more records.")
                           .arg(static_cast<int>(vector.size()) - 1));
    // The upper bound is applied first, the lower one second.
    ParameterVector values(1, 0.0);
    values.reserve(records.size() + 1);
    for (const Record& r : records)
        values.push_back(clampToBounds(vector[values.size()], r.minimum, r.maximum));
    return values;
}

void Evaluator::start(const ParameterVector& vector, Reading what) {
    // Also the run this call would be nested in: writing parameters or marking
    // rows under a running model, or starting a second one beside it, would mix
    // two runs.
    refuseWhileModelRuns();
    const CalibrationSettings s = cfg;

    // Values: the vector, clipped to the bounds of its record, becomes AVAL.
    ParameterVector values = clampedVector(vector);

    // Write-back and marks: AVAL, the model's tables and the -99 marks of the result rows go
    //    in together: a failure leaves none of them half written. The journal's
    //    rows of the runs that ended before go into the same transaction.
    //    The first marks of the operation choose the rows that every run of it
    //    must give a result for.
    ChosenRows chosen = reference;
    auto writeBack = [&] {
        ParameterTable parameters(db);
        for (std::size_t k = 0; k < records.size(); ++k)
            parameters.writeValue(records[k].rowid, QStringLiteral("AVAL"), values[k + 1]);
        writeParameterValues(db);
        db.exec(QStringLiteral(" update ") + s.resultTable + QStringLiteral(" set ") +
                s.modelColumn + QStringLiteral("= -99 where ") + s.condition);
        if (!chosen.known())
            chosen = chosenRows(db, s.resultTable, s.condition);
    };
    // Not synced (UnflushedCommits): if the program dies, the trial is rolled
    // back from its journal or stands, and either is undone by the backup; a
    // journal row lost so only makes a resumed calibration run that point again.
    {
        const UnflushedCommits trialWrites(db);
        if (book)
            book->inTransaction(writeBack);
        else
            db.inTransaction(writeBack);
    }
    reference = chosen;
    removeWaitMarker();

    run = s;
    reading = what;
    asked.assign(vector.begin(), vector.begin() + static_cast<std::ptrdiff_t>(values.size()));
    clamped = std::move(values);
    journaled = book != nullptr;
    if (journaled && attempt == 1)
        runNumber = book->nextRun();
    launch();
}

void Evaluator::launch() {
    if (tellsRunVariables) {
        const QString dbFile = db.path().isEmpty() ? run.databaseFile : db.path();
        runner.setEnvironmentVariable(QStringLiteral("FITMARA_DB"),
                                      QFileInfo(dbFile).absoluteFilePath());
        runner.setEnvironmentVariable(QStringLiteral("FITMARA_WORKSPACE"),
                                      QFileInfo(runner.workingDirectory().isEmpty()
                                                    ? QStringLiteral(".")
                                                    : runner.workingDirectory())
                                          .absoluteFilePath());
        // The journal's RUN of this vector, the same for each of its tries;
        // a run outside an operation (no journal) counts on its own.
        runner.setEnvironmentVariable(QStringLiteral("FITMARA_RUN"),
                                      QString::number(journaled ? runNumber : ++variableRunNumber));
        runner.setEnvironmentVariable(QStringLiteral("FITMARA_TRY"), QString::number(attempt));
    }
    // A run file the system cannot start as a script is refused before the
    // database is closed: nothing needs reconnecting.
    if (QFileInfo(runner.program()).isFile()) {
        const QString problem = runFileProblem(runner.program());
        if (!problem.isEmpty())
            throw FitError(QStringLiteral("The model could not be started: ") + problem);
    }
    // The model's output goes to model.log in the run's folder, replaced by each
    // run; a run longer than the timeout is ended.
    const QString folder =
        runner.workingDirectory().isEmpty() ? QDir::currentPath() : runner.workingDirectory();
    runner.setOutputFile(QDir(folder).filePath(QLatin1String(kModelLog)));
    runner.setTimeoutMs(run.runTimeoutMs());
    // The model's run: the database file is free for the model while it runs.
    db.close();
    inFlight = true;
    if (watcher)
        watcher->connectionClosed();
    runner.start();
    if (runner.startError() != -1)
        failStart();
}

void Evaluator::runModel() {
    run = cfg;
    journaled = false;
    reading = Reading::RunOnly;
    clamped.clear();
    launch();
    if (!runner.waitForEnd())
        failStart();
    inFlight = false;
    reconnect();
}

void Evaluator::failStart() {
    inFlight = false;
    QString message =
        QStringLiteral("The model could not be started from the run file \"%1\": %2")
            .arg(runner.program().isEmpty() ? QStringLiteral("(none chosen)") : runner.program(),
                 runner.errorString().isEmpty() ? QStringLiteral("no run file has been chosen")
                                                : runner.errorString());
    // Reconnect first, so the caller can still restore the model's tables; the
    // failed start stays the error reported.
    try {
        reconnect();
        journalRun(nullptr, runner.endText().isEmpty() ? message : runner.endText());
    } catch (const FitError& e) {
        message += QStringLiteral("\nReconnecting to the database failed as well: ") + e.message();
    }
    throw FitError(message);
}

void Evaluator::reconnect() {
    db.open(db.path().isEmpty() ? run.databaseFile : db.path());
    if (watcher)
        watcher->connectionReopened();
}

EvaluationResult Evaluator::evaluate(const ParameterVector& vector, Reading what) {
    struct FirstTry {
        int& attempt;
        ~FirstTry() { attempt = 1; }
    } reset{attempt};
    for (attempt = 1;; ++attempt) {
        start(vector, what);
        // Waiting: for the model's end; a start that fails meanwhile ends the wait.
        if (!runner.waitForEnd())
            failStart();
        EvaluationResult r = finish();
        r.tries = attempt;
        if (r.complete || attempt > run.retries || (stopQuery && stopQuery()))
            return r;
    }
}

EvaluationResult Evaluator::finish() {
    inFlight = false;
    EvaluationResult r;
    r.vector = std::move(clamped);
    // Reconnect.
    reconnect();
    // Give the model's last writes time to settle.
    if (run.pauseAfterRunMs > 0)
        QThread::msleep(static_cast<unsigned long>(run.pauseAfterRunMs));

    const bool timedOut = runner.runEnd() == RunEnd::TimedOut;
    const bool signalled = runner.runEnd() == RunEnd::Signalled;
    try {
        switch (reading) {
        case Reading::RunOnly:
            break;
        case Reading::Criterion:
        case Reading::ModelValues:
        case Reading::ModelValuesAndFit: {
            // Completeness: a row still at -99 proves the model did not finish; one that holds
            //     no finite number, or is gone, leaves no result to measure either.
            //     The RMSE is read in the same scan; the grouped criteria after it.
            const bool oneScan =
                reading == Reading::Criterion && run.criterion != 2 && run.criterion != 3;
            const RunCompleteness done = runCompleteness(
                db, run.resultTable, run.condition, run.modelColumn, reference,
                oneScan ? rmseAggregate(run.observedColumn, run.modelColumn) : QString());
            r.complete = done.complete;
            r.onlyMarks = done.onlyMarks;
            r.why = done.reason;
            if (reading == Reading::Criterion) {
                if (r.complete)
                    r.criterion = oneScan ? done.value : criterionOf(db, run);
            } else {
                r.values = readModelValues(db, run, reference.count);
            }
            if (reading == Reading::ModelValuesAndFit)
                r.fit = readFitPoints(db, run.resultTable, run.condition, run.observedColumn,
                                      run.modelColumn, run.indexColumn);
            break;
        }
        }
    } catch (const FitError& e) {
        journalRun(nullptr, e.message());
        throw;
    }
    // A run that timed out is not trusted, even with every row written.
    if (timedOut && r.complete) {
        r.complete = false;
        r.onlyMarks = true;
        r.criterion = 0;
    }
    r.outputFile = runner.outputFile();
    if (timedOut)
        r.failure =
            QStringLiteral("model run timed out after %1 s").arg(secondsText(run.runTimeoutS));
    else if (signalled && !r.complete)
        r.failure = QStringLiteral("model run ended: %1").arg(runner.statusText());
    if (!r.complete)
        r.output = runner.outputTail(20);
    QString status = kComplete;
    if (!r.complete) {
        status = !r.failure.isEmpty() ? r.failure
                 : r.onlyMarks        ? QStringLiteral("incomplete: result rows left at -99")
                                      : QStringLiteral("incomplete: ") + r.why;
        if (signalled && stopQuery && stopQuery())
            status = QStringLiteral("stopped: the model run was ended on request (%1)")
                         .arg(runner.statusText());
    }
    journalRun(&r, status);
    return r;
}

void Evaluator::journalRun(const EvaluationResult* result, const QString& status) {
    if (!book || !journaled)
        return;
    journaled = false; // one row per try
    journal::RunRecord rec;
    rec.run = runNumber;
    rec.attempt = attempt;
    rec.phase = book->phase();
    rec.stage = book->stage();
    rec.worker = 0; // a run of the program itself, not of a workspace or a rank
    rec.x.assign(asked.size() > 1 ? asked.begin() + 1 : asked.end(), asked.end());
    rec.complete = result && result->complete;
    if (rec.complete && reading == Reading::Criterion)
        rec.criterion = result->criterion;
    if (rec.complete && reading == Reading::ModelValues && book->keepsSimulatedValues())
        rec.simulated = result->values.mod;
    rec.status = status;
    rec.exitStatus = runner.statusText();
    rec.started = runner.startedAt();
    rec.durationSeconds = runner.runEnd() == RunEnd::StartFailed ? 0 : runner.durationMs() / 1000.0;
    rec.output = runner.outputTail(20).join(QLatin1Char('\n'));
    book->record(std::move(rec));
}
