#include "ui/main_window.h"

#include "app/batch.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "ui/error_chart.h"
#include "ui/fit_chart.h"
#include "ui/number_delegate.h"
#include "ui/parameter_selection_dialog.h"
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

MainWindow::MainWindow(Session& session, QWidget* parent) : QMainWindow(parent), s(session) {
    setObjectName(QStringLiteral("mainWindow"));
    if (!s.asker())
        s.setAsker(this);

    pageTabs = new QTabWidget(this);
    pageTabs->setObjectName(QStringLiteral("pageTabs"));
    exitButton = makeButton(QStringLiteral("exitButton"), QStringLiteral("exit"), pageTabs, 76);
    // Above the tabs at the right.
    pageTabs->setCornerWidget(exitButton, Qt::TopRightCorner);

    buildParametersTab();
    buildResultTab();
    buildModelCallTab();
    buildFitmaraTab();
    pageTabs->setCurrentWidget(fitmaraTab);

    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(4, 8, 4, 0);
    centralLayout->addWidget(pageTabs);
    setCentralWidget(central);
    statusBar()->setObjectName(QStringLiteral("StatusBar1"));

    runStatusTimer = new QTimer(this);
    runStatusTimer->setInterval(1000);
    connect(runStatusTimer, &QTimer::timeout, this, &MainWindow::refreshRunStatus);
    connectSession();
    refreshFromSession();
    for (const QString& line : s.logList().lines())
        logList->addItem(line);
    criterionChart->replace(s.chartSeries());
    applyBusy(s.busy());
    resize(965, 521);
}

MainWindow::~MainWindow() {
    if (s.asker() == this)
        s.setAsker(nullptr);
}

// ---------------------------------------------------------------- the tabs

void MainWindow::buildParametersTab() {
    parametersTab = new QWidget;
    parametersTab->setObjectName(QStringLiteral("parametersTab"));
    auto* layout = new QVBoxLayout(parametersTab);
    layout->setContentsMargins(3, 12, 3, 6);

    changeDatabaseButton = makeButton(QStringLiteral("changeDatabaseButton"),
                                      QStringLiteral("change database"), parametersTab, 145);
    layout->addWidget(changeDatabaseButton, 0, Qt::AlignLeft);
    layout->addSpacing(14);

    parameterGrid = new QTableView(parametersTab);
    parameterGrid->setObjectName(QStringLiteral("parameterGrid"));
    parameterGrid->setAlternatingRowColors(true);
    parameterGrid->horizontalHeader()->setMinimumSectionSize(64);
    parameterGrid->setItemDelegate(
        new NumberDelegate(parameterGrid, [this](const QString& m) { reportError(m); }));
    parameterGrid->verticalHeader()->setDefaultSectionSize(parameterGrid->fontMetrics().height() +
                                                           6);
    layout->addWidget(parameterGrid, 1);
    layout->addSpacing(10);

    addParameterButton = makeButton(QStringLiteral("addParameterButton"),
                                    QStringLiteral("add parameter record"), parametersTab, 142);
    layout->addWidget(addParameterButton, 0, Qt::AlignLeft);

    pageTabs->addTab(parametersTab, QStringLiteral("parameters"));

    connect(changeDatabaseButton, &QPushButton::clicked, this, [this] { onChangeDatabase(); });
    connect(addParameterButton, &QPushButton::clicked, this, &MainWindow::onAddParameterRecord);
}

void MainWindow::buildResultTab() {
    resultTab = new QWidget;
    resultTab->setObjectName(QStringLiteral("resultTab"));
    auto* layout = new QVBoxLayout(resultTab);
    layout->setContentsMargins(21, 3, 21, 6);
    layout->addLayout(buildResultTableChoice());
    layout->addSpacing(8);
    layout->addWidget(buildResultGridAndChart(), 1);
    layout->addSpacing(12);
    layout->addLayout(buildColumnRoleChoice());
    pageTabs->addTab(resultTab, QStringLiteral("result table"));
    connectResultTab();
}

// The table, its filter condition and the button that opens it.
QLayout* MainWindow::buildResultTableChoice() {
    auto* top = new QGridLayout;
    top->setHorizontalSpacing(26);
    top->addWidget(
        makeLabel(QStringLiteral("tableNameLabel"), QStringLiteral("table name"), resultTab), 0, 0);
    top->addWidget(
        makeLabel(QStringLiteral("conditionLabel"), QStringLiteral("filter condition"), resultTab),
        0, 1);
    resultTableCombo = makeCombo<CloseUpCombo>(QStringLiteral("resultTableCombo"), resultTab, 200);
    top->addWidget(resultTableCombo, 1, 0);
    condition = new QLineEdit(resultTab);
    condition->setObjectName(QStringLiteral("condition"));
    top->addWidget(condition, 1, 1);
    openResultTableButton = makeButton(QStringLiteral("openResultTableButton"),
                                       QStringLiteral("open result table"), resultTab, 177);
    openResultTableButton->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    top->addWidget(openResultTableButton, 2, 1, Qt::AlignLeft);
    top->setColumnStretch(0, 361);
    top->setColumnStretch(1, 486);
    top->setRowMinimumHeight(2, 45);
    return top;
}

// The rows of the open result table beside the chart of observed against
// simulated values.
QWidget* MainWindow::buildResultGridAndChart() {
    resultGrid = new QTableView(resultTab);
    resultGrid->setObjectName(QStringLiteral("resultGrid"));
    resultGrid->setAlternatingRowColors(true);
    resultGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    resultGrid->setItemDelegate(
        new NumberDelegate(resultGrid, [this](const QString& m) { reportError(m); }));
    resultGrid->verticalHeader()->setDefaultSectionSize(resultGrid->fontMetrics().height() + 6);
    // A copy of the rows rather than a live query: it stays readable while the
    // model holds the database, so the grid is not blank during a run.
    resultModel = new QStandardItemModel(this);
    resultModel->setObjectName(QStringLiteral("observations"));
    resultGrid->setModel(resultModel);
    auto* splitter = new QSplitter(Qt::Horizontal, resultTab);
    splitter->setObjectName(QStringLiteral("resultSplitter"));
    splitter->addWidget(resultGrid);
    fitChart = new FitChart(splitter);
    fitChart->setObjectName(QStringLiteral("fitChart"));
    splitter->addWidget(fitChart);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    return splitter;
}

// The four column roles below the grid: index at the left, observation and
// its variance one above the other, model at the right.
QLayout* MainWindow::buildColumnRoleChoice() {
    indexColumnCombo = makeCombo<QComboBox>(QStringLiteral("indexColumnCombo"), resultTab, 105);
    observedColumnCombo =
        makeCombo<QComboBox>(QStringLiteral("observedColumnCombo"), resultTab, 105);
    varianceColumnCombo =
        makeCombo<QComboBox>(QStringLiteral("varianceColumnCombo"), resultTab, 105);
    modelColumnCombo = makeCombo<QComboBox>(QStringLiteral("modelColumnCombo"), resultTab, 105);
    auto* roles = new QGridLayout;
    roles->setHorizontalSpacing(8);
    roles->setColumnStretch(0, 1);
    roles->addWidget(
        makeLabel(QStringLiteral("indexColumnLabel"), QStringLiteral("index field"), resultTab), 0,
        1, Qt::AlignRight);
    roles->addWidget(indexColumnCombo, 0, 2);
    roles->setColumnMinimumWidth(3, 60);
    roles->addWidget(
        makeLabel(QStringLiteral("observedColumnLabel"), QStringLiteral("observation"), resultTab),
        0, 4, Qt::AlignRight);
    roles->addWidget(observedColumnCombo, 0, 5);
    roles->addWidget(
        makeLabel(QStringLiteral("varianceColumnLabel"), QStringLiteral("ob.variance"), resultTab),
        1, 4, Qt::AlignRight);
    roles->addWidget(varianceColumnCombo, 1, 5);
    roles->setColumnMinimumWidth(6, 30);
    roles->addWidget(
        makeLabel(QStringLiteral("modelColumnLabel"), QStringLiteral("model"), resultTab), 0, 7,
        Qt::AlignRight);
    roles->addWidget(modelColumnCombo, 0, 8);
    return roles;
}

// What the controls of the "result table" tab do, and where the fit chart
// takes its points from.
void MainWindow::connectResultTab() {
    resultTableCombo->onCloseUp = [this] { onResultTableChosen(); };
    resultTableCombo->onFocusLeft = [this] { onResultTableChosen(); };
    connect(resultTableCombo, &QComboBox::activated, this, [this] {
        if (!resultTableCombo->closeUpPending())
            onResultTableChosen();
    });
    connect(condition, &QLineEdit::textEdited, this, [this](const QString& t) {
        s.settings().condition = t;
        shownCondition = t;
    });
    connect(openResultTableButton, &QPushButton::clicked, this, [this] { onOpenResultTable(); });
    const std::pair<QComboBox*, ColumnRole> roleLists[] = {
        {indexColumnCombo, ColumnRole::Index},
        {observedColumnCombo, ColumnRole::Observed},
        {varianceColumnCombo, ColumnRole::Variance},
        {modelColumnCombo, ColumnRole::Model}};
    for (const auto& [combo, role] : roleLists) {
        const ColumnRole r = role;
        connect(combo, &QComboBox::activated, this, [this, r](int index) {
            s.setup().chooseColumn(r, index);
            fitChart->requestRefresh();
        });
    }
    // The rows as the result grid shows them, read with the roles and the
    // condition the criterion uses. While the model runs the database is closed:
    // the chart keeps its picture until the run has ended.
    fitChart->setSource([this]() -> std::optional<FitData> {
        if (!s.database().isOpen())
            return std::nullopt;
        if (s.setup().resultQuery().isEmpty())
            return FitData{};
        const CalibrationSettings& c = s.settings();
        return readFitPoints(s.database(), c.resultTable, c.condition, c.observedColumn,
                             c.modelColumn, c.indexColumn);
    });
}

void MainWindow::buildModelCallTab() {
    modelCallTab = new QWidget;
    modelCallTab->setObjectName(QStringLiteral("modelCallTab"));
    auto* layout = new QVBoxLayout(modelCallTab);
    layout->setContentsMargins(24, 24, 24, 6);

    auto* buttons = new QHBoxLayout;
    openRunFileButton = makeButton(QStringLiteral("openRunFileButton"),
                                   QStringLiteral("open runfile"), modelCallTab, 153);
    editRunFileButton = makeButton(QStringLiteral("editRunFileButton"),
                                   QStringLiteral("edit runfile"), modelCallTab, 156);
    buttons->addWidget(openRunFileButton);
    buttons->addSpacing(6);
    buttons->addWidget(editRunFileButton);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->addSpacing(23);

    // Which run file the model runs are made with: the list below shows its lines.
    runFileLabel = makeLabel(QStringLiteral("runFileLabel"), QString(), modelCallTab);
    runFileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(runFileLabel);
    layout->addSpacing(4);
    runFileLines = new QListWidget(modelCallTab);
    runFileLines->setObjectName(QStringLiteral("runFileLines"));
    runFileLines->setSelectionMode(QAbstractItemView::SingleSelection);
    runFileLines->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(runFileLines, 1);
    layout->addSpacing(19);

    checkModelRunButton = makeButton(QStringLiteral("checkModelRunButton"),
                                     QStringLiteral("check model run"), modelCallTab, 129);
    layout->addWidget(checkModelRunButton, 0, Qt::AlignLeft);

    pageTabs->addTab(modelCallTab, QStringLiteral("model call"));

    connect(openRunFileButton, &QPushButton::clicked, this, [this] { onOpenRunFile(); });
    connect(editRunFileButton, &QPushButton::clicked, this, [this] { onEditRunFile(); });
    connect(checkModelRunButton, &QPushButton::clicked, this, [this] { onCheckModelRun(); });
}

void MainWindow::buildFitmaraTab() {
    fitmaraTab = new QWidget;
    fitmaraTab->setObjectName(QStringLiteral("fitmaraTab"));
    auto* layout = new QVBoxLayout(fitmaraTab);
    layout->setContentsMargins(3, 10, 3, 6);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(0);
    controls->addLayout(buildSearchControls());
    controls->addSpacing(39);
    controls->addLayout(buildCriterionChoice());
    controls->addSpacing(40);
    controls->addLayout(buildSensitivityControls());
    controls->addSpacing(40);
    controls->addLayout(buildUncertaintyControls());
    controls->addStretch(1);
    controls->addLayout(buildRunControls());
    layout->addLayout(controls);
    layout->addSpacing(8);
    layout->addLayout(buildLogAndChart(), 1);

    pageTabs->addTab(fitmaraTab, QStringLiteral("fitmara"));
    connectFitmaraTab();
}

// The search: start, Nmax, tolerance and the search method.
QLayout* MainWindow::buildSearchControls() {
    auto* opt = new QGridLayout;
    opt->setVerticalSpacing(4);
    startCalibrationButton = makeButton(QStringLiteral("startCalibrationButton"),
                                        QStringLiteral("start optimization "), fitmaraTab, 142);
    opt->addWidget(startCalibrationButton, 0, 0, 1, 2);
    opt->addWidget(
        makeLabel(QStringLiteral("maxEvaluationsLabel"), QStringLiteral("Nmax"), fitmaraTab), 1, 0,
        Qt::AlignRight);
    maxEvaluationsEdit = new QLineEdit(QStringLiteral("50"), fitmaraTab);
    maxEvaluationsEdit->setObjectName(QStringLiteral("maxEvaluationsEdit"));
    maxEvaluationsEdit->setFixedWidth(65);
    // Digits only, at most nine: every text the field can hold is either empty
    // (while the person retypes) or a valid count, so no conversion error arises.
    maxEvaluationsEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,9}")), maxEvaluationsEdit));
    opt->addWidget(maxEvaluationsEdit, 1, 1);
    opt->addWidget(
        makeLabel(QStringLiteral("toleranceLabel"), QStringLiteral("criterion"), fitmaraTab), 2, 0,
        Qt::AlignRight);
    toleranceEdit = new QLineEdit(QStringLiteral("0.0001"), fitmaraTab);
    toleranceEdit->setObjectName(QStringLiteral("toleranceEdit"));
    toleranceEdit->setFixedWidth(65);
    opt->addWidget(toleranceEdit, 2, 1);
    opt->addWidget(
        makeLabel(QStringLiteral("searchMethodLabel"), QStringLiteral("search"), fitmaraTab), 3, 0,
        Qt::AlignRight);
    searchMethodBox = new QComboBox(fitmaraTab);
    searchMethodBox->setObjectName(QStringLiteral("searchMethodBox"));
    searchMethodBox->addItem(QStringLiteral("simplex (NM)"));
    searchMethodBox->addItem(QStringLiteral("least squares (LM)"));
    searchMethodBox->setToolTip(
        QStringLiteral("The downhill simplex minimises the error criterion; Levenberg-Marquardt "
                       "minimises the weighted sum of squared residuals and makes the runs of "
                       "each step at once on parallel runs (SM= on the command line)."));
    opt->addWidget(searchMethodBox, 3, 1);
    return opt;
}

// The error criterion.
QLayout* MainWindow::buildCriterionChoice() {
    auto* crit = new QVBoxLayout;
    crit->setSpacing(2);
    crit->addWidget(makeLabel(QStringLiteral("criterionLabel"), QStringLiteral("error assessment"),
                              fitmaraTab));
    rmseRadio = new QRadioButton(QStringLiteral("RMSE no groups"), fitmaraTab);
    rmseRadio->setObjectName(QStringLiteral("rmseRadio"));
    nrmseRadio = new QRadioButton(QStringLiteral("NRMSE (groups)"), fitmaraTab);
    nrmseRadio->setObjectName(QStringLiteral("nrmseRadio"));
    cvRmseRadio = new QRadioButton(QStringLiteral("CV(RMSE) (groups)"), fitmaraTab);
    cvRmseRadio->setObjectName(QStringLiteral("cvRmseRadio"));
    cvRmseRadio->setToolTip(QStringLiteral("coefficient of variation of the RMSE"));
    rmseRadio->setChecked(true);
    criterionGroup = new QButtonGroup(this);
    criterionGroup->addButton(rmseRadio, 1);
    criterionGroup->addButton(nrmseRadio, 2);
    criterionGroup->addButton(cvRmseRadio, 3);
    crit->addWidget(rmseRadio);
    crit->addWidget(nrmseRadio);
    crit->addWidget(cvRmseRadio);
    crit->addStretch(1);
    return crit;
}

// The sensitivity coefficients and their step.
QLayout* MainWindow::buildSensitivityControls() {
    auto* sens = new QGridLayout;
    sens->setVerticalSpacing(4);
    sensitivityButton = makeButton(QStringLiteral("sensitivityButton"),
                                   QStringLiteral("sensitivity coefficient"), fitmaraTab, 129);
    sens->addWidget(sensitivityButton, 0, 0, 1, 3);
    sens->addWidget(
        makeLabel(QStringLiteral("sensitivityStepLabel"), QStringLiteral("step size"), fitmaraTab),
        1, 0);
    sensitivityStepEdit = new QLineEdit(QStringLiteral("5"), fitmaraTab);
    sensitivityStepEdit->setObjectName(QStringLiteral("sensitivityStepEdit"));
    sensitivityStepEdit->setFixedWidth(40);
    sens->addWidget(sensitivityStepEdit, 1, 1);
    sens->addWidget(
        makeLabel(QStringLiteral("sensitivityPercentLabel"), QStringLiteral("%"), fitmaraTab), 1,
        2);
    sens->setRowStretch(2, 1);
    return sens;
}

// The uncertainty analysis, the parameter plot and the workbook.
QLayout* MainWindow::buildUncertaintyControls() {
    auto* unc = new QVBoxLayout;
    unc->setSpacing(4);
    uncertaintyButton = makeButton(QStringLiteral("uncertaintyButton"),
                                   QStringLiteral("uncertainty (FIM)"), fitmaraTab, 153);
    unc->addWidget(uncertaintyButton);
    parameterPlotCombo =
        makeCombo<CloseUpCombo>(QStringLiteral("parameterPlotCombo"), fitmaraTab, 153);
    auto* plotLabel = makeLabel(QStringLiteral("sensitivityPlotLabel"),
                                QStringLiteral("plot sensitivities to"), fitmaraTab);
    plotLabel->setBuddy(parameterPlotCombo);
    const QString plotHint =
        QStringLiteral("after an uncertainty analysis: the change of each observation's model "
                       "value per unit change of the chosen parameter");
    plotLabel->setToolTip(plotHint);
    parameterPlotCombo->setToolTip(plotHint);
    unc->addWidget(plotLabel);
    unc->addWidget(parameterPlotCombo);
    saveWorkbookButton = makeButton(QStringLiteral("saveWorkbookButton"),
                                    QStringLiteral("save workbook…"), fitmaraTab, 153);
    saveWorkbookButton->setToolTip(
        QStringLiteral("writes the last uncertainty analysis as an .xlsx workbook"));
    unc->addWidget(saveWorkbookButton);
    unc->addStretch(1);
    return unc;
}

// Stopping a run, the pauses around each model run, the timeout, resume and
// parallel runs.
QLayout* MainWindow::buildRunControls() {
    auto* run = new QGridLayout;
    run->setVerticalSpacing(4);
    stopButton = makeButton(QStringLiteral("stopButton"), QStringLiteral("stop"), fitmaraTab, 90);
    stopButton->setToolTip(
        QStringLiteral("ends the running operation after the current model run"));
    run->addWidget(stopButton, 0, 1, Qt::AlignRight);
    run->addWidget(makeLabel(QStringLiteral("pauseAfterRunLabel"),
                             QStringLiteral("pause after run [ms]"), fitmaraTab),
                   1, 0, Qt::AlignRight);
    pauseAfterRunEdit = new QSpinBox(fitmaraTab);
    pauseAfterRunEdit->setObjectName(QStringLiteral("pauseAfterRunEdit"));
    pauseAfterRunEdit->setRange(0, 3600000);
    pauseAfterRunEdit->setValue(s.settings().pauseAfterRunMs);
    run->addWidget(pauseAfterRunEdit, 1, 1);
    run->addWidget(makeLabel(QStringLiteral("pauseBeforeVertexLabel"),
                             QStringLiteral("pause before vertex [ms]"), fitmaraTab),
                   2, 0, Qt::AlignRight);
    pauseBeforeVertexEdit = new QSpinBox(fitmaraTab);
    pauseBeforeVertexEdit->setObjectName(QStringLiteral("pauseBeforeVertexEdit"));
    pauseBeforeVertexEdit->setRange(0, 3600000);
    pauseBeforeVertexEdit->setValue(s.settings().pauseBeforeVertexMs);
    run->addWidget(pauseBeforeVertexEdit, 2, 1);
    run->addWidget(
        makeLabel(QStringLiteral("runTimeoutLabel"), QStringLiteral("run timeout [s]"), fitmaraTab),
        3, 0, Qt::AlignRight);
    runTimeoutEdit = new QDoubleSpinBox(fitmaraTab);
    runTimeoutEdit->setObjectName(QStringLiteral("runTimeoutEdit"));
    runTimeoutEdit->setRange(0, 1e7);
    runTimeoutEdit->setDecimals(1);
    runTimeoutEdit->setSpecialValueText(QStringLiteral("none"));
    runTimeoutEdit->setToolTip(QStringLiteral("a model run longer than this is ended and counts as "
                                              "failed; 0: no limit"));
    runTimeoutEdit->setValue(s.settings().runTimeoutS);
    run->addWidget(runTimeoutEdit, 3, 1);
    resumeCheck = new QCheckBox(QStringLiteral("resume"), fitmaraTab);
    resumeCheck->setObjectName(QStringLiteral("resumeCheck"));
    resumeCheck->setToolTip(QStringLiteral("replays an unfinished calibration with the same "
                                           "settings from the run journal and carries it on"));
    run->addWidget(resumeCheck, 4, 1);
    run->addWidget(
        makeLabel(QStringLiteral("parallelRunsLabel"), QStringLiteral("parallel runs"), fitmaraTab),
        5, 0, Qt::AlignRight);
    parallelRunsEdit = new QSpinBox(fitmaraTab);
    parallelRunsEdit->setObjectName(QStringLiteral("parallelRunsEdit"));
    parallelRunsEdit->setRange(1, 256);
    parallelRunsEdit->setValue(s.settings().parallelRuns);
    parallelRunsEdit->setToolTip(
        QStringLiteral("model runs at the same time (NP=); more than 1 runs "
                       "each in a copy of the model's folder"));
    run->addWidget(parallelRunsEdit, 5, 1);
    return run;
}

// The log at the left, the chart at the right; both grow with the window.
QLayout* MainWindow::buildLogAndChart() {
    auto* bottom = new QHBoxLayout;
    logList = new QListWidget(fitmaraTab);
    logList->setObjectName(QStringLiteral("logList"));
    logList->setUniformItemSizes(true);
    logList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    bottom->addWidget(logList, 374);
    bottom->addSpacing(12);
    criterionChart = new ErrorChart(fitmaraTab);
    criterionChart->setObjectName(QStringLiteral("criterionChart"));
    bottom->addWidget(criterionChart, 561);
    return bottom;
}

// What the controls of the "fitmara" tab do.
void MainWindow::connectFitmaraTab() {
    connect(startCalibrationButton, &QPushButton::clicked, this, [this] { onStartCalibration(); });
    connect(sensitivityButton, &QPushButton::clicked, this, [this] { onSensitivity(); });
    connect(uncertaintyButton, &QPushButton::clicked, this, [this] { onUncertainty(); });
    connect(saveWorkbookButton, &QPushButton::clicked, this,
            [this] { runAction([this] { s.saveWorkbook(); }); });
    connect(stopButton, &QPushButton::clicked, this, [this] {
        s.requestStop();
        refreshRunStatus();
    });
    connect(exitButton, &QPushButton::clicked, this, [this] { onExit(); });
    connect(maxEvaluationsEdit, &QLineEdit::textEdited, this, &MainWindow::onMaxEvaluationsEdited);
    connect(sensitivityStepEdit, &QLineEdit::textEdited, this, [this](const QString& t) {
        s.settings().sensitivityStep = t;
        shownSensitivityStep = t;
    });
    connect(searchMethodBox, &QComboBox::currentIndexChanged, this,
            [this](int index) { s.settings().leastSquares = index == 1; });
    connect(toleranceEdit, &QLineEdit::textEdited, this, [this](const QString& t) {
        s.settings().tolerance = t;
        shownTolerance = t;
    });
    connect(criterionGroup, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked)
            s.settings().criterion = id;
    });
    connect(pauseAfterRunEdit, &QSpinBox::valueChanged, this,
            [this](int v) { s.settings().pauseAfterRunMs = v; });
    connect(pauseBeforeVertexEdit, &QSpinBox::valueChanged, this,
            [this](int v) { s.settings().pauseBeforeVertexMs = v; });
    connect(runTimeoutEdit, &QDoubleSpinBox::valueChanged, this,
            [this](double v) { s.settings().runTimeoutS = v; });
    connect(resumeCheck, &QCheckBox::toggled, this, [this](bool on) { s.batch().resume = on; });
    connect(parallelRunsEdit, &QSpinBox::valueChanged, this, [this](int v) {
        runAction([this, v] { s.settings().setParallelRuns(QString::number(v)); });
    });
    parameterPlotCombo->onCloseUp = [this] { onParameterPlotChosen(); };
    connect(parameterPlotCombo, &QComboBox::activated, this, [this] {
        if (!parameterPlotCombo->closeUpPending())
            onParameterPlotChosen();
    });
    connect(criterionChart, &ErrorChart::pointsOmitted, this, [this](int n) {
        statusBar()->showMessage(
            QStringLiteral("%1 value(s) not greater than zero are not drawn on the logarithmic "
                           "axis.")
                .arg(n));
    });
}

// ---------------------------------------------------------------- the Session

void MainWindow::connectSession() {
    connect(&s, &Session::stateChanged, this, &MainWindow::refreshFromSession);
    connect(&s.logList(), &LogList::lineAppended, this, &MainWindow::appendLogLine);
    connect(&s.logList(), &LogList::cleared, logList, &QListWidget::clear);
    connect(&s, &Session::chartCleared, this, [this] {
        criterionChart->clear();
        criterionChart->showCriterionCourse(s.settings().criterionName());
    });
    connect(&s, &Session::chartPointAdded, criterionChart, &ErrorChart::addPoint);
    connect(&s, &Session::chartReplaced, this, [this] {
        // The parameter plot: the sensitivities to the chosen parameter, or
        // with none chosen the model values.
        criterionChart->showSensitivities(s.form().parameterPlotCombo.selected());
        criterionChart->replace(s.chartSeries());
    });
    connect(&s, &Session::connectionChanged, this, [this](bool open) {
        if (!open)
            clearParmInt();
        refreshFromSession();
    });
    connect(&s, &Session::parmIntOpened, this, &MainWindow::reloadParmInt);
    connect(&s, &Session::resultOpened, this, &MainWindow::reloadResult);
    // Opened, reopened after every model run, or closed.
    connect(&s, &Session::resultOpened, fitChart, &FitChart::requestRefresh);
    connect(&s, &Session::statusMessage, this,
            [this](const QString& text) { statusBar()->showMessage(text); });
    connect(&s, &Session::busyChanged, this, [this](bool busy) {
        // A cell editor already open would write into PARM_INT while the model
        // runs: it is closed without storing its text.
        if (busy)
            parameterGrid->reset();
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
    connect(&s, &Session::progress, this, &MainWindow::showProgress);
    connect(&s, &Session::closeRequested, this, &QWidget::close);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &MainWindow::onFocusWindowChanged);
}

void MainWindow::refreshFromSession() {
    setWindowTitle(s.form().caption);
    setComboFromState(resultTableCombo, s.setup().tables());
    mirrorText(condition, s.settings().condition, shownCondition);
    openResultTableButton->setText(s.setup().openTableCaption());
    setComboFromState(indexColumnCombo, s.setup().columnList(ColumnRole::Index));
    setComboFromState(observedColumnCombo, s.setup().columnList(ColumnRole::Observed));
    setComboFromState(varianceColumnCombo, s.setup().columnList(ColumnRole::Variance));
    setComboFromState(modelColumnCombo, s.setup().columnList(ColumnRole::Model));

    QStringList shownRun;
    for (int i = 0; i < runFileLines->count(); ++i)
        shownRun << runFileLines->item(i)->text();
    if (shownRun != s.form().runFileLines) {
        runFileLines->clear();
        runFileLines->addItems(s.form().runFileLines);
    }

    setComboFromState(parameterPlotCombo, s.form().parameterPlotCombo);
    const QString runFile = s.modelProcess().program();
    runFileLabel->setText(runFile.isEmpty()
                              ? QStringLiteral("No run file is in use: choose one with \"open "
                                               "runfile\".")
                              : QStringLiteral("run file in use: ") + runFile);
    if (QAbstractButton* b = criterionGroup->button(s.settings().criterion)) {
        const QSignalBlocker block(criterionGroup);
        b->setChecked(true);
    }
    mirrorText(sensitivityStepEdit, s.settings().sensitivityStep, shownSensitivityStep);
    mirrorText(maxEvaluationsEdit, s.form().maxEvaluationsText, shownMaxEvaluations);
    mirrorText(toleranceEdit, s.settings().tolerance, shownTolerance);
    {
        const QSignalBlocker block(searchMethodBox);
        searchMethodBox->setCurrentIndex(s.settings().leastSquares ? 1 : 0);
    }
    {
        const QSignalBlocker b1(pauseAfterRunEdit), b2(pauseBeforeVertexEdit), b3(parallelRunsEdit);
        pauseAfterRunEdit->setValue(s.settings().pauseAfterRunMs);
        pauseBeforeVertexEdit->setValue(s.settings().pauseBeforeVertexMs);
        // In an MPI job the number of runs at once is that of its workers.
        const int workers = s.operations().parallelRuns().remoteWorkers();
        parallelRunsEdit->setValue(workers > 0 ? workers : s.settings().parallelRuns);
        parallelRunsEdit->setEnabled(workers == 0);
        if (workers > 0)
            parallelRunsEdit->setToolTip(
                QStringLiteral("the %1 workers of the MPI job: %1 model runs at the same time, "
                               "each in a workspace on its worker's node")
                    .arg(workers));
    }
    {
        const QSignalBlocker b1(runTimeoutEdit), b2(resumeCheck);
        runTimeoutEdit->setValue(s.settings().runTimeoutS);
        resumeCheck->setChecked(s.batch().resume);
    }
    applyBusy(s.busy());
}

// While an operation runs the model, nothing may start another model run or
// change the database or the run file under it. The log, the chart and the
// grids keep showing the progress; "stop" is the one way to end the run early.
void MainWindow::applyBusy(bool busy) {
    for (QWidget* w : std::initializer_list<QWidget*>{
             openRunFileButton, changeDatabaseButton, startCalibrationButton, editRunFileButton,
             checkModelRunButton, sensitivityButton, addParameterButton, uncertaintyButton,
             resultTableCombo})
        w->setEnabled(!busy);
    openResultTableButton->setEnabled(s.setup().openTableEnabled() && !busy);
    saveWorkbookButton->setEnabled(s.lastWorkbook() != nullptr && !busy);
    stopButton->setEnabled(busy);
    parameterGrid->setEditTriggers(busy ? QAbstractItemView::NoEditTriggers
                                        : QAbstractItemView::DoubleClicked |
                                              QAbstractItemView::EditKeyPressed |
                                              QAbstractItemView::AnyKeyPressed);
    if (!busy && closeWhenIdle) {
        closeWhenIdle = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void MainWindow::clearParmInt() {
    if (parameterGrid->model() && parameterGrid->model()->columnCount() > 0) {
        parmHeaderState = parameterGrid->horizontalHeader()->saveState();
        parmHeaderColumns = parameterGrid->model()->columnCount();
    }
    parameterGrid->setModel(nullptr);
    if (parmModel) {
        parmModel->deleteLater();
        parmModel = nullptr;
    }
}

void MainWindow::reloadParmInt() {
    clearParmInt();
    if (!s.database().isOpen())
        return;
    auto* model = new QSqlTableModel(this, s.database().handle());
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
    parameterGrid->setModel(parmModel);
    // The grid is rebuilt after every model run: keep the widths the person set.
    if (parmHeaderColumns != parmModel->columnCount() ||
        !parameterGrid->horizontalHeader()->restoreState(parmHeaderState))
        parameterGrid->resizeColumnsToContents();
}

void MainWindow::reloadResult() {
    const int oldColumns = resultModel->columnCount();
    const QByteArray header = resultGrid->horizontalHeader()->saveState();
    if (s.setup().resultQuery().isEmpty()) {
        resultModel->clear();
        return;
    }
    // While the model runs the rows shown stay as they were read last.
    if (!s.database().isOpen())
        return;
    QSqlQuery q(s.database().handle());
    q.setForwardOnly(true);
    if (!q.exec(s.setup().resultQuery())) {
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
        !resultGrid->horizontalHeader()->restoreState(header))
        resultGrid->resizeColumnsToContents();
}

void MainWindow::appendLogLine(const QString& line, bool select) {
    logList->addItem(line);
    if (select) {
        logList->setCurrentRow(logList->count() - 1);
        logList->scrollToBottom();
    }
}

void MainWindow::showProgress(int done, int maximum, double best, qint64 elapsedMs) {
    shownProgress = {done, maximum, best};
    progressShown = true;
    QString text = QStringLiteral("evaluation %1 of %2").arg(done).arg(maximum);
    // Before the first completed run there is no best value yet.
    if (done > 0 || s.operationProgress().haveBest())
        text += QStringLiteral(", best %1").arg(formatGeneral(best));
    text += QStringLiteral(", elapsed %1").arg(mmss(elapsedMs));
    const QString details = s.progressDetails();
    if (!details.isEmpty())
        text += QStringLiteral("; ") + details;
    showRunStatus(text);
}

void MainWindow::showRunStatus(const QString& text) {
    stopNoteShown = s.stopRequested();
    statusBar()->showMessage(text);
}

// Once a second while an operation runs: the elapsed time, and how long a run
// that may hang has been going on, stay current between two model runs.
void MainWindow::refreshRunStatus() {
    if (!s.busy())
        return;
    if (s.modelCheckGoing()) {
        QString text = QStringLiteral("check model run: the model has been running for %1")
                           .arg(mmss(s.modelProcess().durationMs()));
        if (!s.stopRequested())
            text += QStringLiteral(" (stop ends it)");
        showRunStatus(text);
    } else if (progressShown) {
        showProgress(shownProgress.done, shownProgress.maximum, shownProgress.best,
                     s.operationProgress().elapsedMs());
    } else if (s.stopRequested()) {
        showRunStatus(s.progressDetails());
    }
}

// ---------------------------------------------------------------- handlers

void MainWindow::onMaxEvaluationsEdited(const QString& text) {
    shownMaxEvaluations = text;
    // While the field is empty (the person retypes the number) Nmax keeps its
    // last value; the validator lets nothing but digits in.
    if (text.isEmpty())
        return;
    runAction([this, text] { s.setMaxEvaluationsText(text); });
    shownMaxEvaluations = s.form().maxEvaluationsText;
}

void MainWindow::onResultTableChosen() {
    if (s.busy())
        return;
    s.setup().tables().select(resultTableCombo->currentIndex());
    if (resultTableCombo->currentIndex() < 0)
        s.setup().tables().index = -1;
    runAction([this] { s.setup().applyTableChoice(); });
}

void MainWindow::onParameterPlotChosen() {
    const int index = parameterPlotCombo->currentIndex();
    runAction([this, index] { s.plotParameter(index); });
}

void MainWindow::onOpenRunFile() {
    runAction([this] { s.openRunFile(); });
}

void MainWindow::onChangeDatabase() {
    runAction([this] { s.changeDatabase(); });
}

void MainWindow::onOpenResultTable() {
    runAction([this] { s.setup().openResultTable(); });
}

void MainWindow::onStartCalibration() {
    runAction([this] { s.startOptimization(); });
}

void MainWindow::onEditRunFile() {
    runAction([this] { s.editRunFile(); });
}

void MainWindow::onExit() {
    runAction([this] { s.requestClose(); });
}

void MainWindow::onCheckModelRun() {
    runAction([this] { s.checkModelRun(); });
}

void MainWindow::onSensitivity() {
    runAction([this] { s.analyseSensitivity(); });
}

void MainWindow::onUncertainty() {
    runAction([this] { s.analyseUncertainty(); });
}

void MainWindow::onAddParameterRecord() {
    if (onAddParameter)
        runAction(onAddParameter);
    else
        runAction([this] { showParameterSelection(s, this); });
}

// ---------------------------------------------------------------- errors

bool MainWindow::batchMode() const {
    return s.arguments().contains(QStringLiteral("GO"));
}

void MainWindow::runAction(const std::function<void()>& action) {
    try {
        action();
    } catch (const FitError& e) {
        reportError(e.message());
    } catch (const std::exception& e) {
        reportError(QString::fromLocal8Bit(e.what()));
    }
}

void MainWindow::reportError(const QString& message) {
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

void MainWindow::onActivated() {
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

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The first showing counts as an activation even where the window system
    // does not give the window the focus (a headless display).
    if (!activatedOnce)
        queueActivation();
}

// The command line is applied from the event loop, not inside the window
// system's focus notification: with GO it runs a whole optimisation.
void MainWindow::queueActivation() {
    activatedOnce = true;
    if (activationQueued)
        return;
    activationQueued = true;
    QTimer::singleShot(0, this, [this] {
        activationQueued = false;
        onActivated();
    });
}

void MainWindow::onFocusWindowChanged(QWindow* window) {
    if (!window || activatedOnce)
        return;
    if (window == windowHandle())
        queueActivation();
}

void MainWindow::closeEvent(QCloseEvent* event) {
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
            s.clearCloseRequest();
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

bool MainWindow::confirm(const QString& question) {
    if (confirmPresenter)
        return confirmPresenter(question);
    return QMessageBox::question(this, QStringLiteral("Fitmara"), question,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

// ---------------------------------------------------------------- Asker

bool MainWindow::chooseDatabase(QString& path) {
    const QString chosen =
        QFileDialog::getOpenFileName(this, QStringLiteral("select the database"), QString(),
                                     QStringLiteral("database (*.sqlite *.sqlite3 *.db)"));
    if (chosen.isEmpty())
        return false;
    path = chosen;
    return true;
}

bool MainWindow::chooseWorkbookPath(QString& path) {
    const QString chosen = QFileDialog::getSaveFileName(this, QStringLiteral("save workbook"), path,
                                                        QStringLiteral("workbook (*.xlsx)"));
    if (chosen.isEmpty())
        return false;
    path = chosen;
    return true;
}

bool MainWindow::chooseRunFile(QString& path) {
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
        if (watched == qApp && event->type() == QEvent::Quit && !s.closeWasRequested())
            return true;
        return false;
    }

  private:
    const Session& s;
};

} // namespace

void MainWindow::showResultDialog(Session& session) {
    ResultDialog dialog(session, this);
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
    if (session.resultAccepted() && !session.closeWasRequested())
        session.runAtAcceptedValues();
}

void MainWindow::showHelp(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, this);
    box.exec();
}

void MainWindow::editTextFile(const QString& path) {
    TextEditorDialog dialog(path, this);
    if (!dialog.load()) {
        reportError(dialog.errorString());
        return;
    }
    dialog.exec();
}

void MainWindow::openWorkbook(const QString& path) {
    // Where no desktop program is registered for workbooks, the person is told
    // where the file is rather than finding an error on standard error.
    const bool opener = !QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty();
    if (!opener || !QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        statusBar()->showMessage(
            QStringLiteral("No program here opens workbooks: the workbook is %1").arg(path));
}
