// Throughput of the client's side of the wire: encoding requests, compressing
// one turn's requests, and turning the server's compressed alert stream back
// into frames.
//
// The server stream is made by the server's own code (synthetic market, alert
// batches and frame deflater), batch by batch at the server's shortest turn,
// so its compression ratio and block structure are the ones a client really
// sees at a high alert rate.
#include "AlertBatch.h"
#include "AlertSource.h"
#include "ServerCompression.h"
#include "SyntheticMarket.h"
#include "TalkWithServer.h"
#include "ZLibStreams.h"

#include <QTime>
#include <QtEndian>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>

namespace {

// What one socket read typically hands over.
constexpr qsizetype PieceSize = 4096;
// The message identifier of the standing listen request in the made-up stream.
constexpr qint32 ListenId = 2;
// The stream is recorded as if the server sent this many alerts per second...
constexpr double StreamRate = 60000;
// ...in batches at the server's shortest interval between two turns...
constexpr qint64 BatchIntervalMs = 5;
// ...until it holds at least this many alerts.
constexpr qsizetype StreamAlerts = 20000;
constexpr qsizetype MaxAlertsPerBatch = 5000;
constexpr quint64 StreamSeed = 1;
constexpr qint32 PointsWid = 20;

[[noreturn]] void Fatal(const char* Text)
{
    std::fprintf(stderr, "WireFormatBench: %s\n", Text);
    std::exit(2);
}

void AppendInt32(QByteArray& Out, qint32 Value)
{
    char bytes[4];
    qToLittleEndian(Value, bytes);
    Out.append(bytes, 4);
}

void AppendFrame(QByteArray& Out, qint32 Id, QByteArrayView Payload)
{
    AppendInt32(Out, Id);
    AppendInt32(Out, qint32(Payload.size()));
    Out.append(Payload);
}

TMessageToServer LoginMessage()
{
    return BuildMessage("command", "login", "username", "trader", "password", "secret",
                        "session_id", QByteArray("0123456789abcdef0123456789abcdef"));
}

TMessageToServer PingMessage()
{
    return BuildMessage("command", "ping", "response", '1');
}

// Everything a new conversation queues before its first flush: login, the
// standing listen request, one category (plus the main one) and a ping.
QList<QByteArray> LoginTurnRequests()
{
    return {
        EncodeMessage(LoginMessage(), 1),
        EncodeMessage(BuildMessage("command", "listen_for_alerts"), 2),
        EncodeMessage(BuildMessage("command", "add_alert_category", "category", "NYSE-extra"), 0),
        EncodeMessage(BuildMessage("command", "add_alert_category", "category", "BRENIK-main"), 0),
        EncodeMessage(PingMessage(), 3),
    };
}

struct TServerStream {
    QByteArray Plain;      // the frames back to back
    QByteArray Compressed; // what the server puts on the wire for them
    qsizetype Alerts = 0;
};

const TServerStream& AlertStream()
{
    static const TServerStream stream = [] {
        TServerStream s;
        TSyntheticMarket market(StreamSeed, StreamRate, PointsWid, 0);
        TAlertBatch batch;
        TFrameDeflater deflater;
        QByteArray frames;
        const QTime opening(9, 30, 0);
        for (qint64 now = BatchIntervalMs; s.Alerts < StreamAlerts; now += BatchIntervalMs) {
            batch.Clear();
            market.TakeDue(TAlertClock{now, opening.addMSecs(int(now))}, MaxAlertsPerBatch, batch);
            frames.clear();
            for (qsizetype i = 0; i < batch.Count(); ++i)
                AppendFrame(frames, ListenId, batch.Text(i));
            s.Alerts += batch.Count();
            s.Plain += frames;
            if (!frames.isEmpty() && !deflater.CompressBlock(frames.constData(), frames.size(), s.Compressed))
                Fatal("the server's deflater failed while recording the stream");
        }
        return s;
    }();
    return stream;
}

void AddStreamCounters(benchmark::State& State, const TServerStream& Stream)
{
    State.counters["alerts"] = double(Stream.Alerts);
    State.counters["payload_avg"] =
        double(Stream.Plain.size() - Stream.Alerts * FrameHeaderSize) / double(Stream.Alerts);
    State.counters["ratio"] = double(Stream.Plain.size()) / double(Stream.Compressed.size());
}

void BM_EncodeLogin(benchmark::State& State)
{
    const TMessageToServer message = LoginMessage();
    qint64 bytes = 0;
    for (auto _ : State) {
        QByteArray encoded = EncodeMessage(message, 1);
        bytes += encoded.size();
        benchmark::DoNotOptimize(encoded.data());
    }
    State.SetItemsProcessed(State.iterations());
    State.SetBytesProcessed(bytes);
}
BENCHMARK(BM_EncodeLogin);

void BM_EncodePing(benchmark::State& State)
{
    const TMessageToServer message = PingMessage();
    qint64 bytes = 0;
    for (auto _ : State) {
        QByteArray encoded = EncodeMessage(message, 5);
        bytes += encoded.size();
        benchmark::DoNotOptimize(encoded.data());
    }
    State.SetItemsProcessed(State.iterations());
    State.SetBytesProcessed(bytes);
}
BENCHMARK(BM_EncodePing);

// The ping of the session manager's tick: building the message included.
void BM_BuildAndEncodePing(benchmark::State& State)
{
    qint32 id = 5;
    for (auto _ : State) {
        QByteArray encoded = EncodeMessage(PingMessage(), id++);
        benchmark::DoNotOptimize(encoded.data());
    }
    State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_BuildAndEncodePing);

// Cutting frames out of already decompressed bytes that arrive 4 KiB at a
// time, as the conversation does after each read.
void BM_ExtractFrames(benchmark::State& State)
{
    const TServerStream& stream = AlertStream();
    qint64 frames = 0;
    for (auto _ : State) {
        QByteArray buffer;
        for (qsizetype at = 0; at < stream.Plain.size(); at += PieceSize) {
            buffer.append(stream.Plain.constData() + at, std::min(PieceSize, stream.Plain.size() - at));
            const QList<TFrame> cut = ExtractFrames(buffer);
            frames += cut.size();
            benchmark::DoNotOptimize(cut.constData());
        }
        if (!buffer.isEmpty())
            Fatal("ExtractFrames left bytes of a complete stream behind");
    }
    if (frames != stream.Alerts * State.iterations())
        Fatal("ExtractFrames cut a different number of frames than were recorded");
    State.SetItemsProcessed(frames);
    State.SetBytesProcessed(stream.Plain.size() * State.iterations());
    AddStreamCounters(State, stream);
}
BENCHMARK(BM_ExtractFrames)->Unit(benchmark::kMillisecond);

// A new conversation's first turn: a fresh compressor (its zlib state
// included), the login sequence written request by request, one sync flush.
void BM_CompressLoginTurn(benchmark::State& State)
{
    const QList<QByteArray> requests = LoginTurnRequests();
    qsizetype plain = 0;
    for (const QByteArray& request : requests)
        plain += request.size();
    qint64 compressed = 0;
    for (auto _ : State) {
        TZLibCompressor compressor;
        for (const QByteArray& request : requests)
            compressor.Write(request);
        compressor.Flush();
        compressed += compressor.Output.size();
        benchmark::DoNotOptimize(compressor.Output.data());
    }
    State.SetItemsProcessed(State.iterations() * requests.size());
    State.SetBytesProcessed(State.iterations() * plain);
    State.counters["out_bytes"] = double(compressed) / double(State.iterations());
}
BENCHMARK(BM_CompressLoginTurn);

// A steady-state turn on a long-lived stream: one ping, one sync flush.
void BM_CompressPingTurn(benchmark::State& State)
{
    const TMessageToServer ping = PingMessage();
    TZLibCompressor compressor;
    qint32 id = 3;
    qint64 plain = 0;
    qint64 compressed = 0;
    for (auto _ : State) {
        const QByteArray request = EncodeMessage(ping, id++);
        plain += request.size();
        compressor.Write(request);
        compressor.Flush();
        compressed += compressor.Output.size();
        compressor.Output.clear();
    }
    State.SetItemsProcessed(State.iterations());
    State.SetBytesProcessed(plain);
    State.counters["out_bytes"] = double(compressed) / double(State.iterations());
}
BENCHMARK(BM_CompressPingTurn);

// Inflating the server's stream as it arrives, 4 KiB at a time, without the
// frame cutting (the frame buffer is emptied after every piece).
void BM_DecompressAlertStream(benchmark::State& State)
{
    const TServerStream& stream = AlertStream();
    qint64 out = 0;
    for (auto _ : State) {
        TZLibDecompressor decompressor;
        for (qsizetype at = 0; at < stream.Compressed.size(); at += PieceSize) {
            decompressor.Write(QByteArray::fromRawData(stream.Compressed.constData() + at,
                                                       std::min(PieceSize, stream.Compressed.size() - at)));
            out += decompressor.Output.size();
            decompressor.Output.clear();
        }
    }
    if (out != stream.Plain.size() * State.iterations())
        Fatal("the decompressor gave back a different number of bytes than were recorded");
    State.SetItemsProcessed(State.iterations() * stream.Alerts);
    State.SetBytesProcessed(State.iterations() * stream.Compressed.size());
    State.counters["plain_bytes_per_second"] = benchmark::Counter(double(out), benchmark::Counter::kIsRate);
    AddStreamCounters(State, stream);
}
BENCHMARK(BM_DecompressAlertStream)->Unit(benchmark::kMillisecond);

// The whole receive path of one conversation: inflate each 4 KiB piece into
// the frame buffer and cut the complete frames out of it.
void BM_ReceiveAlertStream(benchmark::State& State)
{
    const TServerStream& stream = AlertStream();
    qint64 alerts = 0;
    for (auto _ : State) {
        TZLibDecompressor decompressor;
        for (qsizetype at = 0; at < stream.Compressed.size(); at += PieceSize) {
            decompressor.Write(QByteArray::fromRawData(stream.Compressed.constData() + at,
                                                       std::min(PieceSize, stream.Compressed.size() - at)));
            for (const TFrame& frame : ExtractFrames(decompressor.Output))
                alerts += frame.Id == ListenId ? 1 : 0;
        }
    }
    if (alerts != stream.Alerts * State.iterations())
        Fatal("the receive path delivered a different number of alerts than were recorded");
    State.SetItemsProcessed(alerts);
    State.SetBytesProcessed(State.iterations() * stream.Compressed.size());
    State.counters["plain_bytes_per_second"] =
        benchmark::Counter(double(stream.Plain.size() * State.iterations()), benchmark::Counter::kIsRate);
    AddStreamCounters(State, stream);
}
BENCHMARK(BM_ReceiveAlertStream)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
