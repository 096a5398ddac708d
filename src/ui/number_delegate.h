#pragma once
// Grid cells show and take numbers in the program's number format: all 15
// significant digits (the default spin box editor would round a tolerance like
// 0.0001 to two decimals), the locale's decimal separator, an empty cell for
// NULL. Text that is no number is refused before it reaches the database.
#include <QStyledItemDelegate>
#include <functional>

class NumberDelegate : public QStyledItemDelegate {
  public:
    // `report` receives the reason when a typed value is refused or cannot be stored.
    NumberDelegate(QObject* parent, std::function<void(const QString&)> report);

    QString displayText(const QVariant& value, const QLocale& locale) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model,
                      const QModelIndex& index) const override;

  private:
    std::function<void(const QString&)> reportError;
};
