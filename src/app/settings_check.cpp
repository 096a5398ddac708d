#include "app/settings_check.h"

#include "app/model_setup.h"
#include "base/combo_state.h"
#include "base/fit_error.h"
#include "model/run_file.h"
#include "paramdb/database.h"

#include <QFileInfo>

SettingsCheck::SettingsCheck(const CalibrationSettings& calibrationSettings,
                             const QHash<QString, QString>& commandLineValues,
                             ModelSetup& modelSetup, Database& database, const QString& program)
    : settings(calibrationSettings), keyValues(commandLineValues), setup(modelSetup), db(database),
      modelProgram(program) {}

QString SettingsCheck::given(const QString& key) const {
    return keyValues.contains(key) ? key + keyValues.value(key) + QStringLiteral(": ") : QString();
}

QStringList SettingsCheck::problems(unsigned needs) {
    found.clear();
    tableOk = conditionOk = modelColumnOk = false;
    columns.clear();
    if (needs & NeedsModelRun)
        checkRunFile();
    if (!(needs & (NeedsModelRun | NeedsCriterion | NeedsUncertainty)))
        return found;
    checkResultTable();
    checkCondition();
    checkColumns(needs);
    if (needs & NeedsTolerance)
        checkTolerance();
    if ((needs & NeedsModelRun) && tableOk && conditionOk && modelColumnOk)
        checkModelColumnWritable();
    return found;
}

void SettingsCheck::checkRunFile() {
    const QString rf = QStringLiteral("RF=");
    if (modelProgram.isEmpty()) {
        found << (settings.runFile.isEmpty()
                      ? QStringLiteral("No run file is given: give the run script with "
                                       "RF=<file> or choose it with \"open runfile\".")
                      : given(rf) + QStringLiteral("the run file \"%1\" does not exist.")
                                        .arg(settings.runFile));
    } else if (modelProgram.contains(QLatin1Char('/')) && !QFileInfo::exists(modelProgram)) {
        found << given(rf) +
                     QStringLiteral("the run file \"%1\" does not exist.").arg(modelProgram);
    } else if (QFileInfo(modelProgram).isFile()) {
        const QString p = runFileProblem(modelProgram);
        if (!p.isEmpty())
            found << given(rf) + p;
    }
}

void SettingsCheck::checkResultTable() {
    if (settings.resultTable.trimmed().isEmpty()) {
        found << (keyValues.contains(QStringLiteral("RT="))
                      ? given(QStringLiteral("RT=")) +
                            QStringLiteral("the database has no table or view of that name.")
                      : QStringLiteral("No result table is chosen: give it with RT=<table> or "
                                       "choose it on the \"result table\" tab."));
    } else if (!db.hasTable(settings.resultTable)) {
        found << given(QStringLiteral("RT=")) +
                     QStringLiteral("the result table %1 does not exist in the database.")
                         .arg(settings.resultTable);
    } else {
        tableOk = true;
        columns = db.columns(settings.resultTable);
    }
}

void SettingsCheck::checkCondition() {
    if (!tableOk)
        return;
    try {
        db.query(QStringLiteral("select count(*) from ") + settings.resultTable +
                 QStringLiteral(" where ") + settings.condition);
        conditionOk = true;
    } catch (const FitError& e) {
        const QString cd = QStringLiteral("CD=");
        found << (keyValues.value(cd) == settings.condition && keyValues.contains(cd)
                      ? given(cd)
                      : QStringLiteral("The filter condition \"%1\": ").arg(settings.condition)) +
                     QStringLiteral("it cannot choose rows of %1: %2")
                         .arg(settings.resultTable, e.firstLine());
    }
}

bool SettingsCheck::checkColumn(ComboState& role, const QString& key, const QString& what) {
    const QString name = role.selected();
    if (name.isEmpty()) {
        const QString value = keyValues.value(key);
        if (keyValues.contains(key) && !value.isEmpty())
            found << given(key) + QStringLiteral("the result table %1 has no column of that name.")
                                      .arg(settings.resultTable);
        else
            found << QStringLiteral("No %1 column is chosen: give it with %2<column> or "
                                    "choose it on the \"result table\" tab.")
                         .arg(what, key);
        return false;
    }
    if (tableOk && !columns.contains(name, Qt::CaseInsensitive)) {
        found << given(key) + QStringLiteral("the result table %1 has no column %2.")
                                  .arg(settings.resultTable, name);
        return false;
    }
    return true;
}

void SettingsCheck::checkColumns(unsigned needs) {
    if (needs & NeedsModelRun)
        modelColumnOk = checkColumn(setup.columnList(ColumnRole::Model), QStringLiteral("MO="),
                                    QStringLiteral("simulated (model)"));
    if (needs & (NeedsCriterion | NeedsUncertainty))
        checkColumn(setup.columnList(ColumnRole::Observed), QStringLiteral("OB="),
                    QStringLiteral("observed"));
    if ((needs & NeedsCriterion) && (settings.criterion == 2 || settings.criterion == 3))
        checkColumn(setup.columnList(ColumnRole::Index), QStringLiteral("IX="),
                    QStringLiteral("index"));
    // The observation variances weight the Fisher information: without them
    // the analysis cannot be made, which an unattended run would otherwise
    // find only after the calibration.
    if (needs & NeedsUncertainty)
        checkColumn(setup.columnList(ColumnRole::Variance), QStringLiteral("OV="),
                    QStringLiteral("variance"));
}

void SettingsCheck::checkTolerance() {
    try {
        settings.ftol();
    } catch (const FitError& e) {
        found << (keyValues.contains(QStringLiteral("KR=")) ? given(QStringLiteral("KR="))
                                                            : QStringLiteral("The convergence "
                                                                             "criterion: ")) +
                     e.message() + QLatin1Char('.');
    }
}

void SettingsCheck::checkModelColumnWritable() {
    try {
        db.transaction();
        try {
            db.exec(QStringLiteral(" update ") + settings.resultTable + QStringLiteral(" set ") +
                    settings.modelColumn + QStringLiteral("= -99 where ") + settings.condition);
        } catch (...) {
            db.rollback();
            throw;
        }
        db.rollback();
    } catch (const FitError& e) {
        found << QStringLiteral("The simulated column %1 of %2 cannot be written: %3")
                     .arg(settings.modelColumn, settings.resultTable, e.firstLine());
    }
}
