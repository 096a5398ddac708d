#pragma once
// The optimiser state and every operation of the program, without any widget.
//
// One Session lives as long as the program. The window (src/ui) shows its state,
// turns clicks into calls of the operations below and answers its questions
// through an Asker; a headless batch run drives the same object without a window.
// The state of the controls that other operations read or fill (the table list,
// the four column lists, the filter text, the edit boxes, the run file lines...)
// lives here too, so that operations and the command line work the same with or
// without a window.
#include "app/log_list.h"
#include "model/dvk_app_exec.h"
#include "paramdb/database.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointF>
#include <QStringList>
#include <QVector>
#include <functional>
#include <vector>

class Session;

using tfmatrix = std::vector<double>;   // parameter vectors, used from index 1
using tfmatrix1 = std::vector<double>;  // function values, index 0 used by some callers
using tsimplex = std::vector<tfmatrix>; // vertices 1..ndim+1
using ExtMatrix = std::vector<std::vector<long double>>;

// A drop-down list: its entries, the selected one (-1: none) and its edit text.
struct ComboState {
    QStringList items;
    int index = -1;
    QString text;

    // The text of the selected entry; empty when none is selected.
    QString selected() const {
        return index >= 0 && index < items.size() ? items[index] : QString();
    }
    void clear() {
        items.clear();
        index = -1;
        text.clear();
    }
    void select(int i) {
        index = (i >= 0 && i < items.size()) ? i : -1;
        if (index >= 0)
            text = items[index];
    }
    // Selects the first entry equal to name ignoring case; none when there is no such entry.
    void selectIgnoringCase(const QString& name);
};

// What the program asks the person. The window answers with dialogs; tests and
// headless runs answer without them.
class Asker {
  public:
    virtual ~Asker() = default;
    // The database file dialog ("select the database"). False when cancelled.
    virtual bool chooseDatabase(QString& path) = 0;
    // The run file dialog; `path` holds the current name on entry. False when cancelled.
    virtual bool chooseRunFile(QString& path) = 0;
    // The result dialog: shown modally at the end of an interactive optimisation.
    // Accepting calls Session::acceptResult().
    virtual void showResultDialog(Session& session) = 0;
    // The help box of the command line (text and caption as given).
    virtual void showHelp(const QString& text, const QString& caption) = 0;
    // A built-in editor for the run file when no external one is configured.
    // Returns when the person has closed it.
    virtual void editTextFile(const QString& path) = 0;
    // Opens a finished workbook with the desktop's spreadsheet application, if any.
    virtual void openWorkbook(const QString& path) { (void)path; }
};

class Session : public QObject {
    Q_OBJECT
  public:
    explicit Session(QObject* parent = nullptr); // the window's creation (FormCreate)
    ~Session() override;

    // ---- optimiser state (fields of the main window, in their order) ----
    bool autorun = false;
    int ndim = 0;
    int nobs = 0;
    ExtMatrix fimdt;
    tfmatrix1 y;
    tfmatrix h, ival, step, mnp, mxp;
    int cnt = 0;
    bool sens_ana = false;
    QString db_f_name;
    QString workpath;
    QString tname;
    QString errfun;
    QString result_file;
    QString cs;
    int lcid = 0;
    int max_call = 50;
    double last_error = 0;
    bool excel_out = false;
    bool success = false;

    // ---- settings beyond the controls of the window ----
    int pauseAfterRunMs = 500;      // after each model run, before its results are read
    int pauseBeforeVertexMs = 1000; // before each evaluation of an initial simplex vertex

    // ---- state of the controls ----
    QString caption = QStringLiteral("Dorvak parameter optimization");
    ComboState table_LIST; // text "?" at start
    QString condition;
    QString button3Caption = QStringLiteral("open result table");
    bool button3Enabled = false;
    ComboState obs_fld, mod_fld, idx_fld, var_fld; // text "select" at start
    QString resultQuery;                  // statement of the open result query; empty when closed
    int criterion = 1;                    // 1 RMSE, 2 NRMSE, 3 CV(RMSE): the checked radio button
    QString edit1 = QStringLiteral("5");  // sensitivity step in percent
    QString edit2 = QStringLiteral("50"); // Nmax
    QString edit3 = QStringLiteral("0.0001"); // convergence tolerance
    QString runFileName;                      // file name of the run file dialog
    QStringList run_lb;                       // lines of the run file
    ComboState comboBox1;                     // parameter list of the "fitmara" tab
    bool parmintOpen = false;

    LogList lb;
    QVector<QPointF> series; // Series2 of the chart
    // The criterion per model run as the chart last received it, kept also while
    // the chart shows the parameter plot (for the report's "fit" sheet).
    QVector<QPointF> criterionSeries;
    QString criterionSeriesName;

    Database db;
    TdvkAppExec mrun;
    TdvkAppExec rfedit;

    Asker* asker = nullptr;
    QStringList arguments; // the command line without the program name

    // ---- the window's small handlers ----
    void Edit2Change(const QString& text); // throws FitError for a text that is no integer
    void ComboBox1CloseUp(int index);      // the parameter plot
    void Button6Click();                   // "exit"

    // ---- database and PARM_INT ----
    void db_open();
    void Button2Click(); // "change database"
    void parmintAfterOpen();
    void reopen(); // reconnect and reopen parmint and the result query

    // ---- result table ----
    void table_LISTCloseUp();
    void Button3Click(); // "open result table"

    // ---- run file ----
    void Button1Click();                       // "open runfile"
    void Button5Click();                       // "edit runfile"
    void Button7Click();                       // "check model run"
    void loadRunFile(const QString& fileName); // fills run_lb; throws when unreadable
    void setRunFile(const QString& fileName);  // as choosing it in the dialog

    // ---- write-back, backup ----
    void setparameter();
    void backup();
    void restore();
    // The model's tables hold values the person chose (a result was accepted):
    // the backup no longer guards a run in progress.
    void backupClosed();
    // For a run that ends with an error or a stop: logs `why` and restores the
    // model's tables. A failing restore is logged too, not thrown, so that the
    // caller's error stays the one reported.
    void restoreAfterFailure(const QString& why);

    // ---- objective ----
    // Runs the model once with vector (indices 1..) and, for mode 1, returns the
    // criterion. An incomplete run returns 0 and sets *complete to false.
    double model_eval(const tfmatrix& vector, int mode, bool* complete = nullptr);
    // The model run of model_eval (close, start, wait, reopen), also used by the analyses.
    void runModel();

    // ---- optimisation ----
    void Button4Click(); // "start optimization "
    void optimize();
    void acceptResult(); // the result dialog's accept button
    // The "stop" button, SIGINT/SIGTERM: the search ends at the next evaluation
    // boundary. Asked again while the model runs, the model run is ended.
    void requestStop();

    // ---- analysis ----
    void Button8Click(); // "sensitivity coefficient"
    // x is the step fraction; complete (if given) receives, for runs 0..ndim,
    // whether each run finished (0: the base run).
    void sensit(double x, std::vector<bool>* complete = nullptr);
    void Button10Click(); // "uncertainty (FIM)"

    // ---- command line ----
    // Applies the command line (the activation handler). Returns false when the
    // program must end ("?").
    void FormActivate();

    // ---- helpers shared by the operations ----
    // True while an operation that runs the model is under way.
    bool busy() const { return busyDepth > 0; }
    bool stopRequested() const { return stopFlag; }
    // A model still running (started by "check model run") works on the tables
    // the operations write, back up and evaluate: throws FitError while it runs.
    void refuseWhileModelRuns();
    void processEvents();
    void pause(int ms);
    // Clears and fills Series2 / adds one point.
    void clearChart();
    void addChartPoint(double x, double yv);
    void setStatus(const QString& text);
    // The criterion radio buttons.
    QString criterionName() const;

    // Marks an operation that runs the model; nests.
    class BusyScope {
      public:
        explicit BusyScope(Session& s);
        ~BusyScope();
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

      private:
        Session& s;
    };

  signals:
    void stateChanged();               // any control state changed: the window refreshes
    void connectionChanged(bool open); // the connection was opened or closed
    void parmintOpened();              // PARM_INT (re)opened: its grid reloads
    void resultOpened();               // the result query (re)opened or closed
    void chartCleared();
    void chartPointAdded(double x, double y);
    void chartReplaced(); // Series2 replaced as a whole (parameter plot)
    void statusMessage(const QString& text);
    void busyChanged(bool busy);
    void progress(int done, int maximum, double best, qint64 elapsedMs);
    void closeRequested(); // the main window is to be closed

  public:
    // Progress of an optimisation, shown in the status bar.
    QElapsedTimer runClock;
    // Evaluations the running operation expects in all (the initial simplex and
    // Nmax for an optimisation, one per parameter and the base run for the
    // sensitivities); 0: Nmax.
    int progressTotal = 0;
    double bestSoFar = 0;
    bool haveBest = false;
    bool closeWasRequested = false;
    bool stopFlag = false;

  private:
    int busyDepth = 0;
};
