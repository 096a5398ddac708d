// The command line, applied by the activation handler of the main window and by
// the headless run. The whole line is read and checked first (parseCommandLine):
// a line with an error applies nothing. Then the keys act in a fixed order,
// whatever order the line gave them in: the run file, the database, the result
// table, its condition, its columns.
#include "app/command_line_parser.h"
#include "app/help_texts.h"
#include "app/session.h"
#include "base/fit_error.h"

#include <QFileInfo>

namespace {

ColumnRole columnRoleOf(SessionKey key) {
    switch (key) {
    case SessionKey::Model:
        return ColumnRole::Model;
    case SessionKey::Index:
        return ColumnRole::Index;
    case SessionKey::Variance:
        return ColumnRole::Variance;
    default:
        return ColumnRole::Observed;
    }
}

} // namespace

void Session::applyCommandLine() {
    // The window activates again when a dialog closes, also during a calibration
    // (waiting for the model processes events): applying the line again then
    // would start a second calibration inside the running one.
    if (busy())
        return;

    CommandLineContext context;
    context.databaseOpen = db.isOpen();
    context.canAskForDatabase = personAsker && personAsker->asksThePerson();
    context.resultTableChosen = !calibrationSettings.resultTable.isEmpty();
    context.resultTableOpen = !modelSetup.resultQuery().isEmpty();
    const ParsedCommandLine line =
        parseCommandLine(commandArguments, calibrationSettings, batchOptions, context);
    if (line.help) {
        if (personAsker)
            personAsker->showHelp(batchHelpText(), batchHelpCaption());
        emit stateChanged();
        requestClose();
        return;
    }
    if (!line.errors.isEmpty()) {
        emit stateChanged();
        throw FitError(line.errors.join(QLatin1Char('\n')));
    }

    keyValues.clear();
    for (const auto& [key, value] : line.sessionValues)
        recordCommandLineValue(sessionKeyName(key), value);

    applySessionKeys(line);
    adoptLineSettings(line.settings, line.batch);
    if (line.maxCallsGiven)
        formState.maxEvaluationsText = QString::number(calibrationSettings.maxEvaluations);
    emit stateChanged();

    if (!db.isOpen())
        changeDatabase();
    if (batchOptions.unattended && db.isOpen())
        startUnattended();
}

// The keys that act on the model set-up, in their fixed order: the run file,
// the database, the result table, its condition, its columns.
void Session::applySessionKeys(const ParsedCommandLine& line) {
    try {
        applyRunAndDatabaseKeys(line);
        applyResultTableKeys(line);
    } catch (...) {
        emit stateChanged();
        throw;
    }
}

void Session::applyKey(const ParsedCommandLine& line, SessionKey key,
                       const std::function<void(const QString&)>& apply) {
    if (!line.has(key))
        return;
    // Each key's failure names the argument: in a long batch line the bare
    // reason does not tell which one to correct.
    const QString value = line.value(key);
    try {
        apply(value);
    } catch (const FitError& e) {
        throw FitError(sessionKeyName(key) + value + QStringLiteral(": ") + e.message());
    }
    emit stateChanged();
}

void Session::applyRunAndDatabaseKeys(const ParsedCommandLine& line) {
    applyKey(line, SessionKey::RunFile, [this](const QString& value) {
        setRunFile(value);
        if (!QFileInfo::exists(calibrationSettings.runFile))
            throw FitError(
                QStringLiteral("the run file \"%1\" does not exist. Give an existing run "
                               "script with RF=<file>.")
                    .arg(calibrationSettings.runFile));
    });
    applyKey(line, SessionKey::Database, [this](const QString& value) {
        calibrationSettings.databaseFile = value;
        const int cut = value.lastIndexOf(QLatin1Char('/'));
        calibrationSettings.databaseFolder = cut < 0 ? QString() : value.left(cut + 1);
        openDatabase();
    });
    // The keys of the result table need a database: without DB= the person
    // chooses one first.
    if (line.hasTableKeys() && !db.isOpen()) {
        changeDatabase();
        if (!db.isOpen())
            throw FitError(QStringLiteral("No database is open: give one with DB=<file>."));
    }
}

void Session::applyResultTableKeys(const ParsedCommandLine& line) {
    applyKey(line, SessionKey::ResultTable, [this](const QString& value) {
        modelSetup.tables().selectIgnoringCase(value);
        if (modelSetup.tables().index < 0)
            throw FitError(QStringLiteral("the database has no table or view of that name."));
        modelSetup.applyTableChoice();
    });
    // The column lists are filled by opening the result table: with CD=, or
    // with the condition it has (1=1 when none) for the column keys.
    const SessionKey columnKeys[] = {SessionKey::Observed, SessionKey::Model, SessionKey::Index,
                                     SessionKey::Variance};
    bool anyColumnKey = false;
    for (SessionKey k : columnKeys)
        anyColumnKey = anyColumnKey || line.has(k);
    if (line.has(SessionKey::Condition)) {
        applyKey(line, SessionKey::Condition, [this](const QString& value) {
            calibrationSettings.condition = value;
            modelSetup.openResultTable();
        });
    } else if (anyColumnKey &&
               (line.has(SessionKey::ResultTable) || modelSetup.resultQuery().isEmpty())) {
        modelSetup.openResultTable();
    }
    for (SessionKey k : columnKeys)
        applyKey(line, k, [this, k](const QString& value) {
            modelSetup.chooseColumnNamed(columnRoleOf(k), value);
            if (modelSetup.columnList(columnRoleOf(k)).index < 0)
                throw FitError(QStringLiteral("the result table %1 has no column of that name.")
                                   .arg(calibrationSettings.resultTable));
        });
}

void Session::adoptLineSettings(const CalibrationSettings& lineSettings,
                                const BatchOptions& lineBatch) {
    // The values of the line take effect once its keys could all be applied;
    // the fields the keys above set are kept as they set them.
    CalibrationSettings applied = lineSettings;
    applied.runFile = calibrationSettings.runFile;
    applied.databaseFile = calibrationSettings.databaseFile;
    applied.databaseFolder = calibrationSettings.databaseFolder;
    applied.resultTable = calibrationSettings.resultTable;
    applied.condition = calibrationSettings.condition;
    applied.observedColumn = calibrationSettings.observedColumn;
    applied.modelColumn = calibrationSettings.modelColumn;
    applied.indexColumn = calibrationSettings.indexColumn;
    applied.varianceColumn = calibrationSettings.varianceColumn;
    calibrationSettings = applied;
    batchOptions = lineBatch;
}

// GO: the calibration, its analysis and the end of the program, after the
// whole line has been applied.
void Session::startUnattended() {
    // Without a run script every model run fails, but only after the
    // calibration has backed up the tables and reset AVAL to IVAL, which
    // would wipe the values of the last calibration for nothing.
    if (model.program().isEmpty())
        throw FitError(
            calibrationSettings.runFile.isEmpty()
                ? QStringLiteral("The model could not be started: no run file is given. Give "
                                 "the run script with RF=<file>.")
                : QStringLiteral("The model could not be started: the run file \"%1\" does "
                                 "not exist. Give an existing run script with RF=<file>.")
                      .arg(calibrationSettings.runFile));
    startOptimization();
}
