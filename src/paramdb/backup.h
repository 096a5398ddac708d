#pragma once
// Backup and restore of the model's parameter tables around an optimisation or
// a sensitivity analysis: each table named in PARM_INT is copied to <name>_bop.
// A marker file beside the database tells, until the tables are restored or a
// result is accepted, that they may hold trial values.
#include <QString>
#include <functional>

class Database;

// Receives the log lines of a backup or restore; select=true scrolls to the line.
using LogLine = std::function<void(const QString& line, bool select)>;

// Copies every model table to its _bop table. A run that never finished
// (its marker left behind by a program no longer running) is restored first;
// one of a program still running is refused.
void backup(Database& db, const LogLine& log);
// Copies every _bop table back; each on its own, the failures reported together.
void restore(Database& db, const LogLine& log);
// The model's tables hold values the person chose (a result was accepted): the
// backup no longer guards a run in progress.
void backupClosed(Database& db);
// For a run that ends with an error or a stop: logs `why` and restores the
// model's tables. A failing restore is logged too, not thrown, so that the
// caller's error stays the one reported.
void restoreAfterFailure(Database& db, const LogLine& log, const QString& why);
