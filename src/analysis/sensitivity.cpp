// Placeholder until this operation is written; it says so instead of doing nothing.
#include "app/fit_error.h"
#include "app/session.h"

void Session::Button8Click() { throw FitError(QStringLiteral("This operation is not available yet.")); }
void Session::sensit() { throw FitError(QStringLiteral("This operation is not available yet.")); }
