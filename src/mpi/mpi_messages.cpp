#include "mpi/mpi_messages.h"

#include "base/fit_error.h"

#include <bit>
#include <cstdint>
#include <limits>

namespace {

// The first byte of every encoded value says what it is, so that bytes of one
// message read as another are refused rather than misread.
enum Marker : quint8 {
    markerRequest = 0xA1,
    markerResult = 0xA2,
    markerSetup = 0xA3,
    markerInfo = 0xA4,
    markerFailure = 0xA5,
};

class Writer {
  public:
    explicit Writer(quint8 marker) { u8(marker); }
    void u8(quint8 v) { out.append(char(v)); }
    void u64(quint64 v) {
        for (int i = 0; i < 8; ++i)
            out.append(char((v >> (8 * i)) & 0xFF));
    }
    void i64(qint64 v) { u64(quint64(v)); }
    void f64(double v) { u64(std::bit_cast<quint64>(v)); }
    void boolean(bool v) { u8(v ? 1 : 0); }
    void text(const QString& s) {
        const QByteArray utf8 = s.toUtf8();
        u64(quint64(utf8.size()));
        out.append(utf8);
    }
    void doubles(const std::vector<double>& values) {
        u64(values.size());
        for (double v : values)
            f64(v);
    }
    QByteArray bytes() const { return out; }

  private:
    QByteArray out;
};

class Reader {
  public:
    Reader(const QByteArray& bytes, quint8 marker, const char* message) : in(bytes), what(message) {
        if (u8() != marker)
            fail("it holds another kind of message");
    }
    quint8 u8() {
        need(1);
        return quint8(in[pos++]);
    }
    quint64 u64() {
        need(8);
        quint64 v = 0;
        for (int i = 0; i < 8; ++i)
            v |= quint64(quint8(in[pos + i])) << (8 * i);
        pos += 8;
        return v;
    }
    qint64 i64() { return qint64(u64()); }
    double f64() { return std::bit_cast<double>(u64()); }
    bool boolean() {
        const quint8 v = u8();
        if (v > 1)
            fail("a flag is neither 0 nor 1");
        return v == 1;
    }
    QString text() {
        const quint64 n = length(1);
        const QString s = QString::fromUtf8(in.constData() + pos, qsizetype(n));
        pos += qsizetype(n);
        return s;
    }
    std::vector<double> doubles() {
        const quint64 n = length(8);
        std::vector<double> values(n);
        for (double& v : values)
            v = f64();
        return values;
    }
    // A count of items of at least `size` bytes each.
    quint64 count(quint64 size) { return length(size); }
    void end() {
        if (pos != in.size())
            fail("bytes follow its end");
    }
    [[noreturn]] void fail(const char* why) const {
        throw FitError(QStringLiteral("A %1 message from another rank cannot be read: %2.")
                           .arg(QLatin1String(what), QLatin1String(why)));
    }

  private:
    void need(qsizetype n) {
        if (in.size() - pos < n)
            fail("it ends too early");
    }
    // A count of items of `size` bytes each, checked against what is left, so a
    // damaged count cannot ask for gigabytes.
    quint64 length(quint64 size) {
        const quint64 n = u64();
        if (n > quint64(in.size() - pos) / size)
            fail("it ends too early");
        return n;
    }

    const QByteArray& in;
    const char* what;
    qsizetype pos = 0;
};

} // namespace

bool isMessageKind(int tag) {
    return tag >= int(MessageKind::Setup) && tag <= int(MessageKind::Goodbye);
}

QString messageKindName(MessageKind kind) {
    switch (kind) {
    case MessageKind::Setup:
        return QStringLiteral("setup");
    case MessageKind::WorkspaceReady:
        return QStringLiteral("workspace ready");
    case MessageKind::WorkspaceFailed:
        return QStringLiteral("workspace failed");
    case MessageKind::Run:
        return QStringLiteral("run");
    case MessageKind::Result:
        return QStringLiteral("result");
    case MessageKind::StopRun:
        return QStringLiteral("stop run");
    case MessageKind::Shutdown:
        return QStringLiteral("shutdown");
    case MessageKind::Goodbye:
        return QStringLiteral("goodbye");
    }
    return QStringLiteral("unknown (%1)").arg(int(kind));
}

FitRow fitRowOf(const QVariant& index, double observed, double simulated) {
    FitRow row;
    row.observed = observed;
    row.simulated = simulated;
    if (!index.isValid() || index.isNull())
        return row;
    switch (index.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        row.kind = FitRow::Index::Whole;
        row.whole = index.toLongLong();
        break;
    case QMetaType::Double:
        row.kind = FitRow::Index::Number;
        row.number = index.toDouble();
        break;
    default:
        row.kind = FitRow::Index::Text;
        row.text = index.toString();
        break;
    }
    return row;
}

QVariant indexValue(const FitRow& row) {
    switch (row.kind) {
    case FitRow::Index::None:
        break;
    case FitRow::Index::Whole:
        return QVariant(row.whole);
    case FitRow::Index::Number:
        return QVariant(row.number);
    case FitRow::Index::Text:
        return QVariant(row.text);
    }
    return QVariant();
}

QByteArray encode(const RunRequest& request) {
    Writer w(markerRequest);
    w.i64(request.run);
    w.doubles(request.vector);
    w.boolean(request.needModelValues);
    w.u8(quint8(request.phase));
    w.i64(request.pauseBeforeMs);
    w.boolean(request.needFit);
    return w.bytes();
}

RunRequest decodeRunRequest(const QByteArray& bytes) {
    Reader r(bytes, markerRequest, "run");
    RunRequest request;
    request.run = r.i64();
    request.vector = r.doubles();
    request.needModelValues = r.boolean();
    const quint8 phase = r.u8();
    if (phase > quint8(RunPhase::Uncertainty))
        r.fail("its phase is unknown");
    request.phase = RunPhase(phase);
    const qint64 pause = r.i64();
    if (pause < 0 || pause > std::numeric_limits<int>::max())
        r.fail("its pause is out of range");
    request.pauseBeforeMs = int(pause);
    request.needFit = r.boolean();
    r.end();
    return request;
}

QByteArray encode(const RunResult& result) {
    Writer w(markerResult);
    w.i64(result.run);
    w.f64(result.criterion);
    w.boolean(result.complete);
    w.text(result.incompleteReason);
    w.doubles(result.modelValues);
    w.text(result.exitText);
    w.text(result.outputTail);
    w.text(result.node);
    w.text(result.workspace);
    w.i64(result.elapsedUs);
    w.text(result.error);
    w.boolean(result.stopped);
    w.boolean(result.onlyMarks);
    w.text(result.failure);
    w.text(result.outputFile);
    w.text(result.exitStatus);
    w.i64(result.startedMs);
    w.f64(result.durationSeconds);
    w.u64(result.earlierTries.size());
    for (const RunTryReport& t : result.earlierTries) {
        w.text(t.incompleteReason);
        w.boolean(t.onlyMarks);
        w.text(t.failure);
        w.text(t.output);
        w.text(t.exitStatus);
        w.i64(t.startedMs);
        w.f64(t.durationSeconds);
    }
    w.u64(result.fit.size());
    for (const FitRow& row : result.fit) {
        w.u8(quint8(row.kind));
        switch (row.kind) {
        case FitRow::Index::None:
            break;
        case FitRow::Index::Whole:
            w.i64(row.whole);
            break;
        case FitRow::Index::Number:
            w.f64(row.number);
            break;
        case FitRow::Index::Text:
            w.text(row.text);
            break;
        }
        w.f64(row.observed);
        w.f64(row.simulated);
    }
    w.i64(result.fitSkipped);
    return w.bytes();
}

RunResult decodeRunResult(const QByteArray& bytes) {
    Reader r(bytes, markerResult, "result");
    RunResult result;
    result.run = r.i64();
    result.criterion = r.f64();
    result.complete = r.boolean();
    result.incompleteReason = r.text();
    result.modelValues = r.doubles();
    result.exitText = r.text();
    result.outputTail = r.text();
    result.node = r.text();
    result.workspace = r.text();
    result.elapsedUs = r.i64();
    result.error = r.text();
    result.stopped = r.boolean();
    result.onlyMarks = r.boolean();
    result.failure = r.text();
    result.outputFile = r.text();
    result.exitStatus = r.text();
    result.startedMs = r.i64();
    result.durationSeconds = r.f64();
    // Each try holds at least its flag and two 8-byte numbers.
    const quint64 tries = r.count(17);
    for (quint64 k = 0; k < tries; ++k) {
        RunTryReport t;
        t.incompleteReason = r.text();
        t.onlyMarks = r.boolean();
        t.failure = r.text();
        t.output = r.text();
        t.exitStatus = r.text();
        t.startedMs = r.i64();
        t.durationSeconds = r.f64();
        result.earlierTries.push_back(std::move(t));
    }
    // Each row holds at least its kind and two doubles.
    const quint64 rows = r.count(17);
    result.fit.reserve(rows);
    for (quint64 k = 0; k < rows; ++k) {
        FitRow row;
        const quint8 kind = r.u8();
        if (kind > quint8(FitRow::Index::Text))
            r.fail("an index value is of an unknown kind");
        row.kind = FitRow::Index(kind);
        switch (row.kind) {
        case FitRow::Index::None:
            break;
        case FitRow::Index::Whole:
            row.whole = r.i64();
            break;
        case FitRow::Index::Number:
            row.number = r.f64();
            break;
        case FitRow::Index::Text:
            row.text = r.text();
            break;
        }
        row.observed = r.f64();
        row.simulated = r.f64();
        result.fit.push_back(std::move(row));
    }
    result.fitSkipped = r.i64();
    r.end();
    return result;
}

QByteArray encode(const SetupMap& setup) {
    Writer w(markerSetup);
    w.u64(quint64(setup.size()));
    for (auto it = setup.cbegin(); it != setup.cend(); ++it) {
        w.text(it.key());
        w.text(it.value());
    }
    return w.bytes();
}

SetupMap decodeSetup(const QByteArray& bytes) {
    Reader r(bytes, markerSetup, "setup");
    SetupMap setup;
    const quint64 n = r.u64();
    for (quint64 i = 0; i < n; ++i) {
        const QString key = r.text();
        if (setup.contains(key))
            r.fail("a key appears twice");
        setup.insert(key, r.text());
    }
    r.end();
    return setup;
}

QByteArray encode(const WorkspaceInfo& info) {
    Writer w(markerInfo);
    w.text(info.node);
    w.text(info.workspace);
    w.i64(info.bytes);
    return w.bytes();
}

WorkspaceInfo decodeWorkspaceInfo(const QByteArray& bytes) {
    Reader r(bytes, markerInfo, "workspace ready");
    WorkspaceInfo info;
    info.node = r.text();
    info.workspace = r.text();
    info.bytes = r.i64();
    r.end();
    return info;
}

QByteArray encode(const WorkspaceFailure& failure) {
    Writer w(markerFailure);
    w.text(failure.node);
    w.text(failure.message);
    return w.bytes();
}

WorkspaceFailure decodeWorkspaceFailure(const QByteArray& bytes) {
    Reader r(bytes, markerFailure, "workspace failed");
    WorkspaceFailure failure;
    failure.node = r.text();
    failure.message = r.text();
    r.end();
    return failure;
}
