#pragma once
// What a model run leaves behind when it ends: helpers it started that left its
// process group (setsid, a daemon's double fork) and so escape the signals
// that end the run's group. Such a helper can keep the database locked for
// every later run.
//
// Each run carries a tag of its own in its environment, which every process
// it starts inherits. When the run has ended, every process that still carries
// the tag is ended. The program is made a child subreaper, so that helpers
// whose parents have gone are reparented to it instead of to init, and it can
// reap them once they are ended.
#include <QByteArray>

namespace run_descendants {

// Makes this program the subreaper of its descendants (once; Linux only).
void becomeSubreaper();
// A new tag for one run: the environment entry
// "FITMARA_RUN_TAG=<this program's identity>.<n>" (base/process_identity.h).
QByteArray newTagEntry();
// Ends (SIGKILL) every process other than this one whose environment holds
// `tagEntry`, and reaps those that were reparented to this program. Returns
// how many it ended.
int endTagged(const QByteArray& tagEntry);
// Ends every model run (and what it started) of the program recorded as
// `programIdentity`, which must not run any more: a program killed outright
// leaves its models running. Returns how many processes it ended.
int endRunsOfProgram(const QByteArray& programIdentity);

} // namespace run_descendants
