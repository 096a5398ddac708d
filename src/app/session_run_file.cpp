// The "model call" tab: choosing, showing, editing and trying the run file.
#include "app/session.h"

#include "base/fit_error.h"
#include "base/number_format.h"
#include "model/run_file.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QStringDecoder>

namespace {
// Directory part of a file name, with or without its trailing separator.
QString dirOf(const QString& fileName, bool trailingSeparator) {
    if (fileName.isEmpty())
        return QString();
    const int cut = fileName.lastIndexOf(QLatin1Char('/'));
    if (cut < 0)
        return QString();
    return fileName.left(trailingSeparator ? cut + 1 : cut);
}
} // namespace

void Session::loadRunFile(const QString& fileName) {
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly))
        throw FitError(
            QStringLiteral("Cannot open file \"%1\". %2").arg(fileName, f.errorString()));
    const QByteArray data = f.readAll();
    // The locale's encoding unless the file starts with a byte-order mark.
    QString text;
    if (auto enc = QStringConverter::encodingForData(data)) {
        QStringDecoder dec(*enc);
        text = dec(data);
    } else {
        text = QString::fromLocal8Bit(data);
    }
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& l : lines)
        if (l.endsWith(QLatin1Char('\r')))
            l.chop(1);
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    formState.runFileLines = lines;
    emit stateChanged();
}

void Session::openRunFile() {
    QString chosen = calibrationSettings.runFile;
    if (personAsker && personAsker->chooseRunFile(chosen)) {
        calibrationSettings.runFile = chosen;
        loadRunFile(calibrationSettings.runFile);
    }
    // Also after a cancel: the runner is set to the name the dialog holds.
    model.setWorkingDirectory(dirOf(calibrationSettings.runFile, true));
    model.setProgram(calibrationSettings.runFile);
    emit stateChanged();
}

void Session::setRunFile(const QString& value) {
    QString name = value;
    if (!name.contains(QLatin1Char('/')))
        name = QDir::currentPath() + QLatin1Char('/') + name;
    calibrationSettings.runFile = name;
    if (!QFileInfo::exists(name))
        return;
    loadRunFile(name);
    model.setWorkingDirectory(dirOf(name, true));
    model.setProgram(name);
}

void Session::editRunFile() {
    if (calibrationSettings.runFile.isEmpty()) {
        setStatus(
            QStringLiteral("No run file has been chosen: choose one with \"open runfile\" first."));
        return;
    }
    QString editor = qEnvironmentVariable("VISUAL");
    if (editor.trimmed().isEmpty())
        editor = qEnvironmentVariable("EDITOR");
    // The editor command may carry arguments of its own ("code -w"); the run
    // file goes after them as one argument, blanks and all.
    QStringList command = QProcess::splitCommand(editor);
    if (command.isEmpty()) {
        if (personAsker)
            personAsker->editTextFile(calibrationSettings.runFile);
    } else {
        editorProcess.setWorkingDirectory(dirOf(calibrationSettings.runFile, false));
        editorProcess.setProgram(editor.trimmed());
        editorProcess.setArguments(calibrationSettings.runFile);
        QProcess process;
        process.setWorkingDirectory(dirOf(calibrationSettings.runFile, false));
        process.setProgram(command.takeFirst());
        process.setArguments(command << calibrationSettings.runFile);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.setInputChannelMode(QProcess::ForwardedInputChannel); // a terminal editor
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QObject::connect(&process, &QProcess::errorOccurred, &loop,
                         [&loop](QProcess::ProcessError e) {
                             if (e == QProcess::FailedToStart)
                                 loop.quit();
                         });
        process.start();
        // The window stays usable while the editor is open.
        if (process.state() != QProcess::NotRunning)
            loop.exec();
        if (process.error() == QProcess::FailedToStart) {
            setStatus(QStringLiteral("The editor could not be started: %1: %2")
                          .arg(process.program(), process.errorString()));
            if (personAsker)
                personAsker->editTextFile(calibrationSettings.runFile);
        }
    }
    loadRunFile(calibrationSettings.runFile);
}

void Session::checkModelRun() {
    refuseWhileModelRuns();
    model.setWorkingDirectory(dirOf(calibrationSettings.runFile, false));
    if (model.program().isEmpty()) {
        setStatus(
            QStringLiteral("No run file has been chosen: choose one with \"open runfile\" first."));
        model.start(); // fails like any start without a program and records the reason
        return;
    }
    const QString problem =
        QFileInfo(model.program()).isFile() ? runFileProblem(model.program()) : QString();
    if (!problem.isEmpty()) {
        setStatus(QStringLiteral("The model was not started: ") + problem);
        return;
    }
    // The model runs as in an operation: the window waits for it (and stays
    // usable), the stop button ends it, and "exit" asks before it ends it.
    OperationRunner::BusyScope busyScope(operationRunner);
    checkRunGoing = true;
    const auto notGoing = qScopeGuard([this] { checkRunGoing = false; });
    progressState.startClock();
    logLines.append(QStringLiteral("check model run: %1").arg(model.program()), true);
    if (db.isOpen()) {
        // Closed for the model and opened again after it, so that the grids and
        // the chart show what the model wrote.
        evaluator.setSettings(calibrationSettings);
        evaluator.runModel();
    } else {
        const QString folder =
            model.workingDirectory().isEmpty() ? QDir::currentPath() : model.workingDirectory();
        model.setOutputFile(QDir(folder).filePath(QLatin1String(Evaluator::kModelLog)));
        model.setTimeoutMs(calibrationSettings.runTimeoutMs());
        model.start();
        if (model.startError() != -1 || !model.waitForEnd())
            throw FitError(
                QStringLiteral("The model could not be started: %1").arg(model.errorString()));
    }
    reportCheckRun();
}

// How the model of "check model run" ended, and what it left in the result table.
void Session::reportCheckRun() {
    const QString how =
        operationRunner.stopRequested() ? QStringLiteral("ended on request") : model.endText();
    logLines.append(
        QStringLiteral("check model run: the model ended (%1) after %2 s; its output is in %3")
            .arg(how, formatGeneral(model.durationMs() / 1000.0), model.outputFile()),
        true);
    const CalibrationSettings& c = calibrationSettings;
    if (!db.isOpen() || modelSetup.resultQuery().isEmpty() || c.modelColumn.isEmpty()) {
        logLines.append(
            QStringLiteral("check model run: open the result table and choose its model "
                           "column to see what the model wrote."),
            true);
        setStatus(QStringLiteral("check model run: the model ended (%1).").arg(how));
        return;
    }
    QString rows;
    try {
        QSqlQuery q = db.query(QStringLiteral("select count(*), sum(case when ") + c.modelColumn +
                               QStringLiteral(" is not null and ") + c.modelColumn +
                               QStringLiteral(" <> -99 then 1 else 0 end) from ") + c.resultTable +
                               QStringLiteral(" where ") + c.condition);
        if (q.next())
            rows = QStringLiteral("%1 of %2 rows of %3 hold simulated values in %4")
                       .arg(q.value(1).toLongLong())
                       .arg(q.value(0).toLongLong())
                       .arg(c.resultTable, c.modelColumn);
    } catch (const FitError& e) {
        rows = QStringLiteral("the result table cannot be read: ") + e.message();
    }
    QString criterion;
    if (!c.observedColumn.isEmpty()) {
        try {
            criterion =
                QStringLiteral("%1 = %2").arg(c.criterionName(), formatGeneral(criterionOf(db, c)));
        } catch (const FitError& e) {
            criterion = c.criterionName() + QStringLiteral(" cannot be computed: ") + e.message();
        }
    }
    const QString line = QStringLiteral("check model run: ") + rows +
                         (criterion.isEmpty() ? QString() : QStringLiteral("; ") + criterion);
    logLines.append(line, true);
    setStatus(line);
}

void Session::runModel() {
    evaluator.setSettings(calibrationSettings);
    evaluator.runModel();
}
