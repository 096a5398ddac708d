#include "ui/opti_main.h"

#include "app/batch.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "ui/error_chart.h"
#include "ui/fit_chart.h"
#include "ui/frm_prmsel.h"
#include "ui/number_delegate.h"
#include "ui/result_dialog.h"
#include "ui/text_editor_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDoubleSpinBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScopeGuard>
#include <QSpinBox>
#include <QSplitter>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>

// A drop-down list that tells when its list closes and when the focus leaves it
// (QComboBox only reports a chosen entry).
class CloseUpCombo : public QComboBox {
  public:
    using QComboBox::QComboBox;

    std::function<void()> onCloseUp;
    std::function<void()> onFocusLeft;

    // True while the list is open or its closing has not been handled yet.
    bool closeUpPending() const { return pending || (view() && view()->isVisible()); }

    void hidePopup() override {
        // QComboBox also calls this when it is hidden (another tab comes to the
        // front) with no list open: that is no closing of the list.
        const bool wasOpen = view() && view()->isVisible();
        QComboBox::hidePopup();
        if (!wasOpen || pending)
            return;
        pending = true;
        // Deferred: when an entry is clicked the list closes before the entry
        // becomes the current one.
        QTimer::singleShot(0, this, [this] {
            pending = false;
            if (onCloseUp)
                onCloseUp();
        });
    }

  protected:
    void focusOutEvent(QFocusEvent* e) override {
        QComboBox::focusOutEvent(e);
        // Opening its own list, or another window coming to the front, is no
        // leaving of the control.
        if (e->reason() == Qt::PopupFocusReason || e->reason() == Qt::ActiveWindowFocusReason)
            return;
        if (onFocusLeft)
            onFocusLeft();
    }

  private:
    bool pending = false;
};

namespace {

// Reads every row at once, so no statement stays open on the database file
// that the model writes between evaluations.
void fetchAll(QSqlQueryModel* model) {
    while (model->canFetchMore())
        model->fetchMore();
}

void setComboFromState(QComboBox* combo, const ComboState& state) {
    const QSignalBlocker block(combo);
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown << combo->itemText(i);
    if (shown != state.items) {
        combo->clear();
        combo->addItems(state.items);
    }
    combo->setCurrentIndex(state.index >= 0 && state.index < combo->count() ? state.index : -1);
    combo->setPlaceholderText(state.text);
}

// Sets an edit from the Session only when the Session's text changed since it
// was last shown: what the person is typing stays as it is.
void mirrorText(QLineEdit* edit, const QString& sessionText, QString& lastShown) {
    if (sessionText == lastShown && edit->text() == sessionText)
        return;
    if (sessionText != lastShown || !edit->hasFocus()) {
        const QSignalBlocker block(edit);
        if (edit->text() != sessionText)
            edit->setText(sessionText);
    }
    lastShown = sessionText;
}

QPushButton* makeButton(const QString& name, const QString& caption, QWidget* parent,
                        int width = 0) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    if (width > 0)
        b->setMinimumWidth(width);
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return b;
}

QLabel* makeLabel(const QString& name, const QString& caption, QWidget* parent) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(name);
    return l;
}

template <class Combo> Combo* makeCombo(const QString& name, QWidget* parent, int width) {
    auto* c = new Combo(parent);
    c->setObjectName(name);
    c->setMinimumWidth(width);
    c->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    return c;
}

QString mmss(qint64 ms) {
    const qint64 secs = ms / 1000;
    return QStringLiteral("%1:%2")
        .arg(secs / 60, 2, 10, QLatin1Char('0'))
        .arg(secs % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

Topti_main::Topti_main(Session& session, QWidget* parent) : QMainWindow(parent), s(session) {
    setObjectName(QStringLiteral("opti_main"));
    if (!s.asker)
        s.asker = this;

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    Button6 = makeButton(QStringLiteral("Button6"), QStringLiteral("exit"), PageControl1, 76);
    // Above the tabs at the right.
    PageControl1->setCornerWidget(Button6, Qt::TopRightCorner);

    buildParametersTab();
    buildResultTab();
    buildModelCallTab();
    buildFitmaraTab();
    PageControl1->setCurrentWidget(TabSheet4);

    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(4, 8, 4, 0);
    centralLayout->addWidget(PageControl1);
    setCentralWidget(central);
    statusBar()->setObjectName(QStringLiteral("StatusBar1"));

    runStatusTimer = new QTimer(this);
    runStatusTimer->setInterval(1000);
    connect(runStatusTimer, &QTimer::timeout, this, &Topti_main::refreshRunStatus);
    connectSession();
    refreshFromSession();
    for (const QString& line : s.lb.lines())
        lb->addItem(line);
    Chart1->replace(s.series);
    applyBusy(s.busy());
    resize(965, 521);
}

Topti_main::~Topti_main() {
    if (s.asker == this)
        s.asker = nullptr;
}

// ---------------------------------------------------------------- the tabs

void Topti_main::buildParametersTab() {
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    auto* layout = new QVBoxLayout(TabSheet1);
    layout->setContentsMargins(3, 12, 3, 6);

    Button2 =
        makeButton(QStringLiteral("Button2"), QStringLiteral("change database"), TabSheet1, 145);
    layout->addWidget(Button2, 0, Qt::AlignLeft);
    layout->addSpacing(14);

    DBGrid1 = new QTableView(TabSheet1);
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    DBGrid1->setAlternatingRowColors(true);
    DBGrid1->horizontalHeader()->setMinimumSectionSize(64);
    DBGrid1->setItemDelegate(
        new NumberDelegate(DBGrid1, [this](const QString& m) { reportError(m); }));
    DBGrid1->verticalHeader()->setDefaultSectionSize(DBGrid1->fontMetrics().height() + 6);
    layout->addWidget(DBGrid1, 1);
    layout->addSpacing(10);

    Button9 = makeButton(QStringLiteral("Button9"), QStringLiteral("add parameter record"),
                         TabSheet1, 142);
    layout->addWidget(Button9, 0, Qt::AlignLeft);

    PageControl1->addTab(TabSheet1, QStringLiteral("parameters"));

    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button9, &QPushButton::clicked, this, &Topti_main::Button9Click);
}

void Topti_main::buildResultTab() {
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    auto* layout = new QVBoxLayout(TabSheet2);
    layout->setContentsMargins(21, 3, 21, 6);

    auto* top = new QGridLayout;
    top->setHorizontalSpacing(26);
    top->addWidget(makeLabel(QStringLiteral("Label1"), QStringLiteral("table name"), TabSheet2), 0,
                   0);
    top->addWidget(
        makeLabel(QStringLiteral("Label2"), QStringLiteral("filter condition"), TabSheet2), 0, 1);
    table_LIST = makeCombo<CloseUpCombo>(QStringLiteral("table_LIST"), TabSheet2, 200);
    top->addWidget(table_LIST, 1, 0);
    condition = new QLineEdit(TabSheet2);
    condition->setObjectName(QStringLiteral("condition"));
    top->addWidget(condition, 1, 1);
    Button3 =
        makeButton(QStringLiteral("Button3"), QStringLiteral("open result table"), TabSheet2, 177);
    Button3->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    top->addWidget(Button3, 2, 1, Qt::AlignLeft);
    top->setColumnStretch(0, 361);
    top->setColumnStretch(1, 486);
    top->setRowMinimumHeight(2, 45);
    layout->addLayout(top);
    layout->addSpacing(8);

    DBGrid2 = new QTableView(TabSheet2);
    DBGrid2->setObjectName(QStringLiteral("DBGrid2"));
    DBGrid2->setAlternatingRowColors(true);
    DBGrid2->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid2->setItemDelegate(
        new NumberDelegate(DBGrid2, [this](const QString& m) { reportError(m); }));
    DBGrid2->verticalHeader()->setDefaultSectionSize(DBGrid2->fontMetrics().height() + 6);
    // A copy of the rows rather than a live query: it stays readable while the
    // model holds the database, so the grid is not blank during a run.
    resultModel = new QStandardItemModel(this);
    resultModel->setObjectName(QStringLiteral("observations"));
    DBGrid2->setModel(resultModel);
    auto* splitter = new QSplitter(Qt::Horizontal, TabSheet2);
    splitter->setObjectName(QStringLiteral("resultSplitter"));
    splitter->addWidget(DBGrid2);
    fitChart = new FitChart(splitter);
    fitChart->setObjectName(QStringLiteral("fitChart"));
    splitter->addWidget(fitChart);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);
    layout->addSpacing(12);

    // The four column roles below the grid: index at the left, observation and
    // its variance one above the other, model at the right.
    idx_fld = makeCombo<QComboBox>(QStringLiteral("idx_fld"), TabSheet2, 105);
    obs_fld = makeCombo<QComboBox>(QStringLiteral("obs_fld"), TabSheet2, 105);
    var_fld = makeCombo<QComboBox>(QStringLiteral("var_fld"), TabSheet2, 105);
    mod_fld = makeCombo<QComboBox>(QStringLiteral("mod_fld"), TabSheet2, 105);
    auto* roles = new QGridLayout;
    roles->setHorizontalSpacing(8);
    roles->setColumnStretch(0, 1);
    roles->addWidget(makeLabel(QStringLiteral("Label9"), QStringLiteral("index field"), TabSheet2),
                     0, 1, Qt::AlignRight);
    roles->addWidget(idx_fld, 0, 2);
    roles->setColumnMinimumWidth(3, 60);
    roles->addWidget(makeLabel(QStringLiteral("Label6"), QStringLiteral("observation"), TabSheet2),
                     0, 4, Qt::AlignRight);
    roles->addWidget(obs_fld, 0, 5);
    roles->addWidget(makeLabel(QStringLiteral("Label10"), QStringLiteral("ob.variance"), TabSheet2),
                     1, 4, Qt::AlignRight);
    roles->addWidget(var_fld, 1, 5);
    roles->setColumnMinimumWidth(6, 30);
    roles->addWidget(makeLabel(QStringLiteral("Label7"), QStringLiteral("model"), TabSheet2), 0, 7,
                     Qt::AlignRight);
    roles->addWidget(mod_fld, 0, 8);
    layout->addLayout(roles);

    PageControl1->addTab(TabSheet2, QStringLiteral("result table"));

    table_LIST->onCloseUp = [this] { table_LISTCloseUp(); };
    table_LIST->onFocusLeft = [this] { table_LISTCloseUp(); };
    connect(table_LIST, &QComboBox::activated, this, [this] {
        if (!table_LIST->closeUpPending())
            table_LISTCloseUp();
    });
    connect(condition, &QLineEdit::textEdited, this, [this](const QString& t) {
        s.settings.condition = t;
        shownCondition = t;
    });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    const std::pair<QComboBox*, ColumnRole> roleLists[] = {{idx_fld, ColumnRole::Index},
                                                           {obs_fld, ColumnRole::Observed},
                                                           {var_fld, ColumnRole::Variance},
                                                           {mod_fld, ColumnRole::Model}};
    for (const auto& [combo, role] : roleLists) {
        const ColumnRole r = role;
        connect(combo, &QComboBox::activated, this, [this, r](int index) {
            s.chooseColumn(r, index);
            fitChart->requestRefresh();
        });
    }
    // The rows as the result grid shows them, read with the roles and the
    // condition the criterion uses. While the model runs the database is closed:
    // the chart keeps its picture until the run has ended.
    fitChart->setSource([this]() -> std::optional<FitData> {
        if (!s.db.isOpen())
            return std::nullopt;
        if (s.form.resultQuery.isEmpty())
            return FitData{};
        const CalibrationSettings& c = s.settings;
        return readFitPoints(s.db, c.tname, c.condition, c.observedColumn, c.modelColumn,
                             c.indexColumn);
    });
}

void Topti_main::buildModelCallTab() {
    TabSheet3 = new QWidget;
    TabSheet3->setObjectName(QStringLiteral("TabSheet3"));
    auto* layout = new QVBoxLayout(TabSheet3);
    layout->setContentsMargins(24, 24, 24, 6);

    auto* buttons = new QHBoxLayout;
    Button1 = makeButton(QStringLiteral("Button1"), QStringLiteral("open runfile"), TabSheet3, 153);
    Button5 = makeButton(QStringLiteral("Button5"), QStringLiteral("edit runfile"), TabSheet3, 156);
    buttons->addWidget(Button1);
    buttons->addSpacing(6);
    buttons->addWidget(Button5);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->addSpacing(23);

    // Which run file the model runs are made with: the list below shows its lines.
    runFileLabel = makeLabel(QStringLiteral("runFileLabel"), QString(), TabSheet3);
    runFileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(runFileLabel);
    layout->addSpacing(4);
    run_lb = new QListWidget(TabSheet3);
    run_lb->setObjectName(QStringLiteral("run_lb"));
    run_lb->setSelectionMode(QAbstractItemView::SingleSelection);
    run_lb->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(run_lb, 1);
    layout->addSpacing(19);

    Button7 =
        makeButton(QStringLiteral("Button7"), QStringLiteral("check model run"), TabSheet3, 129);
    layout->addWidget(Button7, 0, Qt::AlignLeft);

    PageControl1->addTab(TabSheet3, QStringLiteral("model call"));

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
    connect(Button7, &QPushButton::clicked, this, [this] { Button7Click(); });
}

void Topti_main::buildFitmaraTab() {
    TabSheet4 = new QWidget;
    TabSheet4->setObjectName(QStringLiteral("TabSheet4"));
    auto* layout = new QVBoxLayout(TabSheet4);
    layout->setContentsMargins(3, 10, 3, 6);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(0);

    // Optimisation: start, Nmax, tolerance.
    auto* opt = new QGridLayout;
    opt->setVerticalSpacing(4);
    Button4 = makeButton(QStringLiteral("Button4"), QStringLiteral("start optimization "),
                         TabSheet4, 142);
    opt->addWidget(Button4, 0, 0, 1, 2);
    opt->addWidget(makeLabel(QStringLiteral("Label12"), QStringLiteral("Nmax"), TabSheet4), 1, 0,
                   Qt::AlignRight);
    Edit2 = new QLineEdit(QStringLiteral("50"), TabSheet4);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setFixedWidth(65);
    // Digits only, at most nine: every text the field can hold is either empty
    // (while the person retypes) or a valid count, so no conversion error arises.
    Edit2->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), Edit2));
    opt->addWidget(Edit2, 1, 1);
    opt->addWidget(makeLabel(QStringLiteral("Label3"), QStringLiteral("criterion"), TabSheet4), 2,
                   0, Qt::AlignRight);
    Edit3 = new QLineEdit(QStringLiteral("0.0001"), TabSheet4);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    Edit3->setFixedWidth(65);
    opt->addWidget(Edit3, 2, 1);
    opt->addWidget(makeLabel(QStringLiteral("LabelSearch"), QStringLiteral("search"), TabSheet4), 3,
                   0, Qt::AlignRight);
    searchMethodBox = new QComboBox(TabSheet4);
    searchMethodBox->setObjectName(QStringLiteral("searchMethodBox"));
    searchMethodBox->addItem(QStringLiteral("simplex (NM)"));
    searchMethodBox->addItem(QStringLiteral("least squares (LM)"));
    searchMethodBox->setToolTip(
        QStringLiteral("The downhill simplex minimises the error criterion; Levenberg-Marquardt "
                       "minimises the weighted sum of squared residuals and makes the runs of "
                       "each step at once on parallel runs (SM= on the command line)."));
    opt->addWidget(searchMethodBox, 3, 1);
    controls->addLayout(opt);
    controls->addSpacing(39);

    // Error criterion.
    auto* crit = new QVBoxLayout;
    crit->setSpacing(2);
    crit->addWidget(
        makeLabel(QStringLiteral("Label8"), QStringLiteral("error assessment"), TabSheet4));
    RadioButton1 = new QRadioButton(QStringLiteral("RMSE no groups"), TabSheet4);
    RadioButton1->setObjectName(QStringLiteral("RadioButton1"));
    RadioButton2 = new QRadioButton(QStringLiteral("NRMSE (groups)"), TabSheet4);
    RadioButton2->setObjectName(QStringLiteral("RadioButton2"));
    RadioButton3 = new QRadioButton(QStringLiteral("CV(RMSE) (groups)"), TabSheet4);
    RadioButton3->setObjectName(QStringLiteral("RadioButton3"));
    RadioButton3->setToolTip(QStringLiteral("coefficient of variation of the RMSE"));
    RadioButton1->setChecked(true);
    criterionGroup = new QButtonGroup(this);
    criterionGroup->addButton(RadioButton1, 1);
    criterionGroup->addButton(RadioButton2, 2);
    criterionGroup->addButton(RadioButton3, 3);
    crit->addWidget(RadioButton1);
    crit->addWidget(RadioButton2);
    crit->addWidget(RadioButton3);
    crit->addStretch(1);
    controls->addLayout(crit);
    controls->addSpacing(40);

    // Sensitivity coefficients.
    auto* sens = new QGridLayout;
    sens->setVerticalSpacing(4);
    Button8 = makeButton(QStringLiteral("Button8"), QStringLiteral("sensitivity coefficient"),
                         TabSheet4, 129);
    sens->addWidget(Button8, 0, 0, 1, 3);
    sens->addWidget(makeLabel(QStringLiteral("Label4"), QStringLiteral("step size"), TabSheet4), 1,
                    0);
    Edit1 = new QLineEdit(QStringLiteral("5"), TabSheet4);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setFixedWidth(40);
    sens->addWidget(Edit1, 1, 1);
    sens->addWidget(makeLabel(QStringLiteral("Label5"), QStringLiteral("%"), TabSheet4), 1, 2);
    sens->setRowStretch(2, 1);
    controls->addLayout(sens);
    controls->addSpacing(40);

    // Uncertainty analysis and the parameter plot.
    auto* unc = new QVBoxLayout;
    unc->setSpacing(4);
    Button10 =
        makeButton(QStringLiteral("Button10"), QStringLiteral("uncertainty (FIM)"), TabSheet4, 153);
    unc->addWidget(Button10);
    ComboBox1 = makeCombo<CloseUpCombo>(QStringLiteral("ComboBox1"), TabSheet4, 153);
    auto* plotLabel = makeLabel(QStringLiteral("sensitivityPlotLabel"),
                                QStringLiteral("plot sensitivities to"), TabSheet4);
    plotLabel->setBuddy(ComboBox1);
    const QString plotHint =
        QStringLiteral("after an uncertainty analysis: the change of each observation's model "
                       "value per unit change of the chosen parameter");
    plotLabel->setToolTip(plotHint);
    ComboBox1->setToolTip(plotHint);
    unc->addWidget(plotLabel);
    unc->addWidget(ComboBox1);
    saveWorkbookButton = makeButton(QStringLiteral("saveWorkbookButton"),
                                    QStringLiteral("save workbook…"), TabSheet4, 153);
    saveWorkbookButton->setToolTip(
        QStringLiteral("writes the last uncertainty analysis as an .xlsx workbook"));
    unc->addWidget(saveWorkbookButton);
    unc->addStretch(1);
    controls->addLayout(unc);
    controls->addStretch(1);

    // Stopping a run and the pauses around each model run.
    auto* run = new QGridLayout;
    run->setVerticalSpacing(4);
    ButtonStop = makeButton(QStringLiteral("ButtonStop"), QStringLiteral("stop"), TabSheet4, 90);
    ButtonStop->setToolTip(
        QStringLiteral("ends the running operation after the current model run"));
    run->addWidget(ButtonStop, 0, 1, Qt::AlignRight);
    run->addWidget(
        makeLabel(QStringLiteral("Label13"), QStringLiteral("pause after run [ms]"), TabSheet4), 1,
        0, Qt::AlignRight);
    EditPauseRun = new QSpinBox(TabSheet4);
    EditPauseRun->setObjectName(QStringLiteral("EditPauseRun"));
    EditPauseRun->setRange(0, 3600000);
    EditPauseRun->setValue(s.settings.pauseAfterRunMs);
    run->addWidget(EditPauseRun, 1, 1);
    run->addWidget(
        makeLabel(QStringLiteral("Label14"), QStringLiteral("pause before vertex [ms]"), TabSheet4),
        2, 0, Qt::AlignRight);
    EditPauseVertex = new QSpinBox(TabSheet4);
    EditPauseVertex->setObjectName(QStringLiteral("EditPauseVertex"));
    EditPauseVertex->setRange(0, 3600000);
    EditPauseVertex->setValue(s.settings.pauseBeforeVertexMs);
    run->addWidget(EditPauseVertex, 2, 1);
    run->addWidget(
        makeLabel(QStringLiteral("Label15"), QStringLiteral("run timeout [s]"), TabSheet4), 3, 0,
        Qt::AlignRight);
    EditTimeout = new QDoubleSpinBox(TabSheet4);
    EditTimeout->setObjectName(QStringLiteral("EditTimeout"));
    EditTimeout->setRange(0, 1e7);
    EditTimeout->setDecimals(1);
    EditTimeout->setSpecialValueText(QStringLiteral("none"));
    EditTimeout->setToolTip(QStringLiteral("a model run longer than this is ended and counts as "
                                           "failed; 0: no limit"));
    EditTimeout->setValue(s.settings.runTimeoutS);
    run->addWidget(EditTimeout, 3, 1);
    CheckResume = new QCheckBox(QStringLiteral("resume"), TabSheet4);
    CheckResume->setObjectName(QStringLiteral("CheckResume"));
    CheckResume->setToolTip(QStringLiteral("replays an unfinished calibration with the same "
                                           "settings from the run journal and carries it on"));
    run->addWidget(CheckResume, 4, 1);
    run->addWidget(
        makeLabel(QStringLiteral("LabelParallel"), QStringLiteral("parallel runs"), TabSheet4), 5,
        0, Qt::AlignRight);
    EditParallel = new QSpinBox(TabSheet4);
    EditParallel->setObjectName(QStringLiteral("EditParallel"));
    EditParallel->setRange(1, 256);
    EditParallel->setValue(s.settings.parallelRuns);
    EditParallel->setToolTip(QStringLiteral("model runs at the same time (NP=); more than 1 runs "
                                            "each in a copy of the model's folder"));
    run->addWidget(EditParallel, 5, 1);
    controls->addLayout(run);

    layout->addLayout(controls);
    layout->addSpacing(8);

    // The log at the left, the chart at the right; both grow with the window.
    auto* bottom = new QHBoxLayout;
    lb = new QListWidget(TabSheet4);
    lb->setObjectName(QStringLiteral("lb"));
    lb->setUniformItemSizes(true);
    lb->setEditTriggers(QAbstractItemView::NoEditTriggers);
    bottom->addWidget(lb, 374);
    bottom->addSpacing(12);
    Chart1 = new ErrorChart(TabSheet4);
    Chart1->setObjectName(QStringLiteral("Chart1"));
    bottom->addWidget(Chart1, 561);
    layout->addLayout(bottom, 1);

    PageControl1->addTab(TabSheet4, QStringLiteral("fitmara"));

    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
    connect(Button8, &QPushButton::clicked, this, [this] { Button8Click(); });
    connect(Button10, &QPushButton::clicked, this, [this] { Button10Click(); });
    connect(saveWorkbookButton, &QPushButton::clicked, this,
            [this] { runAction([this] { s.saveWorkbook(); }); });
    connect(ButtonStop, &QPushButton::clicked, this, [this] {
        s.requestStop();
        refreshRunStatus();
    });
    connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
    connect(Edit2, &QLineEdit::textEdited, this, &Topti_main::Edit2Change);
    connect(Edit1, &QLineEdit::textEdited, this, [this](const QString& t) {
        s.settings.sensitivityStep = t;
        shownEdit1 = t;
    });
    connect(searchMethodBox, &QComboBox::currentIndexChanged, this,
            [this](int index) { s.settings.leastSquares = index == 1; });
    connect(Edit3, &QLineEdit::textEdited, this, [this](const QString& t) {
        s.settings.tolerance = t;
        shownEdit3 = t;
    });
    connect(criterionGroup, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked)
            s.settings.criterion = id;
    });
    connect(EditPauseRun, &QSpinBox::valueChanged, this,
            [this](int v) { s.settings.pauseAfterRunMs = v; });
    connect(EditPauseVertex, &QSpinBox::valueChanged, this,
            [this](int v) { s.settings.pauseBeforeVertexMs = v; });
    connect(EditTimeout, &QDoubleSpinBox::valueChanged, this,
            [this](double v) { s.settings.runTimeoutS = v; });
    connect(CheckResume, &QCheckBox::toggled, this, [this](bool on) { s.settings.resume = on; });
    connect(EditParallel, &QSpinBox::valueChanged, this, [this](int v) {
        runAction([this, v] { s.settings.setParallelRuns(QString::number(v)); });
    });
    ComboBox1->onCloseUp = [this] { ComboBox1CloseUp(); };
    connect(ComboBox1, &QComboBox::activated, this, [this] {
        if (!ComboBox1->closeUpPending())
            ComboBox1CloseUp();
    });
    connect(Chart1, &ErrorChart::pointsOmitted, this, [this](int n) {
        statusBar()->showMessage(
            QStringLiteral("%1 value(s) not greater than zero are not drawn on the logarithmic "
                           "axis.")
                .arg(n));
    });
}

// ---------------------------------------------------------------- the Session

void Topti_main::connectSession() {
    connect(&s, &Session::stateChanged, this, &Topti_main::refreshFromSession);
    connect(&s.lb, &LogList::lineAppended, this, &Topti_main::appendLogLine);
    connect(&s.lb, &LogList::cleared, lb, &QListWidget::clear);
    connect(&s, &Session::chartCleared, this, [this] {
        Chart1->clear();
        Chart1->showCriterionCourse(s.settings.criterionName());
    });
    connect(&s, &Session::chartPointAdded, Chart1, &ErrorChart::addPoint);
    connect(&s, &Session::chartReplaced, this, [this] {
        // The parameter plot: the sensitivities to the chosen parameter, or
        // with none chosen the model values.
        Chart1->showSensitivities(s.form.comboBox1.selected());
        Chart1->replace(s.series);
    });
    connect(&s, &Session::connectionChanged, this, [this](bool open) {
        if (!open)
            clearParmInt();
        refreshFromSession();
    });
    connect(&s, &Session::parmintOpened, this, &Topti_main::reloadParmInt);
    connect(&s, &Session::resultOpened, this, &Topti_main::reloadResult);
    // Opened, reopened after every model run, or closed.
    connect(&s, &Session::resultOpened, fitChart, &FitChart::requestRefresh);
    connect(&s, &Session::statusMessage, this,
            [this](const QString& text) { statusBar()->showMessage(text); });
    connect(&s, &Session::busyChanged, this, [this](bool busy) {
        // A cell editor already open would write into PARM_INT while the model
        // runs: it is closed without storing its text.
        if (busy)
            DBGrid1->reset();
        progressShown = false;
        if (busy) {
            runStatusTimer->start();
        } else {
            runStatusTimer->stop();
            // "stopping after the current model run" is no longer true.
            if (stopNoteShown)
                statusBar()->clearMessage();
            stopNoteShown = false;
        }
        applyBusy(busy);
    });
    connect(&s, &Session::progress, this, &Topti_main::showProgress);
    connect(&s, &Session::closeRequested, this, &QWidget::close);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &Topti_main::onFocusWindowChanged);
}

void Topti_main::refreshFromSession() {
    setWindowTitle(s.form.caption);
    setComboFromState(table_LIST, s.form.table_LIST);
    mirrorText(condition, s.settings.condition, shownCondition);
    Button3->setText(s.form.button3Caption);
    setComboFromState(idx_fld, s.form.idx_fld);
    setComboFromState(obs_fld, s.form.obs_fld);
    setComboFromState(var_fld, s.form.var_fld);
    setComboFromState(mod_fld, s.form.mod_fld);

    QStringList shownRun;
    for (int i = 0; i < run_lb->count(); ++i)
        shownRun << run_lb->item(i)->text();
    if (shownRun != s.form.run_lb) {
        run_lb->clear();
        run_lb->addItems(s.form.run_lb);
    }

    setComboFromState(ComboBox1, s.form.comboBox1);
    const QString runFile = s.mrun.ApplicationName();
    runFileLabel->setText(runFile.isEmpty()
                              ? QStringLiteral("No run file is in use: choose one with \"open "
                                               "runfile\".")
                              : QStringLiteral("run file in use: ") + runFile);
    if (QAbstractButton* b = criterionGroup->button(s.settings.criterion)) {
        const QSignalBlocker block(criterionGroup);
        b->setChecked(true);
    }
    mirrorText(Edit1, s.settings.sensitivityStep, shownEdit1);
    mirrorText(Edit2, s.form.edit2, shownEdit2);
    mirrorText(Edit3, s.settings.tolerance, shownEdit3);
    {
        const QSignalBlocker block(searchMethodBox);
        searchMethodBox->setCurrentIndex(s.settings.leastSquares ? 1 : 0);
    }
    {
        const QSignalBlocker b1(EditPauseRun), b2(EditPauseVertex), b3(EditParallel);
        EditPauseRun->setValue(s.settings.pauseAfterRunMs);
        EditPauseVertex->setValue(s.settings.pauseBeforeVertexMs);
        // In an MPI job the number of runs at once is that of its workers.
        const int workers = s.remoteWorkers();
        EditParallel->setValue(workers > 0 ? workers : s.settings.parallelRuns);
        EditParallel->setEnabled(workers == 0);
        if (workers > 0)
            EditParallel->setToolTip(
                QStringLiteral("the %1 workers of the MPI job: %1 model runs at the same time, "
                               "each in a workspace on its worker's node")
                    .arg(workers));
    }
    {
        const QSignalBlocker b1(EditTimeout), b2(CheckResume);
        EditTimeout->setValue(s.settings.runTimeoutS);
        CheckResume->setChecked(s.settings.resume);
    }
    applyBusy(s.busy());
}

// While an operation runs the model, nothing may start another model run or
// change the database or the run file under it. The log, the chart and the
// grids keep showing the progress; "stop" is the one way to end the run early.
void Topti_main::applyBusy(bool busy) {
    for (QWidget* w : std::initializer_list<QWidget*>{Button1, Button2, Button4, Button5, Button7,
                                                      Button8, Button9, Button10, table_LIST})
        w->setEnabled(!busy);
    Button3->setEnabled(s.form.button3Enabled && !busy);
    saveWorkbookButton->setEnabled(s.lastWorkbook != nullptr && !busy);
    ButtonStop->setEnabled(busy);
    DBGrid1->setEditTriggers(busy ? QAbstractItemView::NoEditTriggers
                                  : QAbstractItemView::DoubleClicked |
                                        QAbstractItemView::EditKeyPressed |
                                        QAbstractItemView::AnyKeyPressed);
    if (!busy && closeWhenIdle) {
        closeWhenIdle = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void Topti_main::clearParmInt() {
    if (DBGrid1->model() && DBGrid1->model()->columnCount() > 0) {
        parmHeaderState = DBGrid1->horizontalHeader()->saveState();
        parmHeaderColumns = DBGrid1->model()->columnCount();
    }
    DBGrid1->setModel(nullptr);
    if (parmModel) {
        parmModel->deleteLater();
        parmModel = nullptr;
    }
}

void Topti_main::reloadParmInt() {
    clearParmInt();
    if (!s.db.isOpen())
        return;
    auto* model = new QSqlTableModel(this, s.db.handle());
    model->setObjectName(QStringLiteral("parmint"));
    model->setTable(QStringLiteral("parm_int"));
    // Every edited cell goes to the database when its editor closes.
    model->setEditStrategy(QSqlTableModel::OnFieldChange);
    if (!model->select()) {
        const QString why = model->lastError().text();
        delete model;
        statusBar()->showMessage(QStringLiteral("PARM_INT cannot be shown: %1").arg(why));
        return;
    }
    fetchAll(model);
    parmModel = model;
    DBGrid1->setModel(parmModel);
    // The grid is rebuilt after every model run: keep the widths the person set.
    if (parmHeaderColumns != parmModel->columnCount() ||
        !DBGrid1->horizontalHeader()->restoreState(parmHeaderState))
        DBGrid1->resizeColumnsToContents();
}

void Topti_main::reloadResult() {
    const int oldColumns = resultModel->columnCount();
    const QByteArray header = DBGrid2->horizontalHeader()->saveState();
    if (s.form.resultQuery.isEmpty()) {
        resultModel->clear();
        return;
    }
    // While the model runs the rows shown stay as they were read last.
    if (!s.db.isOpen())
        return;
    QSqlQuery q(s.db.handle());
    q.setForwardOnly(true);
    if (!q.exec(s.form.resultQuery)) {
        resultModel->clear();
        statusBar()->showMessage(
            QStringLiteral("The result table cannot be shown: %1").arg(q.lastError().text()));
        return;
    }
    const QSqlRecord rec = q.record();
    QList<QList<QStandardItem*>> rows;
    while (q.next()) {
        QList<QStandardItem*> row;
        row.reserve(rec.count());
        for (int c = 0; c < rec.count(); ++c) {
            auto* item = new QStandardItem;
            item->setData(q.value(c), Qt::DisplayRole);
            row << item;
        }
        rows << row;
    }
    q.finish();
    resultModel->clear();
    resultModel->setColumnCount(rec.count());
    for (int c = 0; c < rec.count(); ++c)
        resultModel->setHorizontalHeaderItem(c, new QStandardItem(rec.fieldName(c)));
    for (const QList<QStandardItem*>& row : rows)
        resultModel->appendRow(row);
    if (resultModel->columnCount() != oldColumns ||
        !DBGrid2->horizontalHeader()->restoreState(header))
        DBGrid2->resizeColumnsToContents();
}

void Topti_main::appendLogLine(const QString& line, bool select) {
    lb->addItem(line);
    if (select) {
        lb->setCurrentRow(lb->count() - 1);
        lb->scrollToBottom();
    }
}

void Topti_main::showProgress(int done, int maximum, double best, qint64 elapsedMs) {
    shownProgress = {done, maximum, best};
    progressShown = true;
    QString text = QStringLiteral("evaluation %1 of %2").arg(done).arg(maximum);
    // Before the first completed run there is no best value yet.
    if (done > 0 || s.haveBest)
        text += QStringLiteral(", best %1").arg(formatGeneral(best));
    text += QStringLiteral(", elapsed %1").arg(mmss(elapsedMs));
    const QString details = s.progressDetails();
    if (!details.isEmpty())
        text += QStringLiteral("; ") + details;
    showRunStatus(text);
}

void Topti_main::showRunStatus(const QString& text) {
    stopNoteShown = s.stopFlag;
    statusBar()->showMessage(text);
}

// Once a second while an operation runs: the elapsed time, and how long a run
// that may hang has been going on, stay current between two model runs.
void Topti_main::refreshRunStatus() {
    if (!s.busy())
        return;
    if (s.checkRunGoing) {
        QString text = QStringLiteral("check model run: the model has been running for %1")
                           .arg(mmss(s.mrun.durationMs()));
        if (!s.stopFlag)
            text += QStringLiteral(" (stop ends it)");
        showRunStatus(text);
    } else if (progressShown) {
        showProgress(shownProgress.done, shownProgress.maximum, shownProgress.best,
                     s.runClock.isValid() ? s.runClock.elapsed() : 0);
    } else if (s.stopFlag) {
        showRunStatus(s.progressDetails());
    }
}

// ---------------------------------------------------------------- handlers

void Topti_main::Edit2Change(const QString& text) {
    shownEdit2 = text;
    // While the field is empty (the person retypes the number) Nmax keeps its
    // last value; the validator lets nothing but digits in.
    if (text.isEmpty())
        return;
    runAction([this, text] { s.setMaxCallText(text); });
    shownEdit2 = s.form.edit2;
}

void Topti_main::table_LISTCloseUp() {
    if (s.busy())
        return;
    s.form.table_LIST.select(table_LIST->currentIndex());
    if (table_LIST->currentIndex() < 0)
        s.form.table_LIST.index = -1;
    runAction([this] { s.applyTableChoice(); });
}

void Topti_main::ComboBox1CloseUp() {
    const int index = ComboBox1->currentIndex();
    runAction([this, index] { s.plotParameter(index); });
}

void Topti_main::Button1Click() {
    runAction([this] { s.openRunFile(); });
}

void Topti_main::Button2Click() {
    runAction([this] { s.changeDatabase(); });
}

void Topti_main::Button3Click() {
    runAction([this] { s.openResultTable(); });
}

void Topti_main::Button4Click() {
    runAction([this] { s.startOptimization(); });
}

void Topti_main::Button5Click() {
    runAction([this] { s.editRunFile(); });
}

void Topti_main::Button6Click() {
    runAction([this] { s.requestClose(); });
}

void Topti_main::Button7Click() {
    runAction([this] { s.checkModelRun(); });
}

void Topti_main::Button8Click() {
    runAction([this] { s.analyseSensitivity(); });
}

void Topti_main::Button10Click() {
    runAction([this] { s.analyseUncertainty(); });
}

void Topti_main::Button9Click() {
    if (onAddParameter)
        runAction(onAddParameter);
    else
        runAction([this] { showParameterSelection(s, this); });
}

// ---------------------------------------------------------------- errors

bool Topti_main::batchMode() const {
    return s.arguments.contains(QStringLiteral("GO"));
}

void Topti_main::runAction(const std::function<void()>& action) {
    try {
        action();
    } catch (const FitError& e) {
        reportError(e.message());
    } catch (const std::exception& e) {
        reportError(QString::fromLocal8Bit(e.what()));
    }
}

void Topti_main::reportError(const QString& message) {
    if (batchMode()) {
        // Nobody is there to close a message box: the failure goes to standard
        // error and the run ends with a non-zero status.
        reportBatchError(message);
        if (onBatchError)
            onBatchError(message);
        else
            QCoreApplication::exit(1);
        return;
    }
    if (errorPresenter)
        errorPresenter(message);
    else
        QMessageBox::critical(this, QStringLiteral("Fitmara"), message);
}

// ---------------------------------------------------------------- activation

void Topti_main::FormActivate() {
    activatedOnce = true;
    // The command line is applied once, when the window first opens. Applied
    // again whenever a dialog gives the focus back, it would undo what the
    // person has changed since (the filter, the columns, Nmax, the run file).
    if (commandLineApplied || inActivation || s.busy())
        return;
    commandLineApplied = true;
    inActivation = true;
    const auto done = qScopeGuard([this] { inActivation = false; });
    runAction([this] { s.applyCommandLine(); });
}

void Topti_main::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The first showing counts as an activation even where the window system
    // does not give the window the focus (a headless display).
    if (!activatedOnce)
        queueActivation();
}

// The command line is applied from the event loop, not inside the window
// system's focus notification: with GO it runs a whole optimisation.
void Topti_main::queueActivation() {
    activatedOnce = true;
    if (activationQueued)
        return;
    activationQueued = true;
    QTimer::singleShot(0, this, [this] {
        activationQueued = false;
        FormActivate();
    });
}

void Topti_main::onFocusWindowChanged(QWindow* window) {
    if (!window || activatedOnce)
        return;
    if (window == windowHandle())
        queueActivation();
}

void Topti_main::closeEvent(QCloseEvent* event) {
    if (s.busy()) {
        // The model is running and the program waits for it inside the
        // operation. The person is asked first; then the run is stopped, the
        // model ended with its process group (a model that hangs would keep the
        // window open for good), and the window closes once the operation has
        // put the tables back and returned. A batch run has nobody to ask.
        const bool endIt =
            batchMode() || confirm(QStringLiteral("A model run is going on. End it and close "
                                                  "Fitmara? The running model is ended, and "
                                                  "the model's tables are put back."));
        if (!endIt) {
            s.closeWasRequested = false;
            event->ignore();
            return;
        }
        closeWhenIdle = true;
        statusBar()->showMessage(
            QStringLiteral("ending the run: the window closes when the model has ended"));
        event->ignore();
        if (batchMode())
            s.requestStop();
        else
            s.endRunningModels();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool Topti_main::confirm(const QString& question) {
    if (confirmPresenter)
        return confirmPresenter(question);
    return QMessageBox::question(this, QStringLiteral("Fitmara"), question,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

// ---------------------------------------------------------------- Asker

bool Topti_main::chooseDatabase(QString& path) {
    const QString chosen =
        QFileDialog::getOpenFileName(this, QStringLiteral("select the database"), QString(),
                                     QStringLiteral("database (*.sqlite *.sqlite3 *.db)"));
    if (chosen.isEmpty())
        return false;
    path = chosen;
    return true;
}

bool Topti_main::chooseWorkbookPath(QString& path) {
    const QString chosen = QFileDialog::getSaveFileName(this, QStringLiteral("save workbook"), path,
                                                        QStringLiteral("workbook (*.xlsx)"));
    if (chosen.isEmpty())
        return false;
    path = chosen;
    return true;
}

bool Topti_main::chooseRunFile(QString& path) {
    const QString chosen = QFileDialog::getOpenFileName(this, QString(), path,
                                                        QStringLiteral("run scripts (*.sh *.bat)"));
    if (chosen.isEmpty())
        return false;
    path = chosen;
    return true;
}

namespace {

// Swallows the application's quit request while the result dialog waits for
// the person, unless the person asked the program to end. Qt posts such a
// request by itself when it believes the last window closed; handled, it
// closes every window, the result dialog among them, which would decline the
// optimised values without anybody having seen them.
class UnaskedQuitFilter : public QObject {
  public:
    explicit UnaskedQuitFilter(const Session& session) : s(session) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == qApp && event->type() == QEvent::Quit && !s.closeWasRequested)
            return true;
        return false;
    }

  private:
    const Session& s;
};

} // namespace

void Topti_main::showResultDialog(Session& session) {
    TForm1 dialog(session, this);
    dialog.errorPresenter = errorPresenter;
    UnaskedQuitFilter filter(session);
    qApp->installEventFilter(&filter);
    const auto removeFilter = qScopeGuard([&] { qApp->removeEventFilter(&filter); });
    // Waited for here rather than with exec(): a nested QEventLoop returns at
    // once when the application was told to quit earlier (the exit button
    // pressed during the run), and the values would be declined unseen. This
    // loop keeps the dialog up until the person has answered; a quit already
    // requested ends the program afterwards.
    dialog.setModal(true);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    while (dialog.isVisible())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (session.success && !session.closeWasRequested)
        session.runAtAcceptedValues();
}

void Topti_main::showHelp(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, this);
    box.exec();
}

void Topti_main::editTextFile(const QString& path) {
    TextEditorDialog dialog(path, this);
    if (!dialog.load()) {
        reportError(dialog.errorString());
        return;
    }
    dialog.exec();
}

void Topti_main::openWorkbook(const QString& path) {
    // Where no desktop program is registered for workbooks, the person is told
    // where the file is rather than finding an error on standard error.
    const bool opener = !QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty();
    if (!opener || !QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        statusBar()->showMessage(
            QStringLiteral("No program here opens workbooks: the workbook is %1").arg(path));
}
