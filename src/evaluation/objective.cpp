// The objective function: one model run with a parameter vector, and the error
// criterion of the result table computed by one SQL query.
#include "app/fit_error.h"
#include "app/session.h"
#include "evaluation/bounds.h"
#include "evaluation/completeness.h"
#include "paramdb/writeback.h"

#include <QSqlQuery>
#include <algorithm>
#include <vector>

namespace {

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

double Session::model_eval(const tfmatrix& vector, int mode, bool* complete) {
    if (complete)
        *complete = true;
    // Also the run this call would be nested in: writing parameters or marking
    // rows under a running model, or starting a second one beside it, would mix
    // two runs.
    refuseWhileModelRuns();
    // The names as they are now: an event handled while the model runs must not
    // change the statements of this evaluation half way.
    const QString t = tname;
    const QString c = condition;
    const QString obs = obs_fld.selected();
    const QString mod = mod_fld.selected();
    const QString idx = idx_fld.selected();

    // 1. The vector, clipped to the bounds of its record, becomes AVAL. The upper
    //    bound is applied first, the lower one second.
    struct Row {
        qlonglong rowid;
        double value;
    };
    std::vector<Row> rows;
    {
        QSqlQuery q = db.query(QStringLiteral("select rowid, MINIMUM, MAXIMUM from parm_int"));
        while (q.next()) {
            const std::size_t i = rows.size() + 1;
            if (i >= vector.size())
                throw FitError(QStringLiteral("The parameter vector holds %1 values, but "
                                              "PARM_INT has more records.")
                                   .arg(static_cast<int>(vector.size()) - 1));
            rows.push_back({q.value(0).toLongLong(),
                            clampToBounds(vector[i], numberOf(q.value(1)), numberOf(q.value(2)))});
        }
    }

    // 2. and 3. AVAL, the model's tables and the -99 marks of the result rows go
    //    in together: a failure leaves none of them half written.
    qint64 chosen = -1;
    db.inTransaction([&] {
        for (const Row& r : rows)
            db.exec(QStringLiteral("update parm_int set AVAL=? where rowid=?"), {r.value, r.rowid});
        writeParameterValues(db);
        QSqlQuery mark = db.query(QStringLiteral(" update ") + t + QStringLiteral(" set ") + mod +
                                  QStringLiteral("= -99 where ") + c);
        chosen = mark.numRowsAffected();
    });
    // Every one of these rows must hold a result after the run.
    lastChosenRows = chosen;
    removeWaitMarker();

    // 4. to 7. Close, run the model, wait for its end, reconnect. A model that
    //    cannot be started raises an error naming the run file.
    runModel();
    // 8. Give the model's last writes time to settle.
    pause(pauseAfterRunMs);

    if (mode != 1)
        return 0;

    // 10. A row still at -99 proves the model did not finish; one that holds no
    //     finite number, or is gone, leaves no result to measure either. The
    //     condition is put in parentheses, so one with OR cannot hide such a row.
    {
        const RunCompleteness done = runCompleteness(db, t, c, mod, chosen);
        if (!done.complete) {
            lastIncomplete = done.reason;
            lb.append(QStringLiteral("Model run incomplete !"));
            // Rows left at -99 are the familiar case; anything else is said.
            if (!done.onlyMarks)
                lb.append(QStringLiteral("  ") + done.reason);
            if (complete)
                *complete = false;
            return 0;
        }
    }

    // 11. to 13. The criterion; a grouped one is the sum of its groups.
    double e = 0;
    bool nullGroup = false;
    {
        QSqlQuery q = db.query(joinLines(criterionLines(criterion, t, c, obs, mod, idx)));
        if (criterion == 2 || criterion == 3) {
            while (q.next()) {
                nullGroup = nullGroup || q.value(0).isNull();
                e += numberOf(q.value(0));
            }
        } else if (q.next()) {
            e = numberOf(q.value(0));
        }
    }
    if (nullGroup)
        checkGroupDivisors(db, criterion, t, c, obs, idx);

    // 14. One chart point per completed evaluation.
    addChartPoint(cnt, e);
    cnt = cnt + 1;

    if (!haveBest || e < bestSoFar) {
        bestSoFar = e;
        haveBest = true;
    }
    emit progress(cnt, progressTotal > 0 ? progressTotal : max_call, bestSoFar,
                  runClock.isValid() ? runClock.elapsed() : 0);
    return e;
}
