#pragma once
// What the model works on, as the person chooses it: the database with
// PARM_INT, the result table and its condition, and which of its columns hold
// the observed values, the simulated values, the index and the variances. The
// choices go into the calibration settings; the lists to choose from are kept
// here for the window and the command line.
#include "base/combo_state.h"
#include "paramdb/database.h"

#include <functional>

struct CalibrationSettings;

// The four column roles of the result table.
enum class ColumnRole { Observed, Model, Index, Variance };

class ModelSetup {
  public:
    // What the owner is told: the connection opened or closed, the result query
    // opened or closed, the lists changed; `processEvents` lets the window
    // draw before a long query.
    struct Notices {
        std::function<void(bool open)> connectionChanged;
        std::function<void()> resultOpened;
        std::function<void()> changed;
        std::function<void()> processEvents;
    };
    ModelSetup(CalibrationSettings& settings, Notices notices);
    ModelSetup(const ModelSetup&) = delete;
    ModelSetup& operator=(const ModelSetup&) = delete;

    Database& database() { return db; }
    const Database& database() const { return db; }

    // Opens the database settings.databaseFile names: the result table list holds
    // its tables (the first one chosen), and PARM_INT is made when it is missing.
    void openDatabase();

    // The tables to choose the result table from (text "?" at start).
    ComboState& tables() { return tableList; }
    const ComboState& tables() const { return tableList; }
    // The table chosen in tables() becomes the result table to open.
    void applyTableChoice();
    // The caption and state of the button that opens it.
    const QString& openTableCaption() const { return openCaption; }
    bool openTableEnabled() const { return openEnabled; }
    // Opens the result query with the condition and fills the four column lists;
    // the columns chosen before stay chosen where the rows still have them.
    void openResultTable();
    // The statement of the open result query; empty when none is open.
    const QString& resultQuery() const { return openQuery; }
    // Runs the open result query again after the connection was reopened.
    void reopenResultQuery();

    // The columns to choose for a role (text "select" at start).
    ComboState& columnList(ColumnRole role);
    const ComboState& columnList(ColumnRole role) const;
    // Chooses a column for a role: by its entry in the role's list (-1: none),
    // or by name ignoring case (none when the list has no such entry).
    void chooseColumn(ColumnRole role, int index);
    void chooseColumnNamed(ColumnRole role, const QString& name);

  private:
    void closeResultQuery();

    CalibrationSettings& settings;
    Notices notices;
    Database db;
    ComboState tableList;
    QString openCaption = QStringLiteral("open result table");
    bool openEnabled = false;
    ComboState observedList, modelList, indexList, varianceList;
    QString openQuery;
};
