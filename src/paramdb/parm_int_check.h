#pragma once
// The checks of PARM_INT that need no model run, made before anything is backed
// up or run: a record that cannot work is found at once, not after many model
// runs or never.
#include <QStringList>

class Database;

// What an operation reads from PARM_INT besides FNAME, PNAME, SELECTION and the
// bounds, which every operation that runs the model needs.
enum ParmIntNeeds : unsigned {
    NeedsIval = 1,        // the start of the search, the base of the sensitivities
    NeedsStep = 2,        // the initial simplex
    NeedsAval = 4,        // the values the uncertainty analysis starts from
    NeedsUniqueAlias = 8, // the uncertainty analysis stores its results by ALIAS
};

// One line per problem, each naming the parameter (counted from 1, with its
// alias) and the field. What may be intended (a SELECTION that matches no row
// today) goes to `warnings` instead.
QStringList parmIntProblems(Database& db, unsigned needs, QStringList* warnings = nullptr);
