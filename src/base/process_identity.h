#pragma once
// A process told apart from any later one that gets the same process id: its
// id and its start time (clock ticks after boot, from /proc/<pid>/stat), as
// "<pid>.<start>". Records of our own programs and model runs keep this, so
// that a process id in use again is never taken for the one recorded.
#include <QByteArray>

// The identity of the running process `pid`; empty when none runs with that
// id (a process that has ended but is not yet reaped runs no more).
QByteArray processIdentity(qint64 pid);
// This program's identity.
QByteArray ownProcessIdentity();
// True while the process recorded as `identity` runs: same id, same start time.
bool identityRuns(const QByteArray& identity);
// The process id part of an identity; 0 when it has none.
qint64 identityPid(const QByteArray& identity);
