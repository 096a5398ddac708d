#pragma once
// The command line read as a whole before anything of it is applied: which key
// each argument is, whether its value can be used, and what the line lacks.
//
// Pure: no database, no file, no window is looked at, so a line and what it
// gives (settings, the keys the session applies, the help, the errors) is one
// row of a table in the tests. What needs the database (does RT= name a table,
// OB= a column of it) is checked by the session when it applies the line.
//
// Every argument is a known key with a usable value, or an error that names
// it; nothing is ignored. Keys are written in upper case (XL_OUT and EF= in any
// case); a key in another case, or with ':' for '=', is an error that shows the
// key as it is meant. The value keys and their checks are the table of
// CalibrationSettings::applyArgument(): a new key is one entry there; how the
// operations are asked for (GO, RESUME, RS_, XL_OUT) is BatchOptions'.
#include "evaluation/settings.h"

#include <QString>
#include <QStringList>
#include <map>

// The keys that act on the run file, the database, the result table and its
// columns. The session applies them in this order, whatever order the line
// gives them in: the result table is chosen in the database, its columns are
// listed once it is opened with the condition (1=1 when CD= is not given).
enum class SessionKey {
    RunFile,
    Database,
    ResultTable,
    Condition,
    Observed,
    Model,
    Index,
    Variance
};

// "RF=", "DB=", ...
QString sessionKeyName(SessionKey key);

// What the line can count on from before it (the window may already have a
// database and a result table open).
struct CommandLineContext {
    bool databaseOpen = false;
    bool canAskForDatabase = false; // a person can choose it in a dialog
    bool resultTableChosen = false;
    bool resultTableOpen = false; // its column lists are filled
};

struct ParsedCommandLine {
    // The settings with the value keys of the line applied.
    CalibrationSettings settings;
    // GO, RESUME, RS_ and XL_OUT of the line (GO and XL_OUT are cleared first:
    // only the line sets them; RESUME and RS_ stay as they were).
    BatchOptions batch;
    // The session keys given, with their values (the last one when a key is
    // given twice).
    std::map<SessionKey, QString> sessionValues;
    bool maxCallsGiven = false; // NX= was given: the window's Nmax box shows it
    bool help = false;          // "?": the help is shown and nothing else is done
    // One line per argument that cannot be used ("nx=5: ..."), then one per
    // key the line lacks. Empty when the line can be applied.
    QStringList errors;

    bool has(SessionKey key) const { return sessionValues.count(key) > 0; }
    // A key of the result table (RT=, CD=, a column) is given: they need a database.
    bool hasTableKeys() const {
        for (const auto& [key, value] : sessionValues)
            if (key != SessionKey::RunFile && key != SessionKey::Database)
                return true;
        return false;
    }
    QString value(SessionKey key) const {
        const auto it = sessionValues.find(key);
        return it == sessionValues.end() ? QString() : it->second;
    }
};

ParsedCommandLine parseCommandLine(const QStringList& arguments, const CalibrationSettings& current,
                                   const BatchOptions& currentBatch,
                                   const CommandLineContext& context);
