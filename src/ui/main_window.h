#pragma once
// The main window: four tabs that show the state of the Session and turn the
// person's actions into calls of its operations. The window holds no state of
// its own beyond what it needs to draw; the lists and texts it shows are the
// session's form, the values the operations use its settings.
// It is also the Session's Asker: it answers the program's questions with
// dialogs.
#include "app/session.h"

#include <QByteArray>
#include <QMainWindow>
#include <QStringList>
#include <functional>

class QButtonGroup;
class QCheckBox;
class QDoubleSpinBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QSqlQueryModel;
class QStandardItemModel;
class QSqlTableModel;
class QTabWidget;
class QTimer;
class QTableView;
class QWindow;
class ErrorChart;
class FitChart;
class CloseUpCombo;

class MainWindow : public QMainWindow, public Asker {
    Q_OBJECT
  public:
    explicit MainWindow(Session& session, QWidget* parent = nullptr);
    ~MainWindow() override;

    // ---- Asker ----
    bool chooseDatabase(QString& path) override;
    bool chooseRunFile(QString& path) override;
    void showResultDialog(Session& session) override;
    void showHelp(const QString& text, const QString& caption) override;
    void editTextFile(const QString& path) override;
    void openWorkbook(const QString& path) override;
    bool chooseWorkbookPath(QString& path) override;

    // "add parameter record": replaces the opening of the parameter selection
    // dialog (showParameterSelection) when set.
    std::function<void()> onAddParameter;
    // A failure in a batch run ("GO" on the command line): the message has been
    // written to standard error; this ends the program. Unset, the event loop is
    // left with exit status 1.
    std::function<void(const QString&)> onBatchError;
    // How a failure reaches the person in an interactive run; a message box unless set.
    std::function<void(const QString&)> errorPresenter;
    // How a yes/no question reaches the person (true: yes); a message box unless set.
    std::function<bool(const QString&)> confirmPresenter;

    // The first activation of the window applies the command line; later ones
    // (the focus coming back from a dialog) leave what the person set alone.
    // Never while an operation runs the model, never re-entered.
    void onActivated();

    // Runs one of the person's actions; a failure ends it and is reported.
    void runAction(const std::function<void()>& action);
    // Reports a failure: a message box, or standard error and the end of a batch run.
    void reportError(const QString& message);
    bool batchMode() const;

    Session& session() const { return s; }
    ErrorChart* errorChart() const { return criterionChart; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void buildParametersTab();
    void buildResultTab();
    QLayout* buildResultTableChoice();
    QWidget* buildResultGridAndChart();
    QLayout* buildColumnRoleChoice();
    void connectResultTab();
    void buildModelCallTab();
    void buildFitmaraTab();
    QLayout* buildSearchControls();
    QLayout* buildCriterionChoice();
    QLayout* buildSensitivityControls();
    QLayout* buildUncertaintyControls();
    QLayout* buildRunControls();
    QLayout* buildLogAndChart();
    void connectFitmaraTab();
    void connectSession();

    void refreshFromSession();
    void applyBusy(bool busy);
    void reloadParmInt();
    void clearParmInt();
    void reloadResult();
    void appendLogLine(const QString& line, bool select);
    void showProgress(int done, int maximum, double best, qint64 elapsedMs);
    void showRunStatus(const QString& text);
    void refreshRunStatus();
    bool confirm(const QString& question);
    void onFocusWindowChanged(QWindow* window);
    void queueActivation();

    // The handlers of the controls: each turns the person's action into a call
    // of the session, and reports what fails.
    void onOpenRunFile();        // "open runfile"
    void onChangeDatabase();     // "change database"
    void onOpenResultTable();    // "open result table"
    void onStartCalibration();   // "start optimization "
    void onEditRunFile();        // "edit runfile"
    void onExit();               // "exit"
    void onCheckModelRun();      // "check model run"
    void onSensitivity();        // "sensitivity coefficient"
    void onAddParameterRecord(); // "add parameter record"
    void onUncertainty();        // "uncertainty (FIM)"
    void onMaxEvaluationsEdited(const QString& text);
    void onResultTableChosen();
    void onParameterPlotChosen();

    Session& s;

    QTabWidget* pageTabs = nullptr;
    QPushButton* exitButton = nullptr;

    // "parameters"
    QWidget* parametersTab = nullptr;
    QPushButton* changeDatabaseButton = nullptr;
    QTableView* parameterGrid = nullptr;
    QPushButton* addParameterButton = nullptr;
    QSqlTableModel* parmModel = nullptr;
    QByteArray parmHeaderState;
    int parmHeaderColumns = -1;

    // "result table"
    QWidget* resultTab = nullptr;
    CloseUpCombo* resultTableCombo = nullptr;
    QLineEdit* condition = nullptr;
    QPushButton* openResultTableButton = nullptr;
    QTableView* resultGrid = nullptr;
    QStandardItemModel* resultModel = nullptr;
    QComboBox* indexColumnCombo = nullptr;
    QComboBox* observedColumnCombo = nullptr;
    QComboBox* varianceColumnCombo = nullptr;
    QComboBox* modelColumnCombo = nullptr;
    FitChart* fitChart = nullptr; // beside the grid

    // "model call"
    QWidget* modelCallTab = nullptr;
    QPushButton* openRunFileButton = nullptr;
    QPushButton* editRunFileButton = nullptr;
    QListWidget* runFileLines = nullptr;
    QPushButton* checkModelRunButton = nullptr;
    QLabel* runFileLabel = nullptr; // the run file in use

    // "fitmara"
    QWidget* fitmaraTab = nullptr;
    QPushButton* startCalibrationButton = nullptr;
    QPushButton* stopButton = nullptr;
    QLineEdit* maxEvaluationsEdit = nullptr;
    QLineEdit* toleranceEdit = nullptr;
    QComboBox* searchMethodBox = nullptr; // the simplex or the least-squares search
    QLineEdit* sensitivityStepEdit = nullptr;
    QSpinBox* pauseAfterRunEdit = nullptr;
    QSpinBox* pauseBeforeVertexEdit = nullptr;
    QDoubleSpinBox* runTimeoutEdit = nullptr;
    QCheckBox* resumeCheck = nullptr;
    QSpinBox* parallelRunsEdit = nullptr; // "parallel runs" (NP=)
    QRadioButton* rmseRadio = nullptr;
    QRadioButton* nrmseRadio = nullptr;
    QRadioButton* cvRmseRadio = nullptr;
    QButtonGroup* criterionGroup = nullptr;
    QPushButton* sensitivityButton = nullptr;
    QPushButton* uncertaintyButton = nullptr;
    CloseUpCombo* parameterPlotCombo = nullptr;
    QPushButton* saveWorkbookButton = nullptr; // "save workbook…"
    QListWidget* logList = nullptr;
    ErrorChart* criterionChart = nullptr;

    // The texts last taken from the Session, so that a refresh does not
    // overwrite what the person is typing unless the Session changed it.
    QString shownCondition, shownSensitivityStep, shownMaxEvaluations, shownTolerance;

    bool activatedOnce = false;
    bool activationQueued = false;
    bool inActivation = false;
    bool commandLineApplied = false;

    // The progress of the running operation, kept current by a timer.
    QTimer* runStatusTimer = nullptr;
    struct {
        int done = 0;
        int maximum = 0;
        double best = 0;
    } shownProgress;
    bool progressShown = false;
    bool stopNoteShown = false; // the status tells of a stop under way
    bool closeWhenIdle = false;
};
