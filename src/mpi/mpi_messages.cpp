#include "mpi/mpi_messages.h"

#include "base/fit_error.h"

#include <QDataStream>
#include <QIODevice>

#include <concepts>
#include <limits>
#include <type_traits>

namespace {

// A message type or, for the writer, the same type const: one field list
// serves both directions.
template <class T, class Message>
concept either = std::same_as<std::remove_const_t<T>, Message>;

// The field lists. Each message type has exactly one, read by the Reader and
// written by the Writer, so a field cannot be written one way and read
// another. `io(field)` carries a value; `io.choice(field, last)` an enum whose
// values run from 0 to last; `io.notNegative(field, ...)` a count or duration.

template <class Io> void fields(Io& io, either<RunRequest> auto& request) {
    io(request.run);
    io(request.vector);
    io(request.needModelValues);
    io.choice(request.phase, RunPhase::Uncertainty);
    io.notNegative(request.pauseBeforeMs, "its pause is negative");
    io(request.needFit);
}

template <class Io> void fields(Io& io, either<RunTryReport> auto& tried) {
    io(tried.incompleteReason);
    io(tried.onlyMarks);
    io(tried.failure);
    io(tried.output);
    io(tried.exitStatus);
    io(tried.startedMs);
    io(tried.durationSeconds);
}

// Only the value of the index's kind travels.
template <class Io> void fields(Io& io, either<FitRow> auto& row) {
    io.choice(row.kind, FitRow::Index::Text);
    switch (row.kind) {
    case FitRow::Index::None:
        break;
    case FitRow::Index::Whole:
        io(row.whole);
        break;
    case FitRow::Index::Number:
        io(row.number);
        break;
    case FitRow::Index::Text:
        io(row.text);
        break;
    }
    io(row.observed);
    io(row.simulated);
}

template <class Io> void fields(Io& io, either<RunResult> auto& result) {
    io(result.run);
    io(result.criterion);
    io(result.complete);
    io(result.incompleteReason);
    io(result.modelValues);
    io(result.exitText);
    io(result.outputTail);
    io(result.node);
    io(result.workspace);
    io(result.elapsedUs);
    io(result.error);
    io(result.stopped);
    io(result.onlyMarks);
    io(result.failure);
    io(result.outputFile);
    io(result.exitStatus);
    io(result.startedMs);
    io(result.durationSeconds);
    io(result.earlierTries);
    io(result.fit);
    io(result.fitSkipped);
}

template <class Io> void fields(Io& io, either<WorkerSetup> auto& setup) {
    io(setup.runFile);
    io(setup.database);
    io(setup.workFolder);
    io(setup.resultTable);
    io(setup.condition);
    io(setup.observedColumn);
    io(setup.modelColumn);
    io(setup.indexColumn);
    io(setup.varianceColumn);
    io(setup.criterion);
    io(setup.pauseAfterRunMs);
    io(setup.runTimeoutS);
    io(setup.retries);
}

template <class Io> void fields(Io& io, either<WorkspaceInfo> auto& info) {
    io(info.node);
    io(info.workspace);
    io(info.bytes);
}

template <class Io> void fields(Io& io, either<WorkspaceFailure> auto& failure) {
    io(failure.node);
    io(failure.message);
}

// The first byte of every message says what it is, so that bytes of one
// message read as another are refused rather than misread. (The layout before
// QDataStream used 0xA1..0xA5: a rank of that build refuses these outright.)
enum class Marker : quint8 {
    request = 0xB1,
    result = 0xB2,
    setup = 0xB3,
    info = 0xB4,
    failure = 0xB5,
};

template <class Message> struct Kind;
template <> struct Kind<RunRequest> {
    static constexpr Marker marker = Marker::request;
    static constexpr const char* name = "run";
};
template <> struct Kind<RunResult> {
    static constexpr Marker marker = Marker::result;
    static constexpr const char* name = "result";
};
template <> struct Kind<WorkerSetup> {
    static constexpr Marker marker = Marker::setup;
    static constexpr const char* name = "setup";
};
template <> struct Kind<WorkspaceInfo> {
    static constexpr Marker marker = Marker::info;
    static constexpr const char* name = "workspace ready";
};
template <> struct Kind<WorkspaceFailure> {
    static constexpr Marker marker = Marker::failure;
    static constexpr const char* name = "workspace failed";
};

// Both ends read and write the same stream format, whatever Qt's default.
void configure(QDataStream& stream) {
    stream.setVersion(QDataStream::Qt_6_0);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream.setFloatingPointPrecision(QDataStream::DoublePrecision);
}

// The fewest bytes one item of a list takes, so that a damaged count cannot
// make the reader reserve gigabytes before it finds the message short.
template <class T> constexpr qint64 leastBytes() {
    if constexpr (std::is_arithmetic_v<T>)
        return qint64(sizeof(T));
    else
        return 1;
}

class Writer {
  public:
    explicit Writer(Marker marker) : stream(&out, QIODevice::WriteOnly) {
        configure(stream);
        stream << quint8(marker) << transportProtocol;
    }
    void operator()(bool flag) { stream << quint8(flag ? 1 : 0); }
    void operator()(const QString& text) { stream << text; }
    template <class T> void operator()(const std::vector<T>& list) {
        if (list.size() > std::numeric_limits<quint32>::max())
            throw FitError(
                QStringLiteral("A list of %1 items is too long for a message.").arg(list.size()));
        stream << quint32(list.size());
        for (const T& item : list)
            (*this)(item);
    }
    template <class T> void operator()(const T& value) {
        if constexpr (std::is_arithmetic_v<T>)
            stream << value;
        else
            fields(*this, value);
    }
    template <class E> void choice(E value, E) { stream << quint8(value); }
    template <class T> void notNegative(T value, const char*) { (*this)(value); }
    QByteArray bytes() const { return out; }

  private:
    QByteArray out;
    QDataStream stream;
};

class Reader {
  public:
    Reader(const QByteArray& bytes, Marker marker, const char* message)
        : stream(bytes), what(message) {
        configure(stream);
        quint8 kind = 0;
        read(kind);
        if (kind != quint8(marker))
            fail("it holds another kind of message");
        quint16 protocol = 0;
        read(protocol);
        if (protocol != transportProtocol)
            fail(QStringLiteral("it is of transport protocol %1 and this rank speaks %2, so the "
                                "nodes run different builds of fitmara")
                     .arg(protocol)
                     .arg(transportProtocol));
    }
    void operator()(bool& flag) {
        quint8 v = 0;
        read(v);
        if (v > 1)
            fail("a flag is neither 0 nor 1");
        flag = v == 1;
    }
    void operator()(QString& text) { read(text); }
    template <class T> void operator()(std::vector<T>& list) {
        quint32 n = 0;
        read(n);
        if (qint64(n) > stream.device()->bytesAvailable() / leastBytes<T>())
            fail("a list is longer than the message");
        list.clear();
        list.reserve(n);
        for (quint32 k = 0; k < n; ++k) {
            T item{};
            (*this)(item);
            list.push_back(std::move(item));
        }
    }
    template <class T> void operator()(T& value) {
        if constexpr (std::is_arithmetic_v<T>)
            read(value);
        else
            fields(*this, value);
    }
    template <class E> void choice(E& value, E last) {
        quint8 v = 0;
        read(v);
        if (v > quint8(last))
            fail("a value is of an unknown kind");
        value = E(v);
    }
    template <class T> void notNegative(T& value, const char* why) {
        read(value);
        if (value < 0)
            fail(why);
    }
    void end() {
        if (!stream.atEnd())
            fail("bytes follow its end");
    }

  private:
    template <class T> void read(T& value) {
        stream >> value;
        switch (stream.status()) {
        case QDataStream::Ok:
            return;
        case QDataStream::ReadPastEnd:
            fail("it ends too early");
        default:
            fail("it holds a damaged value");
        }
    }
    [[noreturn]] void fail(const char* why) const { fail(QLatin1String(why)); }
    [[noreturn]] void fail(const QString& why) const {
        throw FitError(QStringLiteral("A %1 message from another rank cannot be read: %2.")
                           .arg(QLatin1String(what), why));
    }

    QDataStream stream;
    const char* what;
};

template <class Message> QByteArray encoded(const Message& message) {
    Writer writer(Kind<Message>::marker);
    fields(writer, message);
    return writer.bytes();
}

template <class Message> Message decoded(const QByteArray& bytes) {
    Reader reader(bytes, Kind<Message>::marker, Kind<Message>::name);
    Message message;
    fields(reader, message);
    reader.end();
    return message;
}

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
    return encoded(request);
}
QByteArray encode(const RunResult& result) {
    return encoded(result);
}
QByteArray encode(const WorkerSetup& setup) {
    return encoded(setup);
}
QByteArray encode(const WorkspaceInfo& info) {
    return encoded(info);
}
QByteArray encode(const WorkspaceFailure& failure) {
    return encoded(failure);
}

RunRequest decodeRunRequest(const QByteArray& bytes) {
    return decoded<RunRequest>(bytes);
}
RunResult decodeRunResult(const QByteArray& bytes) {
    return decoded<RunResult>(bytes);
}
WorkerSetup decodeSetup(const QByteArray& bytes) {
    return decoded<WorkerSetup>(bytes);
}
WorkspaceInfo decodeWorkspaceInfo(const QByteArray& bytes) {
    return decoded<WorkspaceInfo>(bytes);
}
WorkspaceFailure decodeWorkspaceFailure(const QByteArray& bytes) {
    return decoded<WorkspaceFailure>(bytes);
}
