#include "base/log_list.h"

#include "base/fit_error.h"

#include <QSaveFile>
#include <cstdio>

void LogList::append(const QString& line, bool select) {
    items.append(line);
    if (select)
        selectedIndex = items.size() - 1;
    if (echoToStdout) {
        std::fputs(line.toLocal8Bit().constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    emit lineAppended(line, select);
}

void LogList::clear() {
    items.clear();
    selectedIndex = -1;
    emit cleared();
}

void LogList::save(const QString& fileName) const {
    QByteArray data;
    for (const QString& l : items) {
        data += l.toLocal8Bit();
        data += "\r\n";
    }
    // Written to a temporary file and renamed, so an old protocol is never left
    // half overwritten.
    QSaveFile f(fileName);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size() || !f.commit())
        throw FitError(
            QStringLiteral("Cannot write the file '%1': %2").arg(fileName, f.errorString()));
}
