#include "paramdb/journal.h"

#include <algorithm>

#include "base/fit_error.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
#include <charconv>
#include <cmath>
#include <limits>

namespace journal {

namespace {

const QString kOperations = QString::fromLatin1(kOperationsTable);
const QString kRuns = QString::fromLatin1(kRunsTable);

// Nothing here may contain the word the engine adapter rewrites in CREATE
// TABLE statements.
const QString kCreateOperations = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS FITMARA_OPERATIONS ("
    "ID INTEGER PRIMARY KEY AUTOINCREMENT, KIND TEXT NOT NULL, SETTINGS TEXT NOT NULL, "
    "PARAMETERS TEXT NOT NULL, FINGERPRINT TEXT NOT NULL, STARTED TEXT NOT NULL, ENDED TEXT, "
    "OUTCOME TEXT, REASON TEXT, RESUMED INTEGER NOT NULL DEFAULT 0)");
const QString kCreateRuns = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS FITMARA_RUNS ("
    "ID INTEGER PRIMARY KEY AUTOINCREMENT, "
    "OPERATION_ID INTEGER NOT NULL REFERENCES FITMARA_OPERATIONS (ID), "
    "RUN INTEGER NOT NULL, TRY INTEGER NOT NULL DEFAULT 1, PHASE TEXT NOT NULL, "
    "PARAMS TEXT NOT NULL, CRITERION REAL, COMPLETE INTEGER NOT NULL, STATUS TEXT NOT NULL, "
    "EXIT_STATUS TEXT, STARTED TEXT NOT NULL, DURATION REAL, WORKER INTEGER, OUTPUT TEXT)");
// Resume looks runs up by operation and vector.
const QString kCreateRunsIndex = QStringLiteral("CREATE INDEX IF NOT EXISTS FITMARA_RUNS_VECTOR "
                                                "ON FITMARA_RUNS (OPERATION_ID, PARAMS)");

const QStringList kOperationColumns = {QStringLiteral("ID"),          QStringLiteral("KIND"),
                                       QStringLiteral("SETTINGS"),    QStringLiteral("PARAMETERS"),
                                       QStringLiteral("FINGERPRINT"), QStringLiteral("STARTED"),
                                       QStringLiteral("ENDED"),       QStringLiteral("OUTCOME"),
                                       QStringLiteral("REASON"),      QStringLiteral("RESUMED")};
const QStringList kRunColumns = {
    QStringLiteral("ID"),          QStringLiteral("OPERATION_ID"), QStringLiteral("RUN"),
    QStringLiteral("TRY"),         QStringLiteral("PHASE"),        QStringLiteral("PARAMS"),
    QStringLiteral("CRITERION"),   QStringLiteral("COMPLETE"),     QStringLiteral("STATUS"),
    QStringLiteral("EXIT_STATUS"), QStringLiteral("STARTED"),      QStringLiteral("DURATION"),
    QStringLiteral("WORKER"),      QStringLiteral("OUTPUT")};

QString now() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString timeText(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : now();
}

// The shortest text that reads back as the same double; locale-independent.
QString numberText(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return QString::fromLatin1(buf, r.ptr - buf);
}

std::vector<double> parseVector(const QString& text) {
    std::vector<double> out;
    QString body = text.trimmed();
    if (body.startsWith(QLatin1Char('[')))
        body = body.mid(1);
    if (body.endsWith(QLatin1Char(']')))
        body.chop(1);
    if (body.trimmed().isEmpty())
        return out;
    for (const QString& item : body.split(QLatin1Char(','))) {
        const QByteArray b = item.trimmed().toLatin1();
        double v = std::numeric_limits<double>::quiet_NaN();
        std::from_chars(b.constData(), b.constData() + b.size(), v);
        out.push_back(v);
    }
    return out;
}

QString compact(const QJsonObject& o) {
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString compact(const QJsonArray& a) {
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

QString valueText(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Undefined:
        return QStringLiteral("not set");
    case QJsonValue::Null:
        return QStringLiteral("empty");
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return numberText(v.toDouble());
    case QJsonValue::String:
        return QLatin1Char('"') + v.toString() + QLatin1Char('"');
    case QJsonValue::Array:
        return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
    case QJsonValue::Object:
        return compact(v.toObject());
    }
    return {};
}

QStringList unionOfKeys(const QJsonObject& a, const QJsonObject& b) {
    QStringList keys = a.keys();
    for (const QString& k : b.keys())
        if (!keys.contains(k))
            keys << k;
    keys.sort();
    return keys;
}

// Equal values, or the same number once as text and once as a number (a
// journal written when numbers were kept as typed).
bool sameSetting(const QJsonValue& a, const QJsonValue& b) {
    if (a == b)
        return true;
    auto number = [](const QJsonValue& v, double& out) {
        if (v.isDouble()) {
            out = v.toDouble();
            return true;
        }
        bool ok = false;
        out = v.isString() ? v.toString().trimmed().toDouble(&ok) : 0;
        return ok;
    };
    double x = 0, y = 0;
    return (a.isDouble() || b.isDouble()) && number(a, x) && number(b, y) && x == y;
}

QStringList settingDifferences(const QJsonObject& then, const QJsonObject& now) {
    QStringList out;
    for (const QString& k : unionOfKeys(then, now)) {
        const QJsonValue a = then.value(k), b = now.value(k);
        if (!sameSetting(a, b))
            out << QStringLiteral("the setting %1 was %2 and is %3 now")
                       .arg(k, valueText(a), valueText(b));
    }
    return out;
}

// The first difference between two PARM_INT snapshots, in words.
QString parmIntDifference(const QJsonArray& then, const QJsonArray& now) {
    if (then.size() != now.size())
        return QStringLiteral("PARM_INT had %1 records and has %2 now")
            .arg(then.size())
            .arg(now.size());
    for (qsizetype i = 0; i < then.size(); ++i) {
        const QJsonObject a = then.at(i).toObject(), b = now.at(i).toObject();
        for (const QString& k : unionOfKeys(a, b)) {
            if (a.value(k) == b.value(k))
                continue;
            QString name = b.value(QStringLiteral("PNAME")).toString().trimmed();
            if (name.isEmpty())
                name = a.value(QStringLiteral("PNAME")).toString().trimmed();
            return QStringLiteral("PARM_INT record %1%2: %3 was %4 and is %5 now")
                .arg(i + 1)
                .arg(name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name))
                .arg(k, valueText(a.value(k)), valueText(b.value(k)));
        }
    }
    return QStringLiteral("PARM_INT differs");
}

void requireColumns(Database& db, const QString& table, const QStringList& needed) {
    const QStringList have = db.columns(table);
    for (const QString& c : needed)
        if (!have.contains(c, Qt::CaseInsensitive))
            throw FitError(QStringLiteral("The table %1 of this database is not a run journal of "
                                          "this program: it has no column %2. Rename or drop it "
                                          "so that the journal can be kept.")
                               .arg(table, c));
}

// An integer as the engine hands it over (not a text, a real or NULL).
bool isWholeNumber(const QVariant& v) {
    return v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Int;
}

QString shownValue(const QVariant& v) {
    if (v.isNull())
        return QStringLiteral("empty");
    if (v.typeId() == QMetaType::QString)
        return QLatin1Char('\'') + v.toString() + QLatin1Char('\'');
    return v.toString();
}

// Why a row that claims a complete run does not hold what a run writes (a run
// number from 1, the vector as vectorText writes it, a finite criterion,
// COMPLETE 1); empty when it does. Such a row is not replayed: the run is made
// again rather than a damaged value taken for its criterion.
// A run of the least-squares search keeps its simulated values instead of a
// criterion: either must hold what a run writes.
bool holdsSimulatedValues(const QVariant& simulated) {
    if (simulated.isNull() || simulated.typeId() != QMetaType::QString)
        return false;
    const std::vector<double> values = parseVector(simulated.toString());
    if (values.empty())
        return false;
    for (double e : values)
        if (!std::isfinite(e))
            return false;
    return true;
}

QString runRowProblem(const QVariant& run, const QVariant& params, const QVariant& criterion,
                      const QVariant& complete, const QVariant& simulated = QVariant()) {
    if (!isWholeNumber(complete) || complete.toLongLong() != 1)
        return QStringLiteral("COMPLETE %1").arg(shownValue(complete));
    if (!isWholeNumber(run) || run.toLongLong() < 1)
        return QStringLiteral("RUN %1").arg(shownValue(run));
    const bool number = criterion.typeId() == QMetaType::Double || isWholeNumber(criterion);
    if ((!number || !std::isfinite(criterion.toDouble())) &&
        !(criterion.isNull() && holdsSimulatedValues(simulated)))
        return QStringLiteral("RUN %1: CRITERION %2")
            .arg(run.toLongLong())
            .arg(shownValue(criterion));
    const QString text = params.typeId() == QMetaType::QString ? params.toString() : QString();
    const std::vector<double> x = parseVector(text);
    bool finite = true;
    for (double e : x)
        finite = finite && std::isfinite(e);
    if (!finite || Journal::vectorText(x) != text)
        return QStringLiteral("RUN %1: PARAMS %2").arg(run.toLongLong()).arg(shownValue(params));
    return QString();
}

RunRecord runFrom(const QSqlQuery& q) {
    RunRecord r;
    const QSqlRecord rec = q.record();
    auto v = [&](const char* name) { return q.value(rec.indexOf(QLatin1String(name))); };
    r.id = v("ID").toLongLong();
    r.operation = v("OPERATION_ID").toLongLong();
    r.run = v("RUN").toInt();
    r.attempt = v("TRY").toInt();
    QString phase = v("PHASE").toString();
    const int staged = phase.indexOf(QLatin1String(": "));
    if (staged >= 0) {
        r.stage = phase.left(staged);
        phase = phase.mid(staged + 2);
    }
    r.phase = phaseFromName(phase).value_or(Phase::Search);
    r.x = parseVector(v("PARAMS").toString());
    if (!v("CRITERION").isNull())
        r.criterion = v("CRITERION").toDouble();
    r.complete = v("COMPLETE").toInt() != 0;
    r.status = v("STATUS").toString();
    r.exitStatus = v("EXIT_STATUS").toString();
    r.started = QDateTime::fromString(v("STARTED").toString(), Qt::ISODateWithMs);
    r.durationSeconds = v("DURATION").toDouble();
    r.worker = v("WORKER").toInt();
    r.output = v("OUTPUT").toString();
    const int simulated = rec.indexOf(QStringLiteral("SIMULATED"));
    if (simulated >= 0 && !q.value(simulated).isNull())
        r.simulated = parseVector(q.value(simulated).toString());
    return r;
}

} // namespace

bool isJournalTable(const QString& table) {
    const QString t = table.trimmed();
    // The values a backup keeps beside the model's tables (paramdb/backup.h)
    // are ours as well.
    return t.compare(kOperations, Qt::CaseInsensitive) == 0 ||
           t.compare(kRuns, Qt::CaseInsensitive) == 0 ||
           t.compare(QLatin1String("FITMARA_BACKUP_VALUES"), Qt::CaseInsensitive) == 0;
}

QStringList withoutJournalTables(const QStringList& tables) {
    QStringList out;
    for (const QString& t : tables)
        if (!isJournalTable(t))
            out << t;
    return out;
}

QString kindName(OperationKind kind) {
    switch (kind) {
    case OperationKind::Calibration:
        return QStringLiteral("calibration");
    case OperationKind::Sensitivity:
        return QStringLiteral("sensitivity");
    case OperationKind::Uncertainty:
        return QStringLiteral("uncertainty");
    }
    return {};
}

QString phaseName(Phase phase) {
    switch (phase) {
    case Phase::InitialSimplex:
        return QStringLiteral("initial simplex");
    case Phase::Search:
        return QStringLiteral("search");
    case Phase::Shrink:
        return QStringLiteral("shrink");
    case Phase::Speculative:
        return QStringLiteral("speculative");
    case Phase::Sensitivity:
        return QStringLiteral("sensitivity");
    case Phase::Uncertainty:
        return QStringLiteral("uncertainty");
    case Phase::Start:
        return QStringLiteral("start");
    case Phase::Jacobian:
        return QStringLiteral("jacobian");
    case Phase::Upgrade:
        return QStringLiteral("upgrade");
    }
    return {};
}

std::optional<Phase> phaseFromName(const QString& name) {
    for (Phase p :
         {Phase::InitialSimplex, Phase::Search, Phase::Shrink, Phase::Speculative,
          Phase::Sensitivity, Phase::Uncertainty, Phase::Start, Phase::Jacobian, Phase::Upgrade})
        if (phaseName(p) == name)
            return p;
    return std::nullopt;
}

QString outcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Finished:
        return QStringLiteral("finished");
    case Outcome::Stopped:
        return QStringLiteral("stopped");
    case Outcome::Failed:
        return QStringLiteral("failed");
    case Outcome::Refused:
        return QStringLiteral("refused");
    }
    return {};
}

QJsonArray parmIntSnapshot(Database& db) {
    static const QRegularExpression written(QStringLiteral("^(AVAL|ERROR|r_[0-9]+)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    QJsonArray out;
    QSqlQuery q = db.query(QStringLiteral("select * from parm_int order by rowid"));
    const QSqlRecord rec = q.record();
    while (q.next()) {
        QJsonObject row;
        for (int i = 0; i < rec.count(); ++i) {
            const QString name = rec.fieldName(i);
            if (written.match(name).hasMatch())
                continue;
            const QVariant v = q.value(i);
            QJsonValue j;
            if (v.isNull())
                j = QJsonValue(QJsonValue::Null);
            else if (v.typeId() == QMetaType::Double)
                j = v.toDouble();
            else if (v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Int)
                j = v.toLongLong();
            else if (v.typeId() == QMetaType::QByteArray)
                j = QStringLiteral("x'%1'").arg(QString::fromLatin1(v.toByteArray().toHex()));
            else
                j = v.toString();
            row.insert(name.toUpper(), j);
        }
        out.append(row);
    }
    return out;
}

QString fingerprint(const QJsonArray& snapshot) {
    return QString::fromLatin1(
        QCryptographicHash::hash(compact(snapshot).toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString Journal::vectorText(const std::vector<double>& x) {
    QString out = QStringLiteral("[");
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (i)
            out += QLatin1Char(',');
        out += std::isfinite(x[i]) ? numberText(x[i]) : QStringLiteral("null");
    }
    return out + QLatin1Char(']');
}

void Journal::ensureTables() {
    db.exec(kCreateOperations);
    db.exec(kCreateRuns);
    requireColumns(db, kOperations, kOperationColumns);
    requireColumns(db, kRuns, kRunColumns);
    if (!db.columns(kRuns).contains(QStringLiteral("SIMULATED"), Qt::CaseInsensitive))
        db.exec(QStringLiteral("ALTER TABLE FITMARA_RUNS ADD COLUMN SIMULATED TEXT"));
    db.exec(kCreateRunsIndex);
}

qint64 Journal::beginOperation(OperationKind kind, const QJsonObject& settings) {
    const QJsonArray snapshot = parmIntSnapshot(db);
    QSqlQuery q = db.query(
        QStringLiteral("INSERT INTO FITMARA_OPERATIONS (KIND, SETTINGS, PARAMETERS, FINGERPRINT, "
                       "STARTED) VALUES (?, ?, ?, ?, ?)"),
        {kindName(kind), compact(settings), compact(snapshot), fingerprint(snapshot), now()});
    return q.lastInsertId().toLongLong();
}

void Journal::reopenOperation(qint64 operation) {
    db.exec(QStringLiteral("UPDATE FITMARA_OPERATIONS SET ENDED = NULL, OUTCOME = NULL, "
                           "REASON = NULL, RESUMED = RESUMED + 1 WHERE ID = ?"),
            {operation});
}

void Journal::endOperation(qint64 operation, Outcome outcome, const QString& reason) {
    inTransaction([&] {
        db.exec(QStringLiteral("UPDATE FITMARA_OPERATIONS SET ENDED = ?, OUTCOME = ?, REASON = ? "
                               "WHERE ID = ?"),
                {now(), outcomeName(outcome), reason.isEmpty() ? QVariant() : QVariant(reason),
                 operation});
    });
}

qint64 Journal::recordRun(const RunRecord& run) {
    QSqlQuery q = db.query(
        QStringLiteral("INSERT INTO FITMARA_RUNS (OPERATION_ID, RUN, TRY, PHASE, PARAMS, "
                       "CRITERION, COMPLETE, STATUS, EXIT_STATUS, STARTED, DURATION, WORKER, "
                       "OUTPUT, SIMULATED) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        {run.operation, run.run, run.attempt,
         run.stage.isEmpty() ? phaseName(run.phase)
                             : run.stage + QStringLiteral(": ") + phaseName(run.phase),
         vectorText(run.x), run.criterion ? QVariant(*run.criterion) : QVariant(),
         run.complete ? 1 : 0,
         !run.status.isEmpty() ? run.status
         : run.complete        ? QStringLiteral("complete")
                               : QStringLiteral("incomplete"),
         run.exitStatus.isEmpty() ? QVariant() : QVariant(run.exitStatus), timeText(run.started),
         run.durationSeconds, run.worker, run.output,
         run.simulated.empty() ? QVariant() : QVariant(vectorText(run.simulated))});
    return q.lastInsertId().toLongLong();
}

void Journal::withdrawRun(qint64 operation, int run) {
    const auto kept = std::remove_if(staged.begin(), staged.end(), [&](const RunRecord& r) {
        return r.operation == operation && r.run == run;
    });
    if (kept != staged.end()) {
        staged.erase(kept, staged.end());
        return; // not written yet
    }
    withdrawn.emplace_back(operation, run);
}

void Journal::writeStaged() {
    for (const auto& [operation, run] : withdrawn)
        db.exec(QStringLiteral("DELETE FROM FITMARA_RUNS WHERE OPERATION_ID = ? AND RUN = ?"),
                {operation, run});
    for (const RunRecord& run : staged)
        recordRun(run);
}

ResumePoint Journal::findResumable(OperationKind kind, const QJsonObject& settings) {
    ResumePoint point;
    if (!db.hasTable(kOperations) || !db.hasTable(kRuns))
        return point;
    const QJsonArray snapshot = parmIntSnapshot(db);
    const QString print = fingerprint(snapshot);
    // Operations that did not finish, and also the latest operation of the kind
    // when it finished but the program was killed in the operation after it
    // (the analysis that follows a calibration in a batch run): the journal
    // holds every run of it, so taking it up replays it without a model run
    // instead of repeating the whole search.
    QSqlQuery q = db.query(
        QStringLiteral(
            "SELECT ID, SETTINGS, PARAMETERS, FINGERPRINT, STARTED, OUTCOME = 'finished' "
            "FROM FITMARA_OPERATIONS o WHERE KIND = ? AND (OUTCOME IS NULL OR OUTCOME <> "
            "'finished' OR (ID = (SELECT MAX(ID) FROM FITMARA_OPERATIONS WHERE KIND = ?) AND "
            "(SELECT OUTCOME FROM FITMARA_OPERATIONS ORDER BY ID DESC LIMIT 1) IS NULL)) "
            "ORDER BY ID DESC"),
        {kindName(kind), kindName(kind)});
    bool latest = true;
    while (q.next()) {
        const QJsonObject then = QJsonDocument::fromJson(q.value(1).toString().toUtf8()).object();
        const bool sameParameters = q.value(3).toString() == print;
        if (sameParameters && settingDifferences(then, settings).isEmpty()) {
            point.operation = q.value(0).toLongLong();
            point.started = QDateTime::fromString(q.value(4).toString(), Qt::ISODateWithMs);
            point.difference.clear();
            break;
        }
        // A finished operation is taken up only when it matches: what differs
        // is told of the unfinished ones.
        if (q.value(5).toBool())
            continue;
        if (latest) {
            QStringList differences = settingDifferences(then, settings);
            if (!sameParameters)
                differences << parmIntDifference(
                    QJsonDocument::fromJson(q.value(2).toString().toUtf8()).array(), snapshot);
            point.difference = differences.join(QStringLiteral("; "));
            latest = false;
        }
    }
    if (point.operation == 0)
        return point;
    QSqlQuery runs = db.query(
        QStringLiteral("SELECT ID, RUN, PARAMS, CRITERION, COMPLETE, %1 FROM FITMARA_RUNS "
                       "WHERE OPERATION_ID = ? ORDER BY ID")
            .arg(db.columns(kRuns).contains(QStringLiteral("SIMULATED"), Qt::CaseInsensitive)
                     ? QStringLiteral("SIMULATED")
                     : QStringLiteral("NULL")),
        {point.operation});
    while (runs.next()) {
        const QVariant run = runs.value(1), complete = runs.value(4);
        if (isWholeNumber(run) && run.toLongLong() > 0)
            point.lastRun = std::max(point.lastRun, int(run.toLongLong()));
        // A row that says "not complete" is never replayed: nothing to check.
        if (isWholeNumber(complete) && complete.toLongLong() == 0)
            continue;
        const QString why =
            runRowProblem(runs.value(1), runs.value(2), runs.value(3), complete, runs.value(5));
        if (why.isEmpty())
            ++point.completedRuns;
        else
            point.setAside << QStringLiteral("ID %1 (%2)").arg(runs.value(0).toString(), why);
    }
    return point;
}

std::optional<RunRecord> Journal::completedRun(qint64 operation, const std::vector<double>& x) {
    for (double v : x)
        if (!std::isfinite(v))
            return std::nullopt;
    QSqlQuery q = db.query(QStringLiteral("SELECT * FROM FITMARA_RUNS WHERE OPERATION_ID = ? AND "
                                          "PARAMS = ? AND COMPLETE <> 0 ORDER BY ID"),
                           {operation, vectorText(x)});
    // The first row of the vector that holds what a run writes; the others
    // were set aside when the operation was taken up.
    const QSqlRecord rec = q.record();
    auto v = [&](const char* name) { return q.value(rec.indexOf(QLatin1String(name))); };
    while (q.next())
        if (runRowProblem(v("RUN"), v("PARAMS"), v("CRITERION"), v("COMPLETE"),
                          rec.indexOf(QStringLiteral("SIMULATED")) >= 0 ? v("SIMULATED")
                                                                        : QVariant())
                .isEmpty())
            return runFrom(q);
    return std::nullopt;
}

} // namespace journal
