#include "base/process_identity.h"

#include <QFile>
#include <QList>

#include <unistd.h>

QByteArray processIdentity(qint64 pid) {
    if (pid <= 0)
        return {};
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    // The name (field 2) may hold blanks and ')': the fields after it count
    // from its last ')'. State is field 3, the start time field 22.
    const qsizetype name = line.lastIndexOf(')');
    if (name < 0)
        return {};
    const QList<QByteArray> fields = line.mid(name + 2).split(' ');
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return {};
    return QByteArray::number(pid) + '.' + fields[19];
}

QByteArray ownProcessIdentity() {
    static const QByteArray self = processIdentity(::getpid());
    return self;
}

bool identityRuns(const QByteArray& identity) {
    const qint64 pid = identityPid(identity);
    return pid > 0 && processIdentity(pid) == identity;
}

qint64 identityPid(const QByteArray& identity) {
    bool ok = false;
    const qint64 pid = identity.left(identity.indexOf('.')).toLongLong(&ok);
    return ok && identity.contains('.') ? pid : 0;
}
