#pragma once
// Whether a model run completed: every result row that the condition chose (and
// marked with -99) at the start of the operation is still there and holds a
// finite number other than -99 in the simulated column. NULL, text, NaN (stored
// as NULL) and infinities are not results; rows gone, added or put in the place
// of others leave the criterion to other rows than the operation chose, and a
// criterion over no rows at all is never a result.
#include <QString>
#include <cstdint>

class Database;
struct sqlite3;

// The connection's own SQLite handle, for what reads every chosen row (a
// million of them) without a Qt value per field; FitError when there is none.
sqlite3* sqliteHandle(Database& db);

// The rows the condition chose at the start of an operation, after the marks:
// their number, and the sum (modulo 2^64) and range of their rowids so that
// rows deleted and others inserted in their place are noticed without keeping
// every rowid.
struct ChosenRows {
    qint64 count = -1; // negative: not taken yet
    bool hasRowids = true;
    std::uint64_t rowidSum = 0;
    qint64 firstRowid = 0, lastRowid = 0;

    bool known() const { return count >= 0; }
};

// Takes the reference of the rows that `c` chooses in `t` now.
ChosenRows chosenRows(Database& db, const QString& t, const QString& c);

struct RunCompleteness {
    bool complete = true;
    bool onlyMarks = false; // incomplete only through rows still at -99
    QString reason;         // which rows and what they hold; empty when complete
    double value = 0;       // the `alsoCompute` aggregate of the same scan
};

// t, c, mod: the result table, the condition and the simulated column;
// reference: the rows chosen at the start of the operation (unknown: the rows
// there now). `alsoCompute`, when not empty, is an aggregate over the same rows
// read in the same scan (the criterion), returned as `value`.
RunCompleteness runCompleteness(Database& db, const QString& t, const QString& c,
                                const QString& mod, const ChosenRows& reference,
                                const QString& alsoCompute = QString());
