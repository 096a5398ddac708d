// Placeholder until this operation is written; it says so instead of doing nothing.
#include "app/fit_error.h"
#include "app/session.h"

double Session::model_eval(const tfmatrix&, int, bool*) { throw FitError(QStringLiteral("This operation is not available yet.")); }
