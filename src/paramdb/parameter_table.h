#pragma once
// PARM_INT, the table of the parameters to calibrate: the one place that reads
// and writes its records by position.
//
// A parameter vector holds one value per record, from index 1 (index 0 is
// unused): value k belongs to the k-th record in rowid order. Every read here
// asks for rowid order explicitly. Without it SQLite may answer from an index
// the user has put on the table (on MINIMUM and MAXIMUM, say) in that index's
// order, and the values of a vector would land in the wrong records.
#include <QString>
#include <QStringList>
#include <QVariant>
#include <vector>

class Database;

// One record of PARM_INT as stored: a column that is empty or missing reads as
// a null QVariant (numberOf() makes it 0, textOf() "").
struct ParameterRecord {
    qlonglong rowid = 0;
    QVariant initial; // IVAL
    QVariant step;    // STEP
    QVariant minimum; // MINIMUM
    QVariant maximum; // MAXIMUM
    QVariant current; // AVAL
    QString name;     // PNAME
    QString alias;    // ALIAS
};

class ParameterTable {
  public:
    explicit ParameterTable(Database& database) : db(database) {}

    int count();
    // Every record, in rowid order.
    std::vector<ParameterRecord> records();
    // What names each parameter in lists and plots, in rowid order: its ALIAS
    // where the table has that column, else its PNAME.
    QStringList labels();

    // AVAL := IVAL for every record.
    void resetToInitial();
    // Writes values[k] into `column` of the k-th record (k = 1..), for as many
    // records as both have. `column` is one of the table's own columns (AVAL,
    // ERROR, r_k), never a text from outside the program.
    void writeColumn(const QString& column, const std::vector<double>& values);
    // Writes one value into one record.
    void writeValue(qlonglong rowid, const QString& column, const QVariant& value);

  private:
    Database& db;
};
