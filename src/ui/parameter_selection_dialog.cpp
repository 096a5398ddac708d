#include "ui/parameter_selection_dialog.h"

#include "base/fit_error.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>

#include <algorithm>

namespace {

template <typename W> W* named(QWidget* parent, const char* name) {
    auto* widget = new W(parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const QString& text) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    return l;
}

} // namespace

ParameterSelectionDialog::ParameterSelectionDialog(Session& session, QWidget* parent)
    : QDialog(parent), s(session), sel(session) {
    setObjectName(QStringLiteral("parameterSelectionDialog"));
    setWindowTitle(QStringLiteral("Parameter selection"));
    setModal(false);
    makeWidgets();
    layOut();
    resize(664, 420);
    showDefaults();
    addButton->setEnabled(!s.busy());
    connectWidgets();
}

void ParameterSelectionDialog::makeWidgets() {
    // Three columns: tables, fields with the index field below, records with
    // the options below. Laid out rather than placed, so that long field names
    // and values can be read by making the dialog larger.
    tablesLabel = label(this, "tablesLabel", QStringLiteral("available tables"));
    tableList = named<QListWidget>(this, "tableList");
    parametersLabel = label(this, "parametersLabel", QStringLiteral("selectable parameters"));
    parameterList = named<QListWidget>(this, "parameterList");
    indexFieldLabel = label(this, "indexFieldLabel", QStringLiteral("index field"));
    indexFieldCombo = named<QComboBox>(this, "indexFieldCombo");
    indexFieldCombo->setPlaceholderText(sel.indexFieldCombo.text);
    indexFieldCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    recordsLabel = label(this, "recordsLabel", QStringLiteral("selectable records"));
    recordGrid = named<QTableView>(this, "recordGrid");
    recordGrid->setModel(&sel.records);
    recordGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    recordGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    recordGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    recordGrid->verticalHeader()->setDefaultSectionSize(20);
    closeAfterAddCheck = named<QCheckBox>(this, "closeAfterAddCheck");
    closeAfterAddCheck->setText(QStringLiteral("close window after selection"));
    closeAfterAddCheck->setChecked(sel.closeAfterSelection);
    addButton = named<QPushButton>(this, "addButton");
    addButton->setText(QStringLiteral("use selection"));
    addButton->setAutoDefault(false);
    hintLabel = label(this, "hintLabel",
                      QStringLiteral("Double-click a table to list its fields; double-click a "
                                     "field (or tick it) to choose it as a parameter. The chosen "
                                     "record holds the values; the index field identifies it."));
    hintLabel->setWordWrap(true);
    defaultsLabel = label(this, "defaultsLabel", QString());
    defaultsLabel->setWordWrap(true);
}

void ParameterSelectionDialog::layOut() {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 3, 8, 8);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(3);
    grid->addWidget(tablesLabel, 0, 0);
    grid->addWidget(tableList, 1, 0, 4, 1);
    grid->addWidget(parametersLabel, 0, 1);
    grid->addWidget(parameterList, 1, 1);
    grid->addWidget(indexFieldLabel, 2, 1);
    grid->addWidget(indexFieldCombo, 3, 1);
    grid->addWidget(recordsLabel, 0, 2);
    grid->addWidget(recordGrid, 1, 2);
    grid->addWidget(closeAfterAddCheck, 2, 2, Qt::AlignLeft);
    grid->addWidget(addButton, 3, 2, Qt::AlignLeft);
    grid->addWidget(defaultsLabel, 5, 0, 1, 3);
    grid->addWidget(hintLabel, 6, 0, 1, 3);
    addButton->setMinimumWidth(281);
    grid->setColumnStretch(0, 121);
    grid->setColumnStretch(1, 121);
    grid->setColumnStretch(2, 369);
    grid->setRowStretch(1, 1);
}

void ParameterSelectionDialog::connectWidgets() {
    connect(tableList, &QListWidget::currentRowChanged, this,
            [this](int row) { sel.tableListIndex = row; });
    connect(tableList, &QListWidget::itemDoubleClicked, this, [this] { onTableDoubleClicked(); });
    connect(parameterList, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        if (filling)
            return;
        const int i = parameterList->row(item);
        if (i >= 0 && i < sel.checked.size())
            sel.checked[i] = item->checkState() == Qt::Checked;
        showDefaults();
    });
    connect(parameterList, &QListWidget::itemDoubleClicked, this, [](QListWidgetItem* item) {
        item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    });
    connect(indexFieldCombo, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling)
            sel.indexFieldCombo.select(i);
    });
    connect(recordGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid())
                    sel.currentRow = current.row();
                showDefaults();
            });
    connect(closeAfterAddCheck, &QCheckBox::toggled, this,
            [this](bool on) { sel.closeAfterSelection = on; });
    connect(addButton, &QPushButton::clicked, this, [this] { onAdd(); });
    // Appending parameters while the model runs would change the optimiser's
    // parameter set under it.
    connect(&s, &Session::busyChanged, addButton,
            [this](bool busy) { addButton->setEnabled(!busy); });
}

bool ParameterSelectionDialog::event(QEvent* e) {
    const bool handled = QDialog::event(e);
    if (e->type() == QEvent::WindowActivate)
        onActivated();
    return handled;
}

void ParameterSelectionDialog::reportError(const QString& message) {
    if (errorPresenter)
        errorPresenter(message);
    else
        QMessageBox::critical(this, windowTitle(), message);
}

void ParameterSelectionDialog::onActivated() {
    try {
        sel.listTables();
    } catch (const FitError& e) {
        sel.tableList.clear();
        sel.tableListIndex = -1;
        tableList->clear();
        reportError(e.message());
        return;
    }
    const QSignalBlocker block(tableList);
    tableList->clear();
    tableList->addItems(sel.tableList);
    tableList->setCurrentRow(sel.tableListIndex);
}

void ParameterSelectionDialog::showFields() {
    filling = true;
    parameterList->clear();
    for (int i = 0; i < sel.checkListBox1.size(); ++i) {
        auto* item = new QListWidgetItem(sel.checkListBox1[i], parameterList);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(sel.checked.value(i) ? Qt::Checked : Qt::Unchecked);
    }
    indexFieldCombo->clear();
    indexFieldCombo->addItems(sel.indexFieldCombo.items);
    indexFieldCombo->setCurrentIndex(sel.indexFieldCombo.index);
    filling = false;
    // Whole values, not "0...."; very long texts are capped so the grid stays usable.
    recordGrid->resizeColumnsToContents();
    for (int c = 0; c < sel.records.columnCount(); ++c)
        recordGrid->setColumnWidth(c, std::min(recordGrid->columnWidth(c), 240));
    if (sel.currentRow >= 0)
        recordGrid->setCurrentIndex(sel.records.index(sel.currentRow, 0));
    showDefaults();
}

void ParameterSelectionDialog::showDefaults() {
    defaultsLabel->setText(sel.defaultsText());
}

void ParameterSelectionDialog::onTableDoubleClicked() {
    sel.tableListIndex = tableList->currentRow();
    try {
        sel.openChosenTable();
    } catch (const FitError& e) {
        showFields();
        reportError(e.message());
        return;
    }
    showFields();
}

void ParameterSelectionDialog::onAdd() {
    SelectionOutcome out;
    try {
        out = sel.useSelection();
    } catch (const FitError& e) {
        reportError(e.message());
        return;
    }
    if (out.close)
        close();
}

void showParameterSelection(Session& session, QWidget* parent) {
    ParameterSelectionDialog* dialog = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* d = qobject_cast<ParameterSelectionDialog*>(w);
        if (d && &d->session() == &session) {
            dialog = d;
            break;
        }
    }
    if (!dialog)
        dialog = new ParameterSelectionDialog(session, parent);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}
