#pragma once
// What PARM_INT keeps of the last completed runs: AVAL (the optimised values),
// ERROR and the correlations r_2 ... r_n. A run that does not complete puts back
// what it found; the values it tried in between are no result.
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <vector>

class Database;

struct StoredResults {
    QStringList columns; // as PARM_INT spells them
    struct Row {
        qlonglong rowid;
        QVariantList values;
    };
    std::vector<Row> rows;
};

StoredResults readStoredResults(Database& db);
// Writes the values back, all or none.
void writeStoredResults(Database& db, const StoredResults& stored);
// Empties ERROR and r_2 ... r_n: standard errors and correlations belong to the
// AVAL they were found at, and go when a new AVAL is stored. One statement, no
// transaction of its own (it goes into the one that stores AVAL).
void clearAnalysisResults(Database& db);
