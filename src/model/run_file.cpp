// The model call tab: choosing, showing, editing and trying the run file.
#include "app/fit_error.h"
#include "app/session.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
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

QString runFileProblem(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray head = f.read(64 * 1024);
    // The kernel reads the interpreter line up to LF: a CR before it becomes part
    // of the interpreter's name ("/bin/sh\r"), which does not exist. A script
    // without one is read by /bin/sh, which takes a CR as part of each command.
    // A program file (NUL bytes) is none of our business.
    bool crlf = false;
    if (head.startsWith("#!")) {
        const qsizetype eol = head.indexOf('\n');
        crlf = eol > 0 && head.at(eol - 1) == '\r';
    } else {
        crlf = !head.contains('\0') && head.contains("\r\n");
    }
    if (!crlf)
        return QString();
    return QStringLiteral("the run file \"%1\" has Windows line ends (CR LF): the system would "
                          "look for an interpreter or command whose name ends in a CR, and "
                          "report \"No such file or directory\". Save it with Unix line ends "
                          "(LF), for example with: sed -i 's/\\r$//' '%1'")
        .arg(path);
}

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
    run_lb = lines;
    emit stateChanged();
}

void Session::Button1Click() {
    QString chosen = runFileName;
    if (asker && asker->chooseRunFile(chosen)) {
        runFileName = chosen;
        loadRunFile(runFileName);
    }
    // Also after a cancel: the runner is set to the name the dialog holds.
    mrun.setCurrentDir(dirOf(runFileName, true));
    mrun.setApplicationName(runFileName);
    emit stateChanged();
}

void Session::setRunFile(const QString& value) {
    QString name = value;
    if (!name.contains(QLatin1Char('/')))
        name = QDir::currentPath() + QLatin1Char('/') + name;
    runFileName = name;
    if (!QFileInfo::exists(name))
        return;
    loadRunFile(name);
    mrun.setCurrentDir(dirOf(name, true));
    mrun.setApplicationName(name);
}

void Session::Button5Click() {
    if (runFileName.isEmpty()) {
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
        if (asker)
            asker->editTextFile(runFileName);
    } else {
        rfedit.setCurrentDir(dirOf(runFileName, false));
        rfedit.setApplicationName(editor.trimmed());
        rfedit.setParameters(runFileName);
        QProcess process;
        process.setWorkingDirectory(dirOf(runFileName, false));
        process.setProgram(command.takeFirst());
        process.setArguments(command << runFileName);
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
            if (asker)
                asker->editTextFile(runFileName);
        }
    }
    loadRunFile(runFileName);
}

void Session::Button7Click() {
    mrun.setCurrentDir(dirOf(runFileName, false));
    if (mrun.ApplicationName().isEmpty()) {
        setStatus(
            QStringLiteral("No run file has been chosen: choose one with \"open runfile\" first."));
        mrun.Execute(); // fails like any start without a program and records the reason
        return;
    }
    const QString problem = QFileInfo(mrun.ApplicationName()).isFile()
                                ? runFileProblem(mrun.ApplicationName())
                                : QString();
    if (!problem.isEmpty()) {
        setStatus(QStringLiteral("The model was not started: ") + problem);
        return;
    }
    mrun.Execute();
    if (mrun.ResultCode() != -1)
        setStatus(QStringLiteral("The model could not be started: %1").arg(mrun.errorString()));
    else
        setStatus(QStringLiteral("The model was started: %1").arg(mrun.ApplicationName()));
}

void Session::runModel() {
    // Refused before the database is closed: nothing needs reconnecting.
    if (QFileInfo(mrun.ApplicationName()).isFile()) {
        const QString problem = runFileProblem(mrun.ApplicationName());
        if (!problem.isEmpty())
            throw FitError(QStringLiteral("The model could not be started: ") + problem);
    }
    // The database file is free for the model while it runs.
    db.close();
    parmintOpen = false;
    emit connectionChanged(false);
    mrun.Execute();
    const bool started = mrun.waitForEnd();
    if (!started) {
        QString message =
            QStringLiteral("The model could not be started from the run file \"%1\": %2")
                .arg(mrun.ApplicationName().isEmpty() ? QStringLiteral("(none chosen)")
                                                      : mrun.ApplicationName(),
                     mrun.errorString().isEmpty() ? QStringLiteral("no run file has been chosen")
                                                  : mrun.errorString());
        // Reconnect first, so the caller can still restore the model's tables; the
        // failed start stays the error reported.
        try {
            reopen();
        } catch (const FitError& e) {
            message +=
                QStringLiteral("\nReconnecting to the database failed as well: ") + e.message();
        }
        throw FitError(message);
    }
    reopen();
}
