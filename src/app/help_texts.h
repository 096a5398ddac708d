#pragma once
// The texts that tell how to call the program: the "?" help box, --help and
// --version. The command line shows the first; a run from a terminal the others.
#include <QString>

// The "?" help box, text and caption byte for byte.
QString batchHelpText();
QString batchHelpCaption();
// The usage text of --help, for terminal users.
QString usageText();
// The text of --version.
QString versionText();
