// Placeholder until this operation is written; it says so instead of doing nothing.
#include "app/fit_error.h"
#include "app/session.h"

void Session::Button4Click() { throw FitError(QStringLiteral("This operation is not available yet.")); }
void Session::optimize() { throw FitError(QStringLiteral("This operation is not available yet.")); }
void Session::acceptResult() { throw FitError(QStringLiteral("This operation is not available yet.")); }
