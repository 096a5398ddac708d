#include "app/operation_runner.h"

#include "base/fit_error.h"
#include "evaluation/evaluator.h"
#include "evaluation/report.h"
#include "evaluation/run_journal.h"
#include "evaluation/settings.h"
#include "paramdb/backup.h"
#include "paramdb/database.h"

#include <QFileInfo>

OperationRunner::OperationRunner(Database& database, const CalibrationSettings& s,
                                 const BatchOptions& b, Evaluator& e, Reporter& r,
                                 std::function<void(bool)> changed)
    : db(database), settings(s), batch(b), evaluator(e), reporter(r),
      busyChanged(std::move(changed)), parallel(r, [this] { return evaluator.journal(); }) {}

OperationRunner::BusyScope::BusyScope(OperationRunner& r) : runner(r) {
    if (runner.busyDepth++ == 0) {
        runner.stopFlag = false;
        if (runner.busyChanged)
            runner.busyChanged(true);
    }
}

OperationRunner::BusyScope::~BusyScope() {
    if (--runner.busyDepth == 0 && runner.busyChanged)
        runner.busyChanged(false);
}

// ---- the model's tables ----

void OperationRunner::backup() {
    ::backup(db, marker, [this](const QString& line, bool select) { reporter.log(line, select); },
             {settings.resultTable, settings.modelColumn});
}

void OperationRunner::restore() {
    ::restore(db, marker, [this](const QString& line, bool select) { reporter.log(line, select); });
}

void OperationRunner::backupClosed() {
    ::backupClosed(marker);
}

void OperationRunner::restoreAll() {
    ::restoreAll(db, marker,
                 [this](const QString& line, bool select) { reporter.log(line, select); });
    reporter.parameterValuesChanged();
}

void OperationRunner::restoreAfterFailure(const QString& why) {
    ::restoreAfterFailure(
        db, marker, [this](const QString& line, bool select) { reporter.log(line, select); }, why);
    reporter.parameterValuesChanged();
}

// ---- the run journal ----

void OperationRunner::journaled(journal::OperationKind kind, const std::function<void()>& work,
                                const std::function<QString()>& refusal) {
    RunJournal book(db);
    book.begin(kind, settings, batch.resume);
    if (!book.setAside().isEmpty())
        reporter.log(QStringLiteral("Run journal rows set aside (they do not hold what a model "
                                    "run writes; those runs are made again): %1")
                         .arg(book.setAside().join(QStringLiteral(", "))),
                     true);
    switch (kind) {
    case journal::OperationKind::Calibration:
        book.setPhase(journal::Phase::InitialSimplex);
        break;
    case journal::OperationKind::Sensitivity:
        book.setPhase(journal::Phase::Sensitivity);
        break;
    case journal::OperationKind::Uncertainty:
        book.setPhase(journal::Phase::Uncertainty);
        break;
    }
    RunJournal* outer = evaluator.journal();
    evaluator.setJournal(&book);
    // The outcome goes in with the staged runs; an error in writing it must not
    // hide the operation's own error.
    auto endAfterError = [&](const QString& why) {
        evaluator.setJournal(outer);
        try {
            book.end(stopFlag ? journal::Outcome::Stopped : journal::Outcome::Failed, why);
        } catch (const FitError& e) {
            reporter.log(QStringLiteral("The run journal could not be completed: ") + e.message());
        }
    };
    try {
        work();
    } catch (const DatabaseLocked&) {
        // Writing the outcome would wait for the same lock and fail again; the
        // operation stays unended in the journal, as after a kill.
        evaluator.setJournal(outer);
        throw;
    } catch (const FitError& e) {
        endAfterError(e.message());
        throw;
    } catch (const std::exception& e) {
        endAfterError(QString::fromLocal8Bit(e.what()));
        throw;
    } catch (...) {
        endAfterError(QStringLiteral("an unknown error"));
        throw;
    }
    evaluator.setJournal(outer);
    const QString refused = refusal ? refusal() : QString();
    if (stopFlag)
        book.end(journal::Outcome::Stopped, QStringLiteral("stopped on request"));
    else if (!refused.isEmpty())
        book.end(journal::Outcome::Refused, refused);
    else
        book.end(journal::Outcome::Finished);
}

// ---- parallel runs ----

QString OperationRunner::databasePath() const {
    return db.path().isEmpty() ? settings.databaseFile : db.path();
}

bool OperationRunner::openParallel(int usefulWorkers) {
    const bool made = parallel.open(settings, databasePath(), usefulWorkers);
    if (made && parallelChanged)
        parallelChanged(true);
    return made;
}

void OperationRunner::closeParallel(bool remove) {
    if (parallel.close(remove) && parallelChanged)
        parallelChanged(false);
}

void OperationRunner::endAbandonedRuns() {
    OperationParallelRuns::endAbandonedRuns(settings, databasePath(), reporter);
}

// ---- files written ----

void OperationRunner::noteFileWritten(const QString& fileName) {
    const QString full = QFileInfo(fileName).absoluteFilePath();
    if (!written.contains(full))
        written << full;
}

QStringList OperationRunner::takeFilesWritten() {
    QStringList files;
    files.swap(written);
    return files;
}
