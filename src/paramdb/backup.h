#pragma once
// Backup and restore of the model's parameter tables around an optimisation or
// a sensitivity analysis: each table named in PARM_INT is copied to <name>_bop.
// The run marker beside the database (see run_marker.h) says, until the tables
// are restored or a result is accepted, that they may hold trial values.
#include <QString>
#include <QStringList>
#include <functional>

class Database;
class RunMarker;

// Receives the log lines of a backup or restore; select=true scrolls to the line.
using LogLine = std::function<void(const QString& line, bool select)>;

// Takes the run marker and copies every model table to its _bop table. A run
// that never finished is restored first; one of a program still running is refused.
void backup(Database& db, RunMarker& runMarker, const LogLine& log);
// Copies every _bop table back and gives up the marker; FitError naming the
// tables that failed and those restored.
void restore(Database& db, RunMarker& runMarker, const LogLine& log);
// Restores each model table from its backup, also past one that fails; names
// the tables restored and, one line each, the failures.
void restoreTables(Database& db, QStringList& restored, QStringList& failures, const LogLine& log);
// The model's tables hold values the person chose (a result was accepted): the
// backup no longer guards a run in progress.
void backupClosed(RunMarker& runMarker);
// For a run that ends with an error or a stop: logs `why` and restores the
// model's tables. A failing restore is logged too, not thrown, so that the
// caller's error stays the one reported.
void restoreAfterFailure(Database& db, RunMarker& runMarker, const LogLine& log,
                         const QString& why);
