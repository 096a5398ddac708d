// The checks of the settings an operation needs, made before anything is backed
// up or run: a misspelt key value is found at once, not after the backup or after
// many model runs, and the message names the key and the value.
#include "app/session.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "paramdb/parm_int_check.h"

#include <QFileInfo>

namespace {

QString firstLine(const QString& text) {
    return text.section(QLatin1Char('\n'), 0, 0).trimmed();
}

} // namespace

QStringList Session::settingsProblems(unsigned needs) {
    QStringList problems;
    // How a setting is named in a message: by its key and value when the command
    // line gave it, else by what it is in the window.
    auto given = [&](const QString& key) {
        return keyValues.contains(key) ? key + keyValues.value(key) + QStringLiteral(": ")
                                       : QString();
    };

    if (needs & NeedsModelRun) {
        if (model.program().isEmpty()) {
            problems << (calibrationSettings.runFile.isEmpty()
                             ? QStringLiteral("No run file is given: give the run script with "
                                              "RF=<file> or choose it with \"open runfile\".")
                             : given(QStringLiteral("RF=")) +
                                   QStringLiteral("the run file \"%1\" does not exist.")
                                       .arg(calibrationSettings.runFile));
        } else if (model.program().contains(QLatin1Char('/')) &&
                   !QFileInfo::exists(model.program())) {
            problems
                << given(QStringLiteral("RF=")) +
                       QStringLiteral("the run file \"%1\" does not exist.").arg(model.program());
        } else if (QFileInfo(model.program()).isFile()) {
            const QString p = runFileProblem(model.program());
            if (!p.isEmpty())
                problems << given(QStringLiteral("RF=")) + p;
        }
    }

    if (!(needs & (NeedsModelRun | NeedsCriterion | NeedsUncertainty)))
        return problems;

    // The result table and its condition.
    bool tableOk = false;
    if (calibrationSettings.resultTable.trimmed().isEmpty()) {
        problems << (keyValues.contains(QStringLiteral("RT="))
                         ? given(QStringLiteral("RT=")) +
                               QStringLiteral("the database has no table or view of that name.")
                         : QStringLiteral("No result table is chosen: give it with RT=<table> or "
                                          "choose it on the \"result table\" tab."));
    } else if (!db.hasTable(calibrationSettings.resultTable)) {
        problems << given(QStringLiteral("RT=")) +
                        QStringLiteral("the result table %1 does not exist in the database.")
                            .arg(calibrationSettings.resultTable);
    } else {
        tableOk = true;
    }
    const QStringList columns =
        tableOk ? db.columns(calibrationSettings.resultTable) : QStringList();
    bool conditionOk = false;
    if (tableOk) {
        try {
            db.query(QStringLiteral("select count(*) from ") + calibrationSettings.resultTable +
                     QStringLiteral(" where ") + calibrationSettings.condition);
            conditionOk = true;
        } catch (const FitError& e) {
            problems << (keyValues.value(QStringLiteral("CD=")) == calibrationSettings.condition &&
                                 keyValues.contains(QStringLiteral("CD="))
                             ? given(QStringLiteral("CD="))
                             : QStringLiteral("The filter condition \"%1\": ")
                                   .arg(calibrationSettings.condition)) +
                            QStringLiteral("it cannot choose rows of %1: %2")
                                .arg(calibrationSettings.resultTable, firstLine(e.message()));
        }
    }

    // The column roles.
    auto column = [&](ComboState& role, const QString& key, const QString& what, bool optional) {
        const QString name = role.selected();
        if (name.isEmpty()) {
            const QString value = keyValues.value(key);
            if (keyValues.contains(key) && !value.isEmpty())
                problems << given(key) +
                                QStringLiteral("the result table %1 has no column of that name.")
                                    .arg(calibrationSettings.resultTable);
            else if (!optional)
                problems << QStringLiteral("No %1 column is chosen: give it with %2<column> or "
                                           "choose it on the \"result table\" tab.")
                                .arg(what, key);
            return false;
        }
        if (tableOk && !columns.contains(name, Qt::CaseInsensitive)) {
            problems << given(key) + QStringLiteral("the result table %1 has no column %2.")
                                         .arg(calibrationSettings.resultTable, name);
            return false;
        }
        return true;
    };
    bool modOk = false;
    if (needs & NeedsModelRun)
        modOk = column(modelSetup.columnList(ColumnRole::Model), QStringLiteral("MO="),
                       QStringLiteral("simulated (model)"), false);
    if (needs & (NeedsCriterion | NeedsUncertainty))
        column(modelSetup.columnList(ColumnRole::Observed), QStringLiteral("OB="),
               QStringLiteral("observed"), false);
    if ((needs & NeedsCriterion) &&
        (calibrationSettings.criterion == 2 || calibrationSettings.criterion == 3))
        column(modelSetup.columnList(ColumnRole::Index), QStringLiteral("IX="),
               QStringLiteral("index"), false);
    // The observation variances weight the Fisher information: without them
    // the analysis cannot be made, which an unattended run would otherwise
    // find only after the calibration.
    if (needs & NeedsUncertainty)
        column(modelSetup.columnList(ColumnRole::Variance), QStringLiteral("OV="),
               QStringLiteral("variance"), false);

    if (needs & NeedsTolerance) {
        try {
            calibrationSettings.ftol();
        } catch (const FitError& e) {
            problems << (keyValues.contains(QStringLiteral("KR="))
                             ? given(QStringLiteral("KR="))
                             : QStringLiteral("The convergence criterion: ")) +
                            e.message() + QLatin1Char('.');
        }
    }

    // Marking the result rows, tried and taken back: a table the program cannot
    // write (read-only, locked, a view) is found before the backup.
    if ((needs & NeedsModelRun) && tableOk && conditionOk && modOk) {
        try {
            db.transaction();
            try {
                db.exec(QStringLiteral(" update ") + calibrationSettings.resultTable +
                        QStringLiteral(" set ") + calibrationSettings.modelColumn +
                        QStringLiteral("= -99 where ") + calibrationSettings.condition);
            } catch (...) {
                db.rollback();
                throw;
            }
            db.rollback();
        } catch (const FitError& e) {
            problems << QStringLiteral("The simulated column %1 of %2 cannot be written: %3")
                            .arg(calibrationSettings.modelColumn, calibrationSettings.resultTable,
                                 firstLine(e.message()));
        }
    }
    return problems;
}

void Session::checkBeforeRun(const QString& operation, unsigned needs, unsigned parmIntNeeds) {
    QStringList problems = settingsProblems(needs);
    QStringList warnings;
    problems += parmIntProblems(db, parmIntNeeds, &warnings);
    for (const QString& w : warnings)
        logLines.append(QStringLiteral("Warning: ") + w, true);
    if (problems.isEmpty())
        return;
    throw FitError(
        QStringLiteral("%1 cannot start; nothing was backed up or run:\n  ").arg(operation) +
        problems.join(QStringLiteral("\n  ")));
}
