#pragma once
// Backup and restore of the model's parameter tables around an optimisation or
// a sensitivity analysis: each table named in PARM_INT is copied to <name>_bop.
// The run marker beside the database (see run_marker.h) says, until the tables
// are restored or a result is accepted, that they may hold trial values.
//
// The same backup keeps, in the table FITMARA_BACKUP_VALUES, what else a run
// changes and must give back when it does not complete: the stored results of
// PARM_INT (AVAL, ERROR, r_k) and the simulated column of the result table
// (by rowid). It is written in the transaction that copies the tables, so a
// program killed at any moment leaves either no backup or a whole one, and
// the next run's recovery puts all of it back.
#include <QString>
#include <QStringList>
#include <functional>

class Database;
class RunMarker;

// Receives the log lines of a backup or restore; select=true scrolls to the line.
using LogLine = std::function<void(const QString& line, bool select)>;

// The result table's column of simulated values, kept with the backup; an
// empty table name: none.
struct SimulatedColumn {
    QString table;
    QString column;
};

// The table of the values a backup keeps beside the _bop copies (never a model table).
inline constexpr char kBackupValuesTable[] = "FITMARA_BACKUP_VALUES";

// Takes the run marker and copies every model table to its _bop table, and
// keeps PARM_INT's stored results and `simulated`, all in one transaction. A
// run that never finished is restored first (tables and kept values); one of a
// program still running is refused.
void backup(Database& db, RunMarker& runMarker, const LogLine& log,
            const SimulatedColumn& simulated = {});
// Copies every _bop table back and gives up the marker; FitError naming the
// tables that failed and those restored.
void restore(Database& db, RunMarker& runMarker, const LogLine& log);
// Restores each model table from its backup, also past one that fails; names
// the tables restored and, one line each, the failures.
void restoreTables(Database& db, QStringList& restored, QStringList& failures, const LogLine& log);
// The model's tables hold values the person chose (a result was accepted): the
// backup no longer guards a run in progress.
void backupClosed(RunMarker& runMarker);
// For a run that did not complete: restores the model's tables, puts back the
// stored results of PARM_INT and the simulated column as the backup kept them,
// and gives up the marker. FitError as restore(); the marker then stays for
// the next run's recovery.
void restoreAll(Database& db, RunMarker& runMarker, const LogLine& log);
// Puts back what the backup kept beside the tables (see restoreAll); nothing
// when the database holds none. Logs what it put back.
void restoreKeptValues(Database& db, const LogLine& log);
// For a run that ends with an error or a stop: logs `why` and restores as
// restoreAll(). A failing restore is logged too, not thrown, so that the
// caller's error stays the one reported. When the database is locked by
// another program, nothing is tried (it would only wait again): the marker
// stays and the next run restores.
void restoreAfterFailure(Database& db, RunMarker& runMarker, const LogLine& log,
                         const QString& why);
