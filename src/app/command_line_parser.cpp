#include "app/command_line_parser.h"

#include "base/fit_error.h"

namespace {

// A session key: how it is written and what its value names (for the message
// when the value is missing).
struct SessionKeySpec {
    SessionKey key;
    const char* name;
    const char* value;
};

const SessionKeySpec kSessionKeys[] = {
    {SessionKey::RunFile, "RF=", "the run script"},
    {SessionKey::Database, "DB=", "the database file"},
    {SessionKey::ResultTable, "RT=", "the result table"},
    {SessionKey::Condition, "CD=", "the condition choosing the result rows (CD=1=1: all)"},
    {SessionKey::Observed, "OB=", "the observed column"},
    {SessionKey::Model, "MO=", "the simulated column"},
    {SessionKey::Index, "IX=", "the index column"},
    {SessionKey::Variance, "OV=", "the variance column"},
};

const SessionKeySpec* sessionKeyOf(const QString& arg) {
    for (const SessionKeySpec& k : kSessionKeys)
        if (arg.startsWith(QLatin1String(k.name)))
            return &k;
    return nullptr;
}

bool isColumnKey(SessionKey key) {
    return key == SessionKey::Observed || key == SessionKey::Model || key == SessionKey::Index ||
           key == SessionKey::Variance;
}

// Whether `arg` is a known key, whatever its value.
bool isKnownArgument(const QString& arg) {
    if (arg == QLatin1String("?") || sessionKeyOf(arg))
        return true;
    CalibrationSettings scratch;
    BatchOptions batchScratch;
    try {
        return scratch.applyArgument(arg) || batchScratch.applyArgument(arg);
    } catch (const FitError&) {
        return true; // a known key with an unusable value
    }
}

// The argument as it was probably meant: the key in upper case, '=' for
// another separator, or the key without its value. Empty when nothing fits.
QString meantArgument(const QString& arg) {
    QStringList candidates = {arg.toUpper(), arg.left(3).toUpper() + arg.mid(3)};
    if (arg.size() >= 3 && !arg.at(2).isLetterOrNumber())
        candidates << arg.left(2).toUpper() + QLatin1Char('=') + arg.mid(3);
    if (arg.size() == 2)
        candidates << arg.toUpper() + QLatin1Char('=');
    for (const QString& c : candidates)
        if (c != arg && isKnownArgument(c))
            return c;
    return QString();
}

QString unknownArgumentError(const QString& arg) {
    const QString shown = arg.isEmpty() ? QStringLiteral("(an empty argument)") : arg;
    const QString meant = meantArgument(arg);
    if (meant.isEmpty())
        return shown + QStringLiteral(": not a known argument (see fitmara --help).");
    if (meant.compare(arg, Qt::CaseInsensitive) == 0 ||
        meant.left(3).compare(arg.left(3), Qt::CaseInsensitive) == 0)
        return shown + QStringLiteral(": not a known argument; keys are written in upper case: %1")
                           .arg(meant);
    return shown + QStringLiteral(": not a known argument; did you mean %1?").arg(meant);
}

} // namespace

QString sessionKeyName(SessionKey key) {
    for (const SessionKeySpec& k : kSessionKeys)
        if (k.key == key)
            return QLatin1String(k.name);
    return QString();
}

namespace {

// Each argument as a session key, a value key or an error naming it.
void readArguments(const QStringList& arguments, ParsedCommandLine& line) {
    for (const QString& arg : arguments) {
        if (const SessionKeySpec* k = sessionKeyOf(arg)) {
            const QString value = arg.mid(3);
            if (value.trimmed().isEmpty())
                line.errors << arg + QStringLiteral(": the key needs its value, %1.").arg(k->value);
            else
                line.sessionValues[k->key] = value;
            continue;
        }
        try {
            if (line.settings.applyArgument(arg)) {
                if (arg.startsWith(QLatin1String("NX=")))
                    line.maxCallsGiven = true;
                continue;
            }
            if (line.batch.applyArgument(arg))
                continue;
        } catch (const FitError& e) {
            line.errors << arg + QStringLiteral(": ") + e.message();
            continue;
        }
        line.errors << unknownArgumentError(arg);
    }
}

// What the keys given need of each other, whatever their order on the line.
void checkKeysTogether(ParsedCommandLine& line, const CommandLineContext& context) {
    auto given = [&](SessionKey key) {
        return sessionKeyName(key) + line.value(key) + QStringLiteral(": ");
    };
    const bool needsDatabase = line.batch.unattended || line.hasTableKeys();
    if (needsDatabase && !line.has(SessionKey::Database) && !context.databaseOpen &&
        !context.canAskForDatabase)
        line.errors << QStringLiteral("No database is open: give one with DB=<file>.");
    if (!line.has(SessionKey::ResultTable) && !context.resultTableChosen)
        for (const auto& [key, value] : line.sessionValues)
            if (key == SessionKey::Condition || isColumnKey(key))
                line.errors << given(key) +
                                   QStringLiteral("no result table is chosen: give it with "
                                                  "RT=<table>.");
}

// An unattended run from the start needs the whole calibration on the line,
// and the uncertainty analysis that follows it needs the variance column.
void checkUnattendedLine(ParsedCommandLine& line, const CalibrationSettings& current,
                         const CommandLineContext& context) {
    if (!line.batch.unattended || context.resultTableOpen)
        return;
    if (!line.has(SessionKey::RunFile) && current.runFile.isEmpty())
        line.errors << QStringLiteral("The model cannot be started: no run file is given: give "
                                      "the run script with RF=<file>.");
    if (!line.has(SessionKey::ResultTable) && !context.resultTableChosen)
        line.errors << QStringLiteral("No result table is chosen: give it with RT=<table>.");
    struct Needed {
        SessionKey key;
        const char* what;
        bool needed;
    };
    const bool grouped = line.settings.criterion == 2 || line.settings.criterion == 3;
    for (const Needed& n : {Needed{SessionKey::Observed, "observed", true},
                            Needed{SessionKey::Model, "simulated (model)", true},
                            Needed{SessionKey::Index, "index", grouped},
                            Needed{SessionKey::Variance, "variance", true}})
        if (n.needed && !line.has(n.key))
            line.errors << QStringLiteral("No %1 column is chosen: give it with %2<column>.")
                                   .arg(QLatin1String(n.what), sessionKeyName(n.key)) +
                               (n.key == SessionKey::Variance
                                    ? QStringLiteral(" An unattended run goes on with the "
                                                     "uncertainty analysis, which needs it.")
                                    : QString());
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList& arguments, const CalibrationSettings& current,
                                   const BatchOptions& currentBatch,
                                   const CommandLineContext& context) {
    ParsedCommandLine line;
    line.settings = current;
    line.batch = currentBatch;
    line.batch.unattended = false;
    line.batch.workbookWanted = false;
    if (arguments.contains(QStringLiteral("?"))) {
        line.help = true;
        return line;
    }
    readArguments(arguments, line);
    line.settings.applyCriterionName();
    checkKeysTogether(line, context);
    checkUnattendedLine(line, current, context);
    return line;
}
