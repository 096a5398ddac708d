// The model call tab: choosing, showing, editing and trying the run file.
#include "app/fit_error.h"
#include "app/session.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    if (editor.trimmed().isEmpty()) {
        if (asker)
            asker->editTextFile(runFileName);
    } else {
        rfedit.setCurrentDir(dirOf(runFileName, false));
        rfedit.setApplicationName(editor.trimmed());
        rfedit.setParameters(runFileName);
        rfedit.Execute();
        if (!rfedit.waitForEnd()) {
            setStatus(
                QStringLiteral("The editor could not be started: %1").arg(rfedit.errorString()));
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
    mrun.Execute();
    if (mrun.ResultCode() != -1)
        setStatus(QStringLiteral("The model could not be started: %1").arg(mrun.errorString()));
    else
        setStatus(QStringLiteral("The model was started: %1").arg(mrun.ApplicationName()));
}

void Session::runModel() {
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
