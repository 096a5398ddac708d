#pragma once
// Checks of a run file that need no start.
#include <QString>

// What keeps the run file at `path` from being started as a script, in words
// (Windows line ends); empty when nothing does.
QString runFileProblem(const QString& path);
