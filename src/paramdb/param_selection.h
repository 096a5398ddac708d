#pragma once
// Choosing fields of the model's own tables as parameters: the logic behind the
// "Parameter selection" dialog, without any widget.
//
// The person opens one table of the database, ticks the fields to calibrate,
// picks the record that holds their current values and an index field that
// identifies that record. "use selection" then appends one PARM_INT record per
// ticked field (bounds, start value and step derived from the current value, and
// a SELECTION condition the write-back uses to find the record again) and adds
// the correlation columns r_2 ... r_N that PARM_INT lacks.
//
// The selection keeps its own copy of the opened table's rows instead of sharing
// a table object with the write-back, so a model run in between (which closes and
// reopens the connection) never leaves it without its fields.
#include "base/combo_state.h"
#include "paramdb/database.h"

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

// Bounds, start value and step proposed for a field whose current value is v.
struct ParameterDefaults {
    double minimum = 0;
    double maximum = 0;
    double ival = 0;
    double step = 0;
};

// 0.1 v, 3 v, v and 0.01 v, formed in extended precision and stored as doubles.
// A negative v gives a minimum above the maximum; the values are not reordered.
ParameterDefaults parameterDefaults(double v);

// The value of a ticked field read as a number: NULL reads as 0, numbers as they
// are, text when it is a number (with "." or the locale's decimal separator).
// Anything else raises FitError naming the field.
double parameterValue(const QVariant& value, const QString& fieldName);

// The row filter that picks the chosen record again: field + "=" + value. The
// value is written unquoted only when it is stored as a number in a column whose
// declared type does not make it text; every other value is put in single quotes
// with embedded quotes doubled. A NULL value cannot identify a record and raises
// FitError.
QString selectionCondition(const QString& indexField, const QVariant& value,
                           const QString& declaredType);

// Adds to PARM_INT every missing column r_k (k = 2 ... number of its records)
// as a double column, in ascending order. Returns the names of the columns added.
QStringList addCorrelationColumns(Database& db);

// The rows of the opened table, read once when it is opened and refreshed for the
// chosen record at each "use selection". Read-only: the grid shows them.
class SelectableRecords : public QAbstractTableModel {
    Q_OBJECT
  public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void reset(const QStringList& fields, const QVector<QVariantList>& rows,
               const QVector<qint64>& rowids);
    void replaceRow(int row, const QVariantList& values);
    const QStringList& fields() const { return fieldNames; }
    const QVariantList& row(int r) const { return rows[r]; }
    // The record's key when the table has one; -1 otherwise (views).
    qint64 rowid(int r) const { return r < rowids.size() ? rowids[r] : -1; }

  private:
    QStringList fieldNames;
    QVector<QVariantList> rows;
    QVector<qint64> rowids;
};

// What one "use selection" did.
struct SelectionOutcome {
    int appended = 0;         // PARM_INT records appended
    QStringList addedColumns; // correlation columns added
    bool close = false;       // the dialog is to close
};

// What the selection needs of the program around it.
class SelectionHost {
  public:
    virtual ~SelectionHost() = default;
    virtual Database& database() = 0;
    // True while an operation runs the model.
    virtual bool busy() const = 0;
    // Records were appended to PARM_INT: the list of parameters is read again.
    virtual void parameterListChanged() = 0;
    // The result table chosen for the calibration (it holds no parameters).
    virtual QString resultTable() const { return QString(); }
};

// The tables of `tables` that can hold parameters: not PARM_INT, not the
// program's run journal, not a backup copy (a name ending in "_bop" beside the
// table it copies), and not the result table.
QStringList parameterTables(const QStringList& tables, const QString& resultTable);

// The ALIAS a new parameter record gets: the field's name, made unique among
// `taken` (ignoring case and blanks) by a number, within `width` characters.
QString uniqueAlias(const QString& field, const QStringList& taken, int width = 15);

class ParamSelection {
  public:
    explicit ParamSelection(SelectionHost& host);

    // ---- state of the dialog's controls ----
    QStringList tableList;           // tables and views of the database
    int tableListIndex = -1;         // the selected entry
    QString tableName;               // the opened table, as listed
    QStringList checkListBox1;       // its field names in field order
    QVector<bool> checked;           // the ticks, one per entry
    ComboState indexFieldCombo;      // text "indexFieldCombo" at start
    int currentRow = -1;             // the grid's current row (-1: none)
    bool closeAfterSelection = true; // CheckBox1 "close window after selection"
    SelectableRecords records;       // the rows of the opened table

    // The dialog became the active window: lists the database's tables again.
    // With no connection open (a model is running) the list is left empty.
    void listTables();
    // Opens the selected entry of tableList: field lists, rows, first row current.
    // The index field is ITEM_IX when the table has one, else its first field.
    void openChosenTable();
    // Opens a table by name, as choosing it in tableList and double-clicking.
    void openTable(const QString& table);
    // Ticks a field by name (ignoring case); false when there is no such field.
    bool setChecked(const QString& field, bool on = true);

    // "use selection": one PARM_INT record per ticked field from the current row,
    // then the missing correlation columns. A failure ends the press with
    // FitError; the records appended before it stay and are shown.
    SelectionOutcome useSelection();

    // What the dialog says of the proposed values: where MINIMUM, MAXIMUM, IVAL
    // and STEP come from, and the current value of each ticked field in the
    // chosen record.
    QString defaultsText() const;

  private:
    QVariantList currentValues();
    QString declaredType(const QString& field) const;
    // The steps of openTable: nothing open, then the table read shown.
    void closeTable();
    void showTable(const QStringList& fields, const QVector<QVariantList>& rows,
                   const QVector<qint64>& rowids);
    // The ticked fields of the current record as new PARM_INT records, with
    // one selection condition; returns how many were appended.
    int appendCheckedFields();
    // One record: the field's value with its default bounds and step, and an
    // ALIAS made unique among `aliases` (which it joins) when PARM_INT has one.
    void appendParameter(const QString& field, const QVariant& value, const QString& selection,
                         bool hasAlias, QStringList& aliases);

    SelectionHost& host;
    QString openedFrom;        // database file the table was read from
    QStringList declaredTypes; // declared column types, by field
    QString rowidName;         // alias under which the rowid was read
};
