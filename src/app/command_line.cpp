// Placeholder until this operation is written; it says so instead of doing nothing.
#include "app/fit_error.h"
#include "app/session.h"

void Session::FormActivate() { throw FitError(QStringLiteral("This operation is not available yet.")); }
