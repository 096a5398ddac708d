// Takes the pictures of the user documentation from the real window.
//
//   fitmara_screenshots <model folder> <picture folder>
//
// The model folder holds a fresh copy of the example (demo.sqlite, run.sh and
// the model program); scripts/screenshots.sh makes it. The program opens the
// window on it as a person would from the command line, checks a model run and
// shows each tab, opens the parameter-selection dialog, runs a calibration on
// four parallel runs (a picture while it runs, one of the result dialog, one
// when it has finished), an uncertainty analysis (the sensitivities of one
// parameter in the chart) and saves its workbook, then stops a second
// calibration half-way (the dialog of a stopped calibration, discarded), and
// saves every picture as PNG into the picture folder.
//
// Widgets are found by their object names, falling back to their captions or
// the tab order, so that a renamed button costs one picture, not the run. A
// picture that cannot be taken is named on standard error and the exit status
// is 1; the others are still written.
#include "app/session.h"
#include "ui/main_window.h"
#include "ui/parameter_selection_dialog.h"
#include "ui/style.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <initializer_list>

namespace {

QString pictureDir;
QStringList missing;

void note(const QString& text) {
    std::fprintf(stderr, "screenshots: %s\n", qPrintable(text));
}

void settle(int ms = 300) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void save(QWidget* w, const QString& name) {
    if (!w) {
        missing << name;
        note(name + ": nothing to take it of");
        return;
    }
    const QString path = QDir(pictureDir).filePath(name);
    if (!w->grab().save(path, "PNG")) {
        missing << name;
        note(name + ": cannot write " + path);
        return;
    }
    std::printf("  %s\n", qPrintable(path));
}

// The first child of the given class whose object name is one of `names`, else
// the first whose caption contains one of `captions`.
template <class W>
W* findWidget(QWidget* root, std::initializer_list<const char*> names,
              std::initializer_list<const char*> captions = {}) {
    if (!root)
        return nullptr;
    const QList<W*> all = root->findChildren<W*>();
    for (const char* n : names)
        for (W* w : all)
            if (w->objectName() == QLatin1String(n))
                return w;
    for (const char* c : captions)
        for (W* w : all) {
            QString text;
            if constexpr (std::is_base_of_v<QAbstractButton, W>)
                text = w->text();
            if (text.contains(QLatin1String(c), Qt::CaseInsensitive))
                return w;
        }
    return nullptr;
}

QPushButton* findButton(QWidget* root, std::initializer_list<const char*> names,
                        std::initializer_list<const char*> captions) {
    return findWidget<QPushButton>(root, names, captions);
}

// The tab whose title contains `title`, else the one at `index`.
int tabIndex(QTabWidget* tabs, const char* title, int index) {
    for (int i = 0; i < tabs->count(); ++i)
        if (tabs->tabText(i).contains(QLatin1String(title), Qt::CaseInsensitive))
            return i;
    return index < tabs->count() ? index : -1;
}

bool showTab(QTabWidget* tabs, const char* title, int index) {
    const int i = tabs ? tabIndex(tabs, title, index) : -1;
    if (i < 0)
        return false;
    tabs->setCurrentIndex(i);
    settle();
    return true;
}

// A visible dialog of the program other than the parameter selection.
QDialog* visibleDialog(const QString& except = QString()) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* d = qobject_cast<QDialog*>(w);
        if (d && d->isVisible() && d->objectName() != except)
            return d;
    }
    return nullptr;
}

// Takes the picture of the result dialog and answers it: keeps the values, or
// discards them. Shown a moment first, so that its grid has its rows.
void answerResultDialog(QDialog* dialog, const QString& picture, bool keep) {
    QTimer::singleShot(400, dialog, [dialog, picture, keep] {
        save(dialog, picture);
        QPushButton* button =
            keep ? findButton(dialog, {"acceptButton"}, {"usable", "keep", "accept"})
                 : findButton(dialog, {"discardButton"}, {"discard", "initial"});
        if (button)
            button->click();
        else if (keep)
            dialog->accept();
        else
            dialog->reject();
    });
}

// The drop-down of the "fitmara" tab that lists the parameters by alias.
QComboBox* parameterList(QWidget* tab, const QStringList& aliases) {
    if (auto* c = findWidget<QComboBox>(tab, {"parameterPlotCombo"}))
        return c;
    for (QComboBox* c : tab->findChildren<QComboBox*>()) {
        QStringList items;
        for (int i = 0; i < c->count(); ++i)
            items << c->itemText(i).trimmed();
        if (!items.isEmpty() && items == aliases)
            return c;
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fitmara"));
    if (argc != 3) {
        std::fprintf(stderr, "usage: fitmara_screenshots <model folder> <picture folder>\n");
        return 2;
    }
    const QString modelDir = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    pictureDir = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    QDir().mkpath(pictureDir);
    // The protocols of the window's runs go to the working directory.
    QDir::setCurrent(modelDir);
    applyStyle(app);

    Session session;
    session.arguments = {QStringLiteral("RF=run.sh"),
                         QStringLiteral("DB=") +
                             QDir(modelDir).filePath(QStringLiteral("demo.sqlite")),
                         QStringLiteral("RT=biomass"),
                         QStringLiteral("CD=1=1"),
                         QStringLiteral("OB=OBS"),
                         QStringLiteral("MO=SIM"),
                         QStringLiteral("IX=SITE_ID"),
                         QStringLiteral("OV=OBS_VAR"),
                         QStringLiteral("KR=0.000001"),
                         QStringLiteral("NX=300"),
                         QStringLiteral("PR=0"),
                         QStringLiteral("PV=0")};
    MainWindow window(session);
    QStringList errors;
    window.errorPresenter = [&errors](const QString& message) {
        errors << message;
        note(QStringLiteral("the window reported: ") + message);
    };
    window.onAddParameter = [&session, &window] { showParameterSelection(session, &window); };
    window.resize(1060, 600);
    window.show();
    auto* tabs = window.findChild<QTabWidget*>();
    if (!tabs) {
        note(QStringLiteral("the window has no tabs"));
        return 1;
    }
    QWidget* resultTab = tabs->widget(tabIndex(tabs, "result table", 1));
    QWidget* fitmaraTab = tabs->widget(tabIndex(tabs, "fitmara", 3));
    // The command line is applied from the event loop once the window shows;
    // the result grid fills when CD= opens the result table.
    auto resultRows = [resultTab] {
        for (QTableView* grid : resultTab->findChildren<QTableView*>())
            if (grid->model() && grid->model()->rowCount() > 0)
                return true;
        return false;
    };
    if (!waitFor([&] { return resultRows() || !errors.isEmpty(); }, 10000))
        note(QStringLiteral("the command line was not applied within 10 s"));
    settle(500);
    // The log of the "fitmara" tab: what a run has done so far.
    auto* log = findWidget<QListWidget>(fitmaraTab, {"logList"});
    if (!log) {
        const QList<QListWidget*> lists = fitmaraTab->findChildren<QListWidget*>();
        log = lists.isEmpty() ? nullptr : lists.first();
    }

    std::printf("Pictures of the window:\n");
    // The model run once as it stands: the status bar tells how it ended.
    if (showTab(tabs, "model call", 2)) {
        if (QPushButton* check =
                findButton(tabs->currentWidget(), {"checkModelRunButton"}, {"check model"}))
            check->click(); // returns when the model has ended
        else
            note(QStringLiteral("no \"check model run\" button on the \"model call\" tab"));
        settle();
        save(&window, QStringLiteral("window-model-call.png"));
    } else
        save(nullptr, QStringLiteral("window-model-call.png"));

    // The parameter-selection dialog on the model's table, one field ticked and
    // the record of site 2 chosen; closed without adding anything.
    showTab(tabs, "parameters", 0);
    if (QPushButton* add = findButton(&window, {"addParameterButton"}, {"add parameter"})) {
        add->click();
        settle();
        QDialog* dialog = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && (w->inherits("ParameterSelectionDialog") ||
                                   w->objectName() == QLatin1String("parameterSelectionDialog")))
                dialog = qobject_cast<QDialog*>(w);
        if (dialog) {
            dialog->resize(820, 380);
            settle();
            auto* tables = findWidget<QListWidget>(dialog, {"tableList"});
            if (!tables) {
                const QList<QListWidget*> lists = dialog->findChildren<QListWidget*>();
                tables = lists.isEmpty() ? nullptr : lists.first();
            }
            const QList<QListWidgetItem*> found =
                tables ? tables->findItems(QStringLiteral("growth_par"), Qt::MatchFixedString)
                       : QList<QListWidgetItem*>();
            if (!found.isEmpty()) {
                tables->setCurrentItem(found.first());
                QTest::mouseDClick(tables->viewport(), Qt::LeftButton, {},
                                   tables->visualItemRect(found.first()).center());
                settle();
                QList<QListWidget*> fieldLists = dialog->findChildren<QListWidget*>();
                fieldLists.removeAll(tables);
                auto fieldsShown = [&fieldLists] {
                    for (QListWidget* fields : fieldLists)
                        if (fields->count() > 0)
                            return true;
                    return false;
                };
                // Without a window system a synthetic double click may not reach
                // the list: the signal it would give is sent directly then.
                if (!fieldsShown()) {
                    emit tables->itemDoubleClicked(found.first());
                    settle();
                }
                for (QListWidget* fields : fieldLists) {
                    for (QListWidgetItem* item :
                         fields->findItems(QStringLiteral("K_CAP"), Qt::MatchFixedString))
                        item->setCheckState(Qt::Checked);
                }
                if (auto* records = dialog->findChild<QTableView*>())
                    if (records->model() && records->model()->rowCount() > 1)
                        records->setCurrentIndex(records->model()->index(1, 0));
                settle();
            } else {
                note(QStringLiteral("the dialog does not list the table growth_par"));
            }
            save(dialog, QStringLiteral("parameter-selection.png"));
            dialog->close();
            settle();
        } else {
            save(nullptr, QStringLiteral("parameter-selection.png"));
        }
    } else {
        save(nullptr, QStringLiteral("parameter-selection.png"));
    }

    // Four model runs at a time, as a person sets it on the "fitmara" tab.
    if (auto* parallel = findWidget<QSpinBox>(fitmaraTab, {"parallelRunsEdit"}))
        parallel->setValue(4);
    else
        note(QStringLiteral("no \"parallel runs\" field on the \"fitmara\" tab"));
    if (showTab(tabs, "fitmara", 3))
        save(&window, QStringLiteral("window-fitmara.png"));
    else
        save(nullptr, QStringLiteral("window-fitmara.png"));

    // The calibration runs inside the button's handler, which keeps the event
    // loop going while the model runs: the pictures during the run and of the
    // result dialog are taken from a timer. The dialog is answered with
    // "make the result values usable", so the window ends at the result.
    bool tookRunning = false, tookResult = false;
    // This many completed model runs are well into the search.
    const int runningAfterRuns = 20;
    QTimer watcher;
    watcher.setInterval(50);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        // While runs are going on side by side, so that the status bar
        // counts them; the simplex does not always have more than one to make.
        const int done = session.evaluationCount, going = session.runsRunning;
        if (!tookRunning && done >= runningAfterRuns &&
            (going >= 2 || (going > 0 && done >= 3 * runningAfterRuns) ||
             done >= 4 * runningAfterRuns)) {
            tookRunning = true;
            save(&window, QStringLiteral("window-calibration-running.png"));
        }
        if (tookResult)
            return;
        QDialog* dialog = visibleDialog(QStringLiteral("parameterSelectionDialog"));
        if (!dialog)
            return;
        tookResult = true;
        watcher.stop();
        answerResultDialog(dialog, QStringLiteral("result-dialog.png"), true);
    });
    QPushButton* start =
        findButton(fitmaraTab, {"startCalibrationButton"}, {"start optim", "calibrat"});
    if (start) {
        watcher.start();
        start->click();
        watcher.stop();
        waitFor([] { return !visibleDialog(QStringLiteral("parameterSelectionDialog")); }, 10000);
        settle(800);
    } else {
        note(QStringLiteral("no start button on the \"fitmara\" tab"));
    }
    if (!tookRunning)
        save(nullptr, QStringLiteral("window-calibration-running.png"));
    if (!tookResult)
        save(nullptr, QStringLiteral("result-dialog.png"));
    save(start ? &window : nullptr, QStringLiteral("window-calibration-finished.png"));

    // The uncertainty analysis at the calibrated values, then the sensitivities
    // of every observation to the second parameter in the chart.
    showTab(tabs, "fitmara", 3);
    QPushButton* uncertainty = findButton(fitmaraTab, {"uncertaintyButton"}, {"uncertainty"});
    QComboBox* plotted = nullptr;
    if (uncertainty) {
        uncertainty->click();
        settle(500);
        const QStringList aliases = {QStringLiteral("r_max"), QStringLiteral("k_cap"),
                                     QStringLiteral("b0_site2")};
        plotted = parameterList(fitmaraTab, aliases);
        if (plotted && plotted->count() > 1) {
            plotted->setCurrentIndex(1);
            emit plotted->activated(1);
            settle(800);
        } else {
            plotted = nullptr;
            note(QStringLiteral("no drop-down of the parameters beside \"uncertainty\""));
        }
    } else {
        note(QStringLiteral("no \"uncertainty\" button on the \"fitmara\" tab"));
    }
    // "save workbook…" answered with the file name it proposes: the log then
    // says where the workbook went.
    if (QPushButton* saveBook = findButton(fitmaraTab, {"saveWorkbookButton"}, {"save workbook"})) {
        QTimer::singleShot(300, [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* files = qobject_cast<QFileDialog*>(w); files && files->isVisible())
                    static_cast<QDialog*>(files)->accept(); // the name it proposes
        });
        saveBook->click(); // returns when the file dialog has been answered
        settle();
    } else {
        note(QStringLiteral("no \"save workbook…\" button on the \"fitmara\" tab"));
    }
    if (log)
        log->scrollToBottom(); // the standard errors, correlations, files written
    settle();
    save(plotted ? &window : nullptr, QStringLiteral("window-uncertainty.png"));

    // The parameters with their calibrated values and standard errors, the
    // columns as wide as their values; the result rows at those values.
    if (showTab(tabs, "parameters", 0)) {
        for (QTableView* grid : tabs->currentWidget()->findChildren<QTableView*>())
            grid->resizeColumnsToContents();
        settle();
        save(&window, QStringLiteral("window-parameters.png"));
    } else {
        save(nullptr, QStringLiteral("window-parameters.png"));
    }
    if (showTab(tabs, "result table", 1)) {
        // The grid keeps the widths of its first opening, when the model
        // column held short numbers.
        for (QTableView* grid : tabs->currentWidget()->findChildren<QTableView*>())
            grid->resizeColumnsToContents();
        settle(500); // the chart redraws at most four times a second
        save(&window, QStringLiteral("window-result-table.png"));
    } else {
        save(nullptr, QStringLiteral("window-result-table.png"));
    }

    // A second calibration stopped half-way: the dialog offers its best
    // completed run; discarded, everything stays as the first one left it.
    bool tookStopped = false;
    QTimer stopper;
    stopper.setInterval(50);
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (session.evaluationCount >= runningAfterRuns && !session.stopFlag)
            if (QPushButton* stop = findButton(fitmaraTab, {"stopButton"}, {"stop"}))
                stop->click();
        QDialog* dialog = visibleDialog(QStringLiteral("parameterSelectionDialog"));
        if (!dialog || tookStopped)
            return;
        tookStopped = true;
        stopper.stop();
        answerResultDialog(dialog, QStringLiteral("result-dialog-stopped.png"), false);
    });
    // One model run at a time: on two or three parallel runs a stop that lands
    // while the simplex evaluates ahead now and then ends the calibration with
    // an error ("A point of the search was not evaluated ...") instead of
    // this dialog.
    if (auto* parallel = findWidget<QSpinBox>(fitmaraTab, {"parallelRunsEdit"}))
        parallel->setValue(1);
    if (start && showTab(tabs, "fitmara", 3)) {
        stopper.start();
        start->click();
        stopper.stop();
        waitFor([] { return !visibleDialog(QStringLiteral("parameterSelectionDialog")); }, 10000);
        settle();
    }
    if (!tookStopped)
        save(nullptr, QStringLiteral("result-dialog-stopped.png"));

    if (!errors.isEmpty())
        note(QStringLiteral("%1 error(s) reported by the window (above)").arg(errors.size()));
    if (!missing.isEmpty()) {
        note(QStringLiteral("not taken: ") + missing.join(QStringLiteral(", ")));
        return 1;
    }
    return 0;
}
