#pragma once
// The checks of the settings an operation needs, made before anything is backed
// up or run: a misspelt key value is found at once, not after the backup or
// after many model runs, and each message names the key and the value when the
// command line gave them, else the control of the window.
#include "evaluation/settings.h"

#include <QHash>
#include <QString>
#include <QStringList>

struct ComboState;
class Database;
class ModelSetup;

// What an operation needs of the settings (ParmIntNeeds say what it needs of PARM_INT).
enum SettingsNeeds : unsigned {
    NeedsModelRun = 1,    // run file, result table, condition, simulated column
    NeedsCriterion = 2,   // observed column; the index column for a grouped criterion
    NeedsTolerance = 4,   // the convergence criterion (KR=, toleranceEdit)
    NeedsUncertainty = 8, // the observed column and a variance column that exists
};

class SettingsCheck {
  public:
    // commandLineValues: the values the command line gave, by key ("RT=" ->
    // "biomass"). modelProgram: the run script as the model process has it.
    SettingsCheck(const CalibrationSettings& settings,
                  const QHash<QString, QString>& commandLineValues, ModelSetup& setup, Database& db,
                  const QString& modelProgram);

    // One line per setting the operation cannot work with (`needs`: SettingsNeeds).
    QStringList problems(unsigned needs);

  private:
    // "RT=biomass: " when the command line gave the key, else "".
    QString given(const QString& key) const;
    void checkRunFile();
    void checkResultTable();
    void checkCondition();
    void checkColumns(unsigned needs);
    bool checkColumn(ComboState& role, const QString& key, const QString& what);
    void checkTolerance();
    // Marks the result rows and takes it back: a table the program cannot
    // write (read-only, locked, a view) is found before the backup.
    void checkModelColumnWritable();

    const CalibrationSettings& settings;
    const QHash<QString, QString>& keyValues;
    ModelSetup& setup;
    Database& db;
    const QString modelProgram;

    QStringList found;
    bool tableOk = false;
    bool conditionOk = false;
    bool modelColumnOk = false;
    QStringList columns; // of the result table, when it exists
};
