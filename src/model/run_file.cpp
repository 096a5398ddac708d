#include "model/run_file.h"

#include <QFile>

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
