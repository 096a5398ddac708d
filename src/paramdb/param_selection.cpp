#include "paramdb/param_selection.h"

#include "base/fit_error.h"
#include "base/number_format.h"
#include "paramdb/journal.h"
#include "paramdb/parameter_table.h"

#include <QLocale>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cmath>

namespace {

// The opened table is read by name, whatever characters the name holds.
QString quoteIdent(const QString& name) {
    QString n = name;
    n.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + n + QLatin1Char('"');
}

// SQLite's rule for a column's type affinity, reduced to the one question that
// matters here: does the column turn what it stores into text?
bool hasTextAffinity(const QString& declaredType) {
    const QString t = declaredType.toUpper();
    if (t.contains(QLatin1String("INT")))
        return false;
    return t.contains(QLatin1String("CHAR")) || t.contains(QLatin1String("CLOB")) ||
           t.contains(QLatin1String("TEXT"));
}

} // namespace

ParameterDefaults parameterDefaults(double v) {
    const long double x = v;
    ParameterDefaults d;
    d.minimum = static_cast<double>(0.1L * x);
    d.maximum = static_cast<double>(3.0L * x);
    d.ival = v;
    d.step = static_cast<double>(0.01L * x);
    return d;
}

double parameterValue(const QVariant& value, const QString& fieldName) {
    if (!value.isValid() || value.isNull())
        return 0.0;
    double d = 0;
    bool ok = false;
    if (isNumberValue(value)) {
        d = value.toDouble(&ok);
    } else if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString().trimmed();
        d = QLocale::c().toDouble(text, &ok);
        if (!ok && !text.isEmpty()) {
            try {
                d = parseLocaleDouble(text);
                ok = true;
            } catch (const FitError&) {
                ok = false;
            }
        }
    }
    if (!ok || !std::isfinite(d))
        throw FitError(QStringLiteral("'%1' is not a valid number: the field %2 cannot be a "
                                      "parameter.")
                           .arg(value.toString(), fieldName));
    return d;
}

QString selectionCondition(const QString& indexField, const QVariant& value,
                           const QString& declaredType) {
    if (!value.isValid() || value.isNull())
        throw FitError(QStringLiteral("The index field %1 is empty in the chosen record, so it "
                                      "cannot identify the record: choose another index field.")
                           .arg(indexField));
    if (isNumberValue(value) && !hasTextAffinity(declaredType)) {
        QString number;
        if (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float)
            // The shortest text that reads back as the same double, with "." as SQL wants.
            number = QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
        else
            number = value.toString();
        return indexField + QLatin1Char('=') + number;
    }
    QString text = value.toString();
    text.replace(QLatin1Char('\''), QStringLiteral("''"));
    return indexField + QStringLiteral("='") + text + QLatin1Char('\'');
}

QStringList addCorrelationColumns(Database& db) {
    const int n = ParameterTable(db).count();
    QStringList present = db.columns(QStringLiteral("parm_int"));
    QStringList added;
    for (int k = 2; k <= n; ++k) {
        const QString name = QStringLiteral("r_") + QString::number(k);
        if (present.contains(name, Qt::CaseInsensitive))
            continue;
        db.exec(QStringLiteral(" alter table parm_int add ") + name + QStringLiteral(" double "));
        present << name;
        added << name;
    }
    return added;
}

QStringList parameterTables(const QStringList& tables, const QString& resultTable) {
    QStringList out;
    auto listed = [&](const QString& name) {
        for (const QString& t : tables)
            if (t.compare(name, Qt::CaseInsensitive) == 0)
                return true;
        return false;
    };
    for (const QString& t : journal::withoutJournalTables(tables)) {
        if (t.compare(QLatin1String("PARM_INT"), Qt::CaseInsensitive) == 0)
            continue;
        if (!resultTable.isEmpty() && t.compare(resultTable, Qt::CaseInsensitive) == 0)
            continue;
        if (t.endsWith(QLatin1String("_bop"), Qt::CaseInsensitive) && listed(t.chopped(4)))
            continue;
        out << t;
    }
    return out;
}

QString uniqueAlias(const QString& field, const QStringList& taken, int width) {
    auto used = [&](const QString& alias) {
        for (const QString& t : taken)
            if (t.trimmed().compare(alias.trimmed(), Qt::CaseInsensitive) == 0)
                return true;
        return false;
    };
    const QString base = field.trimmed().left(width);
    if (!used(base))
        return base;
    for (int n = 2;; ++n) {
        const QString suffix = QLatin1Char('_') + QString::number(n);
        const QString alias = base.left(width - int(suffix.size())) + suffix;
        if (!used(alias))
            return alias;
    }
}

// ---- SelectableRecords ----

int SelectableRecords::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows.size());
}

int SelectableRecords::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(fieldNames.size());
}

QVariant SelectableRecords::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows.size() || index.column() >= fieldNames.size())
        return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    const QVariant& v = rows[index.row()][index.column()];
    if (v.isNull())
        return {};
    if (v.typeId() == QMetaType::Double)
        return formatGeneral(v.toDouble());
    return v.toString();
}

QVariant SelectableRecords::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return section < fieldNames.size() ? QVariant(fieldNames[section]) : QVariant();
    return section + 1;
}

void SelectableRecords::reset(const QStringList& fields, const QVector<QVariantList>& newRows,
                              const QVector<qint64>& newRowids) {
    beginResetModel();
    fieldNames = fields;
    rows = newRows;
    rowids = newRowids;
    endResetModel();
}

void SelectableRecords::replaceRow(int row, const QVariantList& values) {
    if (row < 0 || row >= rows.size())
        return;
    rows[row] = values;
    emit dataChanged(index(row, 0), index(row, int(fieldNames.size()) - 1));
}

// ---- ParamSelection ----

ParamSelection::ParamSelection(SelectionHost& selectionHost) : host(selectionHost) {
    indexFieldCombo.text = QStringLiteral("ix_field");
}

void ParamSelection::listTables() {
    const QString was = tableListIndex >= 0 && tableListIndex < tableList.size()
                            ? tableList[tableListIndex]
                            : QString();
    tableList.clear();
    tableListIndex = -1;
    // While a model runs the connection is closed; the list fills again at the
    // next activation instead of raising an error at every focus change.
    if (!host.database().isOpen())
        return;
    tableList = parameterTables(host.database().tables(), host.resultTable());
    if (!was.isEmpty())
        tableListIndex = int(tableList.indexOf(was));
}

void ParamSelection::openChosenTable() {
    if (tableListIndex < 0 || tableListIndex >= tableList.size())
        return;
    openTable(tableList[tableListIndex]);
}

namespace {

// The rows of an opened table, with the key of each row when it was read.
struct TableRows {
    QStringList fields;
    QVector<QVariantList> rows;
    QVector<qint64> rowids;
    bool withKey = false;
};

// A name under which the rowid can be read: one the table does not use for a
// column of its own; empty when it uses them all.
QString rowidAlias(const QStringList& ownColumns) {
    for (const QString& candidate :
         {QStringLiteral("_rowid_"), QStringLiteral("rowid"), QStringLiteral("oid")})
        if (!ownColumns.contains(candidate, Qt::CaseInsensitive))
            return candidate;
    return QString();
}

// Every row of the table, with its key under `alias` when the table has one
// (views have none).
TableRows readTable(QSqlDatabase& h, const QString& table, const QString& alias) {
    QSqlQuery q(h);
    q.setForwardOnly(true);
    TableRows t;
    t.withKey = !alias.isEmpty() && q.exec(QStringLiteral("select *, ") + alias +
                                           QStringLiteral(" from ") + quoteIdent(table));
    if (!t.withKey) {
        q = QSqlQuery(h);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("select * from ") + quoteIdent(table)))
            throw FitError(
                QStringLiteral("%1\nopening the table %2").arg(q.lastError().text(), table));
    }
    const QSqlRecord rec = q.record();
    const int nFields = rec.count() - (t.withKey ? 1 : 0);
    for (int i = 0; i < nFields; ++i)
        t.fields << rec.fieldName(i);
    while (q.next()) {
        QVariantList values;
        values.reserve(nFields);
        for (int i = 0; i < nFields; ++i)
            values << q.value(i);
        t.rows << values;
        if (t.withKey)
            t.rowids << q.value(nFields).toLongLong();
    }
    q.finish();
    return t;
}

// The declared type of each field (empty where there is none).
QStringList declaredTypesOf(QSqlDatabase& h, const QString& table, const QStringList& fields) {
    QStringList types;
    QSqlQuery t(h);
    QHash<QString, QString> byName;
    if (t.exec(QStringLiteral("pragma table_info(%1)").arg(quoteIdent(table))))
        while (t.next())
            byName.insert(t.value(1).toString().toLower(), t.value(2).toString());
    for (const QString& f : fields)
        types << byName.value(f.toLower());
    return types;
}

} // namespace

void ParamSelection::closeTable() {
    indexFieldCombo.items.clear();
    indexFieldCombo.index = -1;
    checkListBox1.clear();
    checked.clear();
    tableName.clear();
    currentRow = -1;
    rowidName.clear();
    declaredTypes.clear();
    openedFrom.clear();
    records.reset({}, {}, {});
}

void ParamSelection::openTable(const QString& table) {
    // Whatever was open is closed first, so a failure leaves no half-shown table.
    closeTable();
    if (!host.database().isOpen())
        throw FitError(
            QStringLiteral("The database is not open: open one with \"change database\" on the "
                           "\"parameters\" tab (or DB=<file> on the command line)."));
    QSqlDatabase h = host.database().handle();

    // The record's key lets "use selection" read the chosen record again, so it
    // takes the values the record holds at that moment. It is read under a name
    // the table does not use for a column of its own; views have no key.
    const QString alias = rowidAlias(host.database().columns(table));
    const TableRows read = readTable(h, table, alias);
    const QStringList types = declaredTypesOf(h, table, read.fields);

    tableName = table;
    openedFrom = host.database().path();
    rowidName = read.withKey ? alias : QString();
    declaredTypes = types;
    showTable(read.fields, read.rows, read.rowids);
}

void ParamSelection::showTable(const QStringList& fields, const QVector<QVariantList>& rows,
                               const QVector<qint64>& rowids) {
    records.reset(fields, rows, rowids);
    currentRow = rows.isEmpty() ? -1 : 0;
    checkListBox1 = fields;
    checked = QVector<bool>(fields.size(), false);
    indexFieldCombo.items = fields;
    indexFieldCombo.select(0);
    for (int i = 0; i < fields.size(); ++i) {
        if (fields[i].compare(QLatin1String("ITEM_IX"), Qt::CaseInsensitive) == 0) {
            indexFieldCombo.select(i);
            break;
        }
    }
}

bool ParamSelection::setChecked(const QString& field, bool on) {
    for (int i = 0; i < checkListBox1.size(); ++i) {
        if (checkListBox1[i].compare(field, Qt::CaseInsensitive) == 0) {
            checked[i] = on;
            return true;
        }
    }
    return false;
}

QString ParamSelection::declaredType(const QString& field) const {
    const int i = int(checkListBox1.indexOf(field));
    return i >= 0 && i < declaredTypes.size() ? declaredTypes[i] : QString();
}

QVariantList ParamSelection::currentValues() {
    const qint64 key = records.rowid(currentRow);
    if (rowidName.isEmpty() || key < 0)
        return records.row(currentRow);
    QSqlQuery q =
        host.database().query(QStringLiteral("select * from ") + quoteIdent(tableName) +
                                  QStringLiteral(" where ") + rowidName + QStringLiteral(" = ?"),
                              {key});
    const QSqlRecord rec = q.record();
    bool sameFields = rec.count() == checkListBox1.size();
    for (int i = 0; sameFields && i < rec.count(); ++i)
        sameFields = rec.fieldName(i).compare(checkListBox1[i], Qt::CaseInsensitive) == 0;
    if (!sameFields)
        throw FitError(QStringLiteral("The fields of the table %1 have changed since it was "
                                      "opened: open it again.")
                           .arg(tableName));
    if (!q.next())
        throw FitError(QStringLiteral("The chosen record no longer exists in the table %1: open "
                                      "the table again.")
                           .arg(tableName));
    QVariantList values;
    for (int i = 0; i < rec.count(); ++i)
        values << q.value(i);
    q.finish();
    records.replaceRow(currentRow, values);
    return values;
}

SelectionOutcome ParamSelection::useSelection() {
    // A record appended while an optimisation runs would give the write-back a
    // parameter the optimiser knows nothing of.
    if (host.busy())
        throw FitError(QStringLiteral("Parameters cannot be added while the model is being "
                                      "run: wait until the operation has ended."));
    SelectionOutcome out;
    try {
        if (checked.contains(true))
            out.appended = appendCheckedFields();
        out.addedColumns = addCorrelationColumns(host.database());
    } catch (...) {
        // What was appended or added before the failure stays, and the parameter
        // grid shows it; a failure of that refresh must not hide the first error.
        if (host.database().isOpen()) {
            try {
                host.parameterListChanged();
            } catch (const FitError&) {
            }
        }
        throw;
    }
    host.parameterListChanged();
    out.close = closeAfterSelection;
    return out;
}

int ParamSelection::appendCheckedFields() {
    if (host.database().path() != openedFrom || !host.database().isOpen())
        throw FitError(QStringLiteral("The table %1 belongs to a database that is no "
                                      "longer open: open the table again.")
                           .arg(tableName));
    if (currentRow < 0 || currentRow >= records.rowCount())
        throw FitError(QStringLiteral("The table %1 has no record to take the values "
                                      "from.")
                           .arg(tableName));
    const QString ixName = indexFieldCombo.selected();
    const int ixPos = int(checkListBox1.indexOf(ixName));
    if (ixPos < 0)
        throw FitError(QStringLiteral("Choose the index field that identifies the "
                                      "record."));
    const QVariantList values = currentValues();
    // Every field of one press comes from the same record, so they share
    // one condition.
    const QString selection = selectionCondition(ixName, values[ixPos], declaredType(ixName));
    // The uncertainty analysis finds each parameter by its ALIAS: a new
    // record gets one, the field's name made unique.
    const bool hasAlias = host.database()
                              .columns(QStringLiteral("parm_int"))
                              .contains(QStringLiteral("ALIAS"), Qt::CaseInsensitive);
    QStringList aliases;
    if (hasAlias) {
        QSqlQuery q = host.database().query(QStringLiteral("select ALIAS from parm_int"));
        while (q.next())
            aliases << q.value(0).toString();
    }
    int appended = 0;
    for (int i = 0; i < checkListBox1.size(); ++i) {
        if (!checked[i])
            continue;
        appendParameter(checkListBox1[i], values[i], selection, hasAlias, aliases);
        ++appended;
    }
    return appended;
}

void ParamSelection::appendParameter(const QString& field, const QVariant& value,
                                     const QString& selection, bool hasAlias,
                                     QStringList& aliases) {
    const double v = parameterValue(value, field);
    const ParameterDefaults d = parameterDefaults(v);
    if (hasAlias) {
        const QString alias = uniqueAlias(field, aliases);
        aliases << alias;
        host.database().exec(
            QStringLiteral("insert into parm_int (FNAME, PNAME, MINIMUM, MAXIMUM, "
                           "IVAL, STEP, SELECTION, ALIAS) values (?, ?, ?, ?, ?, ?, "
                           "?, ?)"),
            {tableName, field, d.minimum, d.maximum, d.ival, d.step, selection, alias});
    } else {
        host.database().exec(QStringLiteral("insert into parm_int (FNAME, PNAME, MINIMUM, MAXIMUM, "
                                            "IVAL, STEP, SELECTION) values (?, ?, ?, ?, ?, ?, ?)"),
                             {tableName, field, d.minimum, d.maximum, d.ival, d.step, selection});
    }
}

QString ParamSelection::defaultsText() const {
    QString text = QStringLiteral("Each ticked field becomes a parameter with IVAL = v, "
                                  "MINIMUM = 0.1 v, MAXIMUM = 3 v and STEP = 0.01 v, where v is "
                                  "the field's current value in the chosen record.");
    if (currentRow < 0 || currentRow >= records.rowCount())
        return text;
    QStringList values;
    const QVariantList& row = records.row(currentRow);
    for (int i = 0; i < checkListBox1.size() && i < row.size(); ++i)
        if (checked.value(i))
            values << QStringLiteral("%1 = %2").arg(
                checkListBox1[i], row[i].isNull()         ? QStringLiteral("(empty: 0)")
                                  : isNumberValue(row[i]) ? formatGeneral(row[i].toDouble())
                                                          : row[i].toString());
    if (!values.isEmpty())
        text += QStringLiteral(" Now: ") + values.join(QStringLiteral(", ")) + QLatin1Char('.');
    return text;
}
