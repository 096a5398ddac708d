#include "app/help_texts.h"

QString batchHelpText() {
    return QStringLiteral(
        "CD=<condition> RT=<res.tab.> DB=<database> OB=<observ.> MO=<model> EF=<error "
        "fct> IX=<index> OV=<variance> KR=<criterium> NX=<max N> RS_...<output "
        "file> XL_OUT GO");
}

QString batchHelpCaption() {
    return QStringLiteral(" batch parameters:");
}

QString versionText() {
    return QStringLiteral("fitmara " FITMARA_VERSION);
}

QString usageText() {
    return QStringLiteral(
        "Usage: fitmara [KEY=value ...] [RS_name] [XL_OUT] [GO]\n"
        "       fitmara ?\n"
        "       fitmara --help | --version\n"
        "\n"
        "Calibrates the parameters listed in the table PARM_INT of a SQLite database\n"
        "by running the model through its run script. Without GO the window opens with\n"
        "the arguments applied. With GO the calibration and the uncertainty analysis\n"
        "run unattended and the program ends; without a display (DISPLAY and\n"
        "WAYLAND_DISPLAY unset, or naming one that does not answer) it runs without a\n"
        "window and needs DB=.\n"
        "\n"
        "Keys (the whole line is checked before any of it is applied; the order of the\n"
        "arguments does not matter):\n"
        "  RF=<run script>   starts the model; a bare name is taken from the current folder\n"
        "  DB=<database>     the SQLite database file; opened at once\n"
        "  RT=<table>        the result table (its name matched ignoring case)\n"
        "  CD=<condition>    SQL condition choosing the result rows (default 1=1)\n"
        "  OB=<column>       observed values\n"
        "  MO=<column>       simulated values (the model writes them)\n"
        "  IX=<column>       index (group) column\n"
        "  OV=<column>       variance of the observations\n"
        "  KR=<tolerance>    convergence tolerance, relative (default 0.0001): of the\n"
        "                    simplex's criterion, of LM's sum of squares\n"
        "  NX=<count>        most model evaluations the search may spend (default 50)\n"
        "  SM=<search>       NM: the downhill simplex (default); LM: Levenberg-Marquardt\n"
        "                    least squares on the weighted sum of squared residuals\n"
        "  JD=<differences>  forward (default) or central differences of the LM Jacobian\n"
        "  DS=<step>         relative difference step of the LM Jacobian (default 0.01)\n"
        "  NR=<count>        restarts of the simplex around its result while they still\n"
        "                    lower the criterion by more than KR= (default 0)\n"
        "  MS=<count>        starts of the search: IVAL and count - 1 points spread over\n"
        "                    the bounds; the best end is the result (default 1)\n"
        "  RS_<name>         output name of the batch run: RS_<name>.txt (the uncertainty\n"
        "                    protocol, current folder) and RS_<name>.xlsx (database's folder)\n"
        "  XL_OUT            also write the workbook\n"
        "  EF=<criterion>    error criterion: RMSE, NRMSE or CV(RMSE)\n"
        "  PR=<ms>           pause after each model run, in milliseconds (default 500)\n"
        "  PV=<ms>           pause before each initial simplex vertex (default 1000)\n"
        "  TO=<seconds>      a model run longer than this is ended and counts as failed\n"
        "                    (default: no limit)\n"
        "  RR=<count>        a failed model run is tried again up to this often (default 0)\n"
        "  RESUME            take up the unfinished calibration with the same settings from\n"
        "                    the run journal (FITMARA_RUNS) instead of starting afresh\n"
        "  NP=<count>        model runs at the same time, each in a workspace of its own\n"
        "                    (default 1: the model runs in place, on the database)\n"
        "  WD=<folder>       where the workspaces go (default .fitmara-work beside the database)\n"
        "  GO                run unattended\n"
        "  ?                 show the batch parameters and end\n"
        "\n"
        "The keys act in this order: RF=, DB=, RT=, CD=, then OB=, MO=, IX= and OV=.\n"
        "Keys are written in upper case, except XL_OUT and EF= (its value in any case).\n"
        "An argument that is no key, or a key whose value cannot be used, is an error\n"
        "that names it; nothing is applied then. With GO the line must give RF=, DB=,\n"
        "RT=, OB=, MO= and OV= (IX= for NRMSE and CV(RMSE)). Without RS_ the protocol\n"
        "is PROT_UNC.TXT and the workbook opti_res.xlsx.\n"
        "The optimisation protocol is written to Opti_Result.TXT in the current folder;\n"
        "the model's output of each run to model.log in the run script's folder.\n"
        "\n"
        "Example:\n"
        "  fitmara RF=run.sh DB=/data/model.sqlite RT=results CD=1=1 OB=obs MO=sim \\\n"
        "          IX=grp OV=var EF=RMSE NX=200 RS_calib XL_OUT GO\n"
        "\n"
        "Exit statuses:\n"
        "  0    the run completed (also for ?, --help and --version)\n"
        "  1    an error ended the run; its message is on standard error\n"
        "  2    the window was asked for, but no display is available\n"
        "  3    the calibration completed (AVAL holds its values), but the uncertainty\n"
        "       analysis was refused (the reason is on standard error); ERROR and r_k\n"
        "       are empty\n"
        "  130  stopped by SIGINT, 143 stopped by SIGTERM (the model's tables are\n"
        "       restored and the protocol so far is written)\n");
}
