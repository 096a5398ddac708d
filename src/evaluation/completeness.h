#pragma once
// Whether a model run completed: every result row that the condition chose (and
// marked with -99) before the run is still there and holds a finite number other
// than -99 in the simulated column. NULL, text, NaN (stored as NULL) and
// infinities are not results; a row that is gone leaves the criterion to fewer rows.
#include <QString>

class Database;

struct RunCompleteness {
    bool complete = true;
    bool onlyMarks = false; // incomplete only through rows still at -99
    QString reason;         // which rows and what they hold; empty when complete
};

// t, c, mod: the result table, the condition and the simulated column;
// chosenBefore: the rows marked before the run (negative: unknown).
RunCompleteness runCompleteness(Database& db, const QString& t, const QString& c,
                                const QString& mod, qint64 chosenBefore);
