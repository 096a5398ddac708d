#pragma once
// The write-back of AVAL into the model's parameter tables, without transaction
// control of its own, so that callers can put it into a larger transaction.
class Database;

// One UPDATE per PARM_INT record, in table order (a later record on the same
// column and row wins): column PNAME (trimmed) of table FNAME receives AVAL in
// every row that SELECTION lets through (every row for an empty SELECTION).
// Throws FitError naming the record that failed; the caller rolls back.
void writeParameterValues(Database& db);

// Deletes the marker file "wait_now.dvk" in the current directory, if any.
void removeWaitMarker();
