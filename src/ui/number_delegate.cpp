#include "ui/number_delegate.h"

#include "base/fit_error.h"
#include "base/number_format.h"

#include <QLineEdit>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QSqlTableModel>

namespace {

int columnType(QAbstractItemModel* model, int column) {
    if (auto* sql = qobject_cast<QSqlQueryModel*>(model))
        return sql->record().field(column).metaType().id();
    return QMetaType::QString;
}

QVariant convert(const QString& text, int type) {
    const bool isReal = type == QMetaType::Double || type == QMetaType::Float;
    const bool isInt = type == QMetaType::Int || type == QMetaType::LongLong;
    if (!isReal && !isInt)
        return text;
    if (text.trimmed().isEmpty())
        return QVariant(QMetaType(type)); // NULL
    if (isReal)
        return parseLocaleDouble(text.trimmed());
    return parseDecimalInt(text.trimmed());
}

} // namespace

NumberDelegate::NumberDelegate(QObject* parent, std::function<void(const QString&)> report)
    : QStyledItemDelegate(parent), reportError(std::move(report)) {}

QString NumberDelegate::displayText(const QVariant& value, const QLocale& locale) const {
    if (value.isNull())
        return QString();
    switch (value.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return formatGeneral(value.toDouble());
    default:
        return QStyledItemDelegate::displayText(value, locale);
    }
}

QWidget* NumberDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                      const QModelIndex&) const {
    auto* e = new QLineEdit(parent);
    e->setFrame(false);
    return e;
}

void NumberDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    static_cast<QLineEdit*>(editor)->setText(displayText(index.data(Qt::EditRole), QLocale()));
}

void NumberDelegate::setModelData(QWidget* editor, QAbstractItemModel* model,
                                  const QModelIndex& index) const {
    const QString text = static_cast<QLineEdit*>(editor)->text();
    QVariant value;
    try {
        value = convert(text, columnType(model, index.column()));
    } catch (const FitError& e) {
        if (reportError)
            reportError(e.message());
        return;
    }
    if (model->setData(index, value, Qt::EditRole))
        return;
    if (auto* table = qobject_cast<QSqlTableModel*>(model)) {
        const QString why = table->lastError().text();
        table->revertAll();
        if (reportError)
            reportError(why.isEmpty() ? QStringLiteral("The value could not be stored.") : why);
    }
}
