#include "ui/frm_prmsel.h"

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

Tfrm_prmsel::Tfrm_prmsel(Session& session, QWidget* parent)
    : QDialog(parent), s(session), sel(session) {
    setObjectName(QStringLiteral("frm_prmsel"));
    setWindowTitle(QStringLiteral("Parameter selection"));
    setModal(false);
    // Three columns: tables, fields with the index field below, records with
    // the options below. Laid out rather than placed, so that long field names
    // and values can be read by making the dialog larger.
    Label1 = label(this, "Label1", QStringLiteral("available tables"));
    tab_list = named<QListWidget>(this, "tab_list");
    Label2 = label(this, "Label2", QStringLiteral("selectable parameters"));
    CheckListBox1 = named<QListWidget>(this, "CheckListBox1");
    Label3 = label(this, "Label3", QStringLiteral("index field"));
    ix_field = named<QComboBox>(this, "ix_field");
    ix_field->setPlaceholderText(sel.ix_field.text);
    ix_field->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    Label4 = label(this, "Label4", QStringLiteral("selectable records"));
    DBGrid1 = named<QTableView>(this, "DBGrid1");
    DBGrid1->setModel(&sel.records);
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid1->verticalHeader()->setDefaultSectionSize(20);
    CheckBox1 = named<QCheckBox>(this, "CheckBox1");
    CheckBox1->setText(QStringLiteral("close window after selection"));
    CheckBox1->setChecked(sel.closeAfterSelection);
    Button1 = named<QPushButton>(this, "Button1");
    Button1->setText(QStringLiteral("use selection"));
    Button1->setAutoDefault(false);
    hintLabel = label(this, "hintLabel",
                      QStringLiteral("Double-click a table to list its fields; double-click a "
                                     "field (or tick it) to choose it as a parameter. The chosen "
                                     "record holds the values; the index field identifies it."));
    hintLabel->setWordWrap(true);
    defaultsLabel = label(this, "defaultsLabel", QString());
    defaultsLabel->setWordWrap(true);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 3, 8, 8);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(3);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(tab_list, 1, 0, 4, 1);
    grid->addWidget(Label2, 0, 1);
    grid->addWidget(CheckListBox1, 1, 1);
    grid->addWidget(Label3, 2, 1);
    grid->addWidget(ix_field, 3, 1);
    grid->addWidget(Label4, 0, 2);
    grid->addWidget(DBGrid1, 1, 2);
    grid->addWidget(CheckBox1, 2, 2, Qt::AlignLeft);
    grid->addWidget(Button1, 3, 2, Qt::AlignLeft);
    grid->addWidget(defaultsLabel, 5, 0, 1, 3);
    grid->addWidget(hintLabel, 6, 0, 1, 3);
    Button1->setMinimumWidth(281);
    grid->setColumnStretch(0, 121);
    grid->setColumnStretch(1, 121);
    grid->setColumnStretch(2, 369);
    grid->setRowStretch(1, 1);
    resize(664, 420);
    showDefaults();
    Button1->setEnabled(!s.busy());

    connect(tab_list, &QListWidget::currentRowChanged, this,
            [this](int row) { sel.tab_listIndex = row; });
    connect(tab_list, &QListWidget::itemDoubleClicked, this, [this] { tab_listDblClick(); });
    connect(CheckListBox1, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        if (filling)
            return;
        const int i = CheckListBox1->row(item);
        if (i >= 0 && i < sel.checked.size())
            sel.checked[i] = item->checkState() == Qt::Checked;
        showDefaults();
    });
    connect(CheckListBox1, &QListWidget::itemDoubleClicked, this, [](QListWidgetItem* item) {
        item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    });
    connect(ix_field, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (!filling)
            sel.ix_field.select(i);
    });
    connect(DBGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid())
                    sel.currentRow = current.row();
                showDefaults();
            });
    connect(CheckBox1, &QCheckBox::toggled, this,
            [this](bool on) { sel.closeAfterSelection = on; });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    // Appending parameters while the model runs would change the optimiser's
    // parameter set under it.
    connect(&s, &Session::busyChanged, Button1, [this](bool busy) { Button1->setEnabled(!busy); });
}

bool Tfrm_prmsel::event(QEvent* e) {
    const bool handled = QDialog::event(e);
    if (e->type() == QEvent::WindowActivate)
        FormActivate();
    return handled;
}

void Tfrm_prmsel::reportError(const QString& message) {
    if (errorPresenter)
        errorPresenter(message);
    else
        QMessageBox::critical(this, windowTitle(), message);
}

void Tfrm_prmsel::FormActivate() {
    try {
        sel.listTables();
    } catch (const FitError& e) {
        sel.tab_list.clear();
        sel.tab_listIndex = -1;
        tab_list->clear();
        reportError(e.message());
        return;
    }
    const QSignalBlocker block(tab_list);
    tab_list->clear();
    tab_list->addItems(sel.tab_list);
    tab_list->setCurrentRow(sel.tab_listIndex);
}

void Tfrm_prmsel::showFields() {
    filling = true;
    CheckListBox1->clear();
    for (int i = 0; i < sel.checkListBox1.size(); ++i) {
        auto* item = new QListWidgetItem(sel.checkListBox1[i], CheckListBox1);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(sel.checked.value(i) ? Qt::Checked : Qt::Unchecked);
    }
    ix_field->clear();
    ix_field->addItems(sel.ix_field.items);
    ix_field->setCurrentIndex(sel.ix_field.index);
    filling = false;
    // Whole values, not "0...."; very long texts are capped so the grid stays usable.
    DBGrid1->resizeColumnsToContents();
    for (int c = 0; c < sel.records.columnCount(); ++c)
        DBGrid1->setColumnWidth(c, std::min(DBGrid1->columnWidth(c), 240));
    if (sel.currentRow >= 0)
        DBGrid1->setCurrentIndex(sel.records.index(sel.currentRow, 0));
    showDefaults();
}

void Tfrm_prmsel::showDefaults() {
    defaultsLabel->setText(sel.defaultsText());
}

void Tfrm_prmsel::tab_listDblClick() {
    sel.tab_listIndex = tab_list->currentRow();
    try {
        sel.openChosenTable();
    } catch (const FitError& e) {
        showFields();
        reportError(e.message());
        return;
    }
    showFields();
}

void Tfrm_prmsel::Button1Click() {
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
    Tfrm_prmsel* dialog = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* d = qobject_cast<Tfrm_prmsel*>(w);
        if (d && &d->session() == &session) {
            dialog = d;
            break;
        }
    }
    if (!dialog)
        dialog = new Tfrm_prmsel(session, parent);
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}
