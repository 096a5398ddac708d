#pragma once
// What a calibration works with, as one value: the database, the result table
// and its column roles, the criterion, the run file, the pauses, and the limits
// of the search and of the analyses.
//
// The command line and the window fill the same value; an operation takes a
// copy when it starts, and every evaluation works with the copy it was given,
// so nothing changed meanwhile (an event handled while the model runs) can
// change the statements of a run half way.
//
// A new setting is a field here and, when the command line gives it, one entry
// in the key table of applyArgument().
#include <QString>

// Nmax as typed (NX=, the window's edit box): a whole number of 1 or more;
// FitError naming the text otherwise.
int parseMaxCalls(const QString& text);

struct CalibrationSettings {
    // ---- the database and the result table ----
    QString databaseFile;   // the database file
    QString databaseFolder; // folder of DB= with its trailing '/', "" without one
    QString resultTable;    // the result table
    QString condition;      // SQL condition that chooses the result rows
    QString observedColumn;
    QString modelColumn; // written by the model; -99 marks a row not yet simulated
    QString indexColumn; // groups of NRMSE and CV(RMSE)
    QString varianceColumn;
    int criterion = 1;     // 1 RMSE, 2 NRMSE, 3 CV(RMSE)
    QString criterionText; // EF= as given; chooses the criterion when it names one

    // ---- the model ----
    QString runFile;                // the run script, as chosen
    int pauseAfterRunMs = 500;      // after each model run, before its results are read
    int pauseBeforeVertexMs = 1000; // before each evaluation of an initial simplex vertex
    double runTimeoutS = 0;         // TO=: a run longer than this is ended; 0: no limit
    // The same limit as the model process takes it, in whole milliseconds.
    qint64 runTimeoutMs() const { return static_cast<qint64>(runTimeoutS * 1000.0 + 0.5); }
    int retries = 0; // RR=: a failed run is started again up to this often
    // NP=: model runs at the same time. 1 runs the model in place on the
    // database; more run it in workspaces, one copy of the model's folder each.
    int parallelRuns = 1;
    QString workRoot; // WD=: where the workspaces go; "" beside the database

    // ---- the search and the analyses ----
    int maxEvaluations = 50;                       // Nmax: most evaluations of the search
    QString tolerance = QStringLiteral("0.0001");  // convergence tolerance, as typed
    QString sensitivityStep = QStringLiteral("5"); // step of the sensitivities in percent, as typed
    // SM=: the search. false: the downhill simplex (NM); true: Levenberg-Marquardt
    // least squares (LM).
    bool leastSquares = false;
    // JD=central: central differences for the least-squares Jacobian and the
    // uncertainty analysis; forward differences otherwise.
    bool centralDifferences = false;
    // DS=: the relative finite-difference step of the Jacobian and of the
    // uncertainty analysis.
    double differenceStep = 0.01;
    // NR=: after the simplex has converged, it starts again around its result
    // up to this often, while that still lowers the criterion by more than the
    // tolerance (a simplex that has lost a dimension on a bound's face finds it
    // again). 0: no restart.
    int restarts = 0;
    // MS=: the search starts from IVAL and from this many less one further
    // points spread over the box of the bounds; the best end is the result.
    int starts = 1;

    // The name of the criterion (RMSE, NRMSE, CV(RMSE)).
    QString criterionName() const;
    // The tolerance read with the locale's settings; FitError when it is no number.
    double ftol() const;
    // The sensitivity step as a fraction (percent / 100); FitError when it is no number.
    double stepFraction() const;

    // Applies one command-line argument that only sets a value (KR=, NX=, PR=,
    // PV=, NP=, WD=, EF=, TO=, RR=, SM=, JD=, DS=, NR=, MS=). False
    // when the argument is none of these; FitError for a value that is not valid. Keys that act on
    // the database (DB=, RT=, CD=, the column roles, RF=) are read by the command-line parser and
    // applied by the session.
    bool applyArgument(const QString& arg);
    // The "parallel runs" field: FitError naming it when the text is no whole
    // number from 1 to 256.
    void setParallelRuns(const QString& text);
    // Chooses the criterion named by criterionText; another name leaves it as it is.
    void applyCriterionName();
};

// How the operations are asked for, apart from the values they work with: by
// a batch line (GO) or in the window, whether a calibration takes up the run
// journal's unfinished one, and what the reports of a batch run are called.
struct BatchOptions {
    QString resultName;          // RS_<name> of a batch run; "" without one
    bool workbookWanted = false; // XL_OUT: also write the workbook
    bool unattended = false;     // GO: unattended calibration, analysis and exit
    // RESUME (or the window's check box): replay an unfinished calibration
    // from the run journal.
    bool resume = false;

    // The uncertainty protocol: RS_<name>.txt in a batch run that names one,
    // else PROT_UNC.TXT (never a name of its extension alone).
    QString uncertaintyProtocolName() const;
    // Applies RS_<name>, XL_OUT, GO or RESUME; false for any other argument.
    bool applyArgument(const QString& arg);
};
