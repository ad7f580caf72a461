// The local alert server: its pieces on their own (mode switch and request
// readers, alert texts, sources driven by a moved clock, options) and the
// whole server over real loopback sockets, spoken to byte by byte by a small
// raw client that builds its requests and reads the answer frames by hand -
// so the server is checked against the wire layout itself, not against the
// client's own encoder.
#include "AlertBatch.h"
#include "AlertServer.h"
#include "ClientSession.h"
#include "ReplaySource.h"
#include "RequestDecoder.h"
#include "ServerOptions.h"
#include "SyntheticMarket.h"
#include "TalkWithServer.h"
#include "UrlEncode.h"
#include "ZLibStreams.h"

#include "TestSupport.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>
#include <zlib.h>
#include <cmath>
#include <map>

using TestSupport::WaitFor;

namespace {

const QByteArray ModeSwitch = QByteArrayLiteral("command=set_output&mode=zlib\r\ncommand=set_input&mode=zlib\r\n");

// ---------------------------------------------------------------------------
// Request bytes, built by hand from the layout

QByteArray Le32(qint32 Value)
{
    char bytes[4];
    qToLittleEndian<qint32>(Value, bytes);
    return QByteArray(bytes, 4);
}

QByteArray Str(const QByteArray& Text)
{
    return Le32(qint32(Text.size())) + Text;
}

using TPairs = QList<std::pair<QByteArray, QByteArray>>;

QByteArray Request(qint32 Id, const TPairs& Pairs)
{
    QByteArray bytes;
    if (Id > 0)
        bytes += Str("message_id") + Str(QByteArray::number(Id));
    for (const auto& [key, value] : Pairs)
        bytes += Str(key) + Str(value);
    return bytes + Le32(0);
}

QByteArray Login(qint32 Id, const QByteArray& User, const QByteArray& Password, const QByteArray& SessionId = {})
{
    return Request(Id, {{"command", "login"}, {"username", User}, {"password", Password}, {"session_id", SessionId}});
}

QByteArray Ping(qint32 Id)
{
    return Request(Id, {{"command", "ping"}, {"response", "1"}});
}

QByteArray Listen(qint32 Id)
{
    return Request(Id, {{"command", "listen_for_alerts"}});
}

QByteArray AddCategory(const QByteArray& Category)
{
    return Request(0, {{"command", "add_alert_category"}, {"category", Category}});
}

// One whole zlib stream with a sync flush at the end, as a client sends it.
QByteArray CompressWhole(const QByteArray& Plain)
{
    z_stream stream{};
    deflateInit(&stream, Z_DEFAULT_COMPRESSION);
    QByteArray out(qsizetype(deflateBound(&stream, uLong(Plain.size())) + 64), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Plain.constData()));
    stream.avail_in = uInt(Plain.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_SYNC_FLUSH);
    out.resize(out.size() - qsizetype(stream.avail_out));
    deflateEnd(&stream);
    return out;
}

// ---------------------------------------------------------------------------
// A raw client on a real loopback socket

struct TSeenFrame {
    qint32 Id = 0;
    QByteArray Payload;
};

class TRawClient {
public:
    explicit TRawClient(quint16 Port)
    {
        deflateInit(&FDeflate, Z_DEFAULT_COMPRESSION);
        inflateInit(&FInflate);
        QObject::connect(&Socket, &QTcpSocket::readyRead, [this] { Pump(); });
        QObject::connect(&Socket, &QTcpSocket::disconnected, [this] {
            Pump();
            Disconnected = true;
        });
        Socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        Socket.connectToHost(QHostAddress(QHostAddress::LocalHost), Port);
    }
    ~TRawClient()
    {
        QObject::disconnect(&Socket, nullptr, nullptr, nullptr);
        deflateEnd(&FDeflate);
        inflateEnd(&FInflate);
    }
    TRawClient(const TRawClient&) = delete;
    TRawClient& operator=(const TRawClient&) = delete;

    bool WaitConnected() { return WaitFor([this] { return Socket.state() == QAbstractSocket::ConnectedState; }); }

    void SendRaw(const QByteArray& Bytes)
    {
        Socket.write(Bytes);
        Socket.flush();
    }
    // Compresses Plain onto the client's one stream and ends the block at a
    // sync-flush point.
    QByteArray Compress(const QByteArray& Plain)
    {
        QByteArray out(qsizetype(deflateBound(&FDeflate, uLong(Plain.size())) + 64), '\0');
        FDeflate.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Plain.constData()));
        FDeflate.avail_in = uInt(Plain.size());
        FDeflate.next_out = reinterpret_cast<Bytef*>(out.data());
        FDeflate.avail_out = uInt(out.size());
        deflate(&FDeflate, Z_SYNC_FLUSH);
        out.resize(out.size() - qsizetype(FDeflate.avail_out));
        return out;
    }
    void Send(const QByteArray& Plain) { SendRaw(Compress(Plain)); }
    void Open(const QByteArray& Plain) { SendRaw(ModeSwitch + Compress(Plain)); }

    bool WaitForFrames(qsizetype Count, int TimeoutMs = 5000)
    {
        return WaitFor([&] { return Frames.size() >= Count || InflateResult < 0; }, TimeoutMs)
               && Frames.size() >= Count;
    }
    bool WaitForDisconnect(int TimeoutMs = 5000)
    {
        return WaitFor([this] { return Disconnected; }, TimeoutMs);
    }
    QList<TSeenFrame> FramesFor(qint32 Id) const
    {
        QList<TSeenFrame> result;
        for (const TSeenFrame& frame : Frames)
            if (frame.Id == Id)
                result.append(frame);
        return result;
    }

    void Pump()
    {
        if (!Socket.isOpen())
            return;
        const QByteArray bytes = Socket.readAll();
        if (bytes.isEmpty())
            return;
        Raw += bytes;
        if (InflateResult < 0)
            return;
        FInflate.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.constData()));
        FInflate.avail_in = uInt(bytes.size());
        char chunk[16384];
        do {
            FInflate.next_out = reinterpret_cast<Bytef*>(chunk);
            FInflate.avail_out = sizeof chunk;
            const int result = inflate(&FInflate, Z_SYNC_FLUSH);
            Plain.append(chunk, qsizetype(sizeof chunk - FInflate.avail_out));
            if (result < 0 && result != Z_BUF_ERROR) {
                InflateResult = result;
                break;
            }
        } while (FInflate.avail_in > 0 || FInflate.avail_out == 0);
        // Cut frames by hand: id, length, payload.
        while (Plain.size() - FCut >= 8) {
            const qint32 id = qFromLittleEndian<qint32>(Plain.constData() + FCut);
            const qint32 length = qFromLittleEndian<qint32>(Plain.constData() + FCut + 4);
            if (length < 0 || Plain.size() - FCut - 8 < length)
                break;
            Frames.append(TSeenFrame{id, Plain.mid(FCut + 8, length)});
            FCut += 8 + length;
        }
    }

    QTcpSocket Socket;
    QByteArray Raw;   // every byte received
    QByteArray Plain; // every byte inflated
    QList<TSeenFrame> Frames;
    int InflateResult = Z_OK;
    bool Disconnected = false;

private:
    z_stream FDeflate{};
    z_stream FInflate{};
    qsizetype FCut = 0;
};

// Splits an alert text into its category and its decoded fields.
struct TParsedAlert {
    QByteArray Category;
    QByteArray FieldLine;
    std::map<QByteArray, QByteArray> Fields;
    QList<QByteArray> Keys; // in order
};

TParsedAlert ParseAlert(const QByteArray& Text)
{
    TParsedAlert alert;
    const qsizetype lineEnd = Text.indexOf("\r\n");
    alert.Category = Text.left(lineEnd);
    alert.FieldLine = lineEnd < 0 ? QByteArray() : Text.mid(lineEnd + 2);
    for (const QByteArray& pair : alert.FieldLine.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals < 0)
            continue;
        const QByteArray key = UrlDecode(pair.left(equals));
        alert.Fields[key] = UrlDecode(pair.mid(equals + 1));
        alert.Keys.append(key);
    }
    return alert;
}

// A number as the client reads it: "." as decimal separator, nothing else.
bool IsPlainNumber(const QByteArray& Text)
{
    static const QRegularExpression pattern(QStringLiteral("^-?[0-9]+(\\.[0-9]+)?$"));
    return pattern.match(QString::fromLatin1(Text)).hasMatch();
}

// ---------------------------------------------------------------------------
// Fixture: servers in-process, log lines collected

class AlertServerTest : public ::testing::Test {
protected:
    std::unique_ptr<TAlertServer> StartServer(TServerOptions Options = {})
    {
        Options.ListenAddress = QHostAddress(QHostAddress::LocalHost);
        Options.Port = 0;
        auto server = std::make_unique<TAlertServer>(Options);
        server->OnLog = [this](const QString& Line) { LogLines.append(Line); };
        EXPECT_TRUE(server->Listen()) << server->ErrorText().toStdString();
        EXPECT_NE(server->Port(), 0);
        return server;
    }
    bool LogHas(const QString& Text) const
    {
        for (const QString& line : LogLines)
            if (line.contains(Text))
                return true;
        return false;
    }
    bool WaitForLog(const QString& Text, int TimeoutMs = 5000)
    {
        return WaitFor([&] { return LogHas(Text); }, TimeoutMs);
    }
    QString WriteFile(const QString& Name, const QByteArray& Content)
    {
        const QString path = Dir.filePath(Name);
        EXPECT_TRUE(TestSupport::WriteFile(path, Content)) << path.toStdString();
        return path;
    }

    QTemporaryDir Dir;
    QStringList LogLines;
};

} // namespace

// ===========================================================================
// Mode switch

TEST(ModeSwitchReaderTest, AcceptsTheSwitchCutAtEveryPoint)
{
    const QByteArray stream = ModeSwitch + QByteArray("\x78\x9C", 2);
    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        TModeSwitchReader reader;
        qsizetype consumed = 0;
        TModeSwitchReader::TResult result = reader.Feed(stream.constData(), cut, consumed);
        qsizetype offset = consumed;
        if (result == TModeSwitchReader::TResult::NeedMore) {
            ASSERT_EQ(consumed, cut);
            result = reader.Feed(stream.constData() + cut, stream.size() - cut, consumed);
            offset = cut + consumed;
        }
        ASSERT_EQ(result, TModeSwitchReader::TResult::Done);
        EXPECT_EQ(offset, ModeSwitch.size()) << "the compressed stream starts right after the second line";
    }
}

TEST(ModeSwitchReaderTest, RejectsAnythingElse)
{
    const struct {
        QByteArray Input;
        const char* ErrorPart;
    } cases[] = {
        {"GET / HTTP/1.1\r\n", "not the mode switch: \"GET / HTTP/1.1\""},
        {"command=set_input&mode=zlib\r\n", "set_input"}, // input switched before output
        {"command=set_output&mode=gzip\r\n", "gzip"},
        {"command=set_output&mode=zlib\r\ncommand=set_output&mode=zlib\r\n", "set_output"},
        {"command=set_output&mode=zlib&level=9\r\n", "level"},
        {QByteArray("\x78\x9C\x01", 3), "\\x9c"},
        {QByteArray(300, 'c'), "longer than 256 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Input.toStdString());
        TModeSwitchReader reader;
        qsizetype consumed = 0;
        EXPECT_EQ(reader.Feed(c.Input.constData(), c.Input.size(), consumed), TModeSwitchReader::TResult::Invalid);
        EXPECT_TRUE(reader.Error().contains(QLatin1String(c.ErrorPart))) << reader.Error().toStdString();
        // It stays invalid.
        EXPECT_EQ(reader.Feed(ModeSwitch.constData(), ModeSwitch.size(), consumed),
                  TModeSwitchReader::TResult::Invalid);
    }
}

// ===========================================================================
// Requests

TEST(RequestDecoderTest, DecodesThePingExampleFedInAnyPieces)
{
    // The documented 59 bytes of a ping with identifier 5.
    const QByteArray ping = QByteArray::fromHex("0A000000") + "message_id" + QByteArray::fromHex("01000000") + "5"
                            + QByteArray::fromHex("07000000") + "command" + QByteArray::fromHex("04000000") + "ping"
                            + QByteArray::fromHex("08000000") + "response" + QByteArray::fromHex("01000000") + "1"
                            + QByteArray::fromHex("00000000");
    ASSERT_EQ(ping.size(), 59);
    for (qsizetype piece = 1; piece <= ping.size(); ++piece) {
        SCOPED_TRACE(piece);
        TRequestDecoder decoder;
        QList<TDecodedRequest> requests;
        for (qsizetype at = 0; at < ping.size(); at += piece)
            ASSERT_TRUE(decoder.Feed(ping.constData() + at, qMin(piece, ping.size() - at), [&](TDecodedRequest& r) {
                requests.append(r);
                return true;
            }));
        ASSERT_EQ(requests.size(), 1);
        EXPECT_EQ(requests[0].MessageId, 5);
        EXPECT_EQ(requests[0].Value("command"), "ping");
        EXPECT_EQ(requests[0].Value("response"), "1");
        EXPECT_EQ(requests[0].Pairs.size(), 3);
        EXPECT_EQ(decoder.HeldBytes(), 0);
    }
}

TEST(RequestDecoderTest, EmptyValuesRepeatedKeysAndMessageIds)
{
    const QByteArray stream = Login(12, "ann", "pw", "") + Request(0, {{"a", "1"}, {"a", "2"}})
                              + Request(0, {{"message_id", "abc"}, {"command", "ping"}})
                              + Request(0, {{"message_id", "0"}}) + Request(0, {{"message_id", "2147483648"}})
                              + Request(0, {{"command", "x"}, {"message_id", "7"}});
    TRequestDecoder decoder;
    QList<TDecodedRequest> requests;
    ASSERT_TRUE(decoder.Feed(stream.constData(), stream.size(), [&](TDecodedRequest& r) {
        requests.append(r);
        return true;
    }));
    ASSERT_EQ(requests.size(), 6);
    EXPECT_EQ(requests[0].MessageId, 12);
    EXPECT_EQ(requests[0].Value("session_id"), "");
    EXPECT_EQ(requests[0].Pairs.last().Key, "session_id") << "an empty value does not end the request";
    EXPECT_EQ(requests[1].Pairs.size(), 2);
    EXPECT_EQ(requests[1].Value("a"), "1");
    EXPECT_EQ(requests[1].MessageId, 0);
    for (int i : {2, 3, 4}) {
        EXPECT_TRUE(requests[i].InvalidMessageId) << i;
        EXPECT_EQ(requests[i].MessageId, 0) << i;
    }
    EXPECT_FALSE(requests[5].InvalidMessageId) << "message_id counts only as the first pair";
    EXPECT_EQ(requests[5].MessageId, 0);
}

TEST(RequestDecoderTest, RejectsLengthsAndSizesBeyondTheLimits)
{
    QByteArray manyPairs;
    for (qsizetype i = 0; i <= TRequestDecoder::MaxPairs; ++i)
        manyPairs += Str("k") + Str("v");
    QByteArray bigRequest;
    for (int i = 0; i < 20; ++i)
        bigRequest += Str("k") + Str(QByteArray(TRequestDecoder::MaxStringLength, 'x'));
    const struct {
        const char* Name;
        QByteArray Stream;
        const char* ErrorPart;
    } cases[] = {
        {"negative key length", Ping(1) + Le32(-5), "negative string length -5"},
        {"negative value length", Str("command") + Le32(-1), "negative string length -1"},
        {"absurd length", Le32(0x7FFFFFFF), "string length 2147483647 exceeds"},
        {"too many pairs", manyPairs, "more than 256 pairs"},
        {"request too big", bigRequest, "request exceeds"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRequestDecoder decoder;
        int handed = 0;
        EXPECT_FALSE(decoder.Feed(c.Stream.constData(), c.Stream.size(), [&](TDecodedRequest&) {
            ++handed;
            return true;
        }));
        EXPECT_TRUE(decoder.Error().contains(QLatin1String(c.ErrorPart))) << decoder.Error().toStdString();
        EXPECT_EQ(decoder.HeldBytes(), 0) << "a failed decoder lets go of what it held";
        if (QByteArray(c.Name) == "negative key length") {
            EXPECT_EQ(handed, 1) << "the ping before the fault is still handed over";
        }
    }
}

// ===========================================================================
// Alert texts

TEST(AlertBatchTest, PercentEncodesWhatTheFieldLineCannotCarry)
{
    const struct {
        QByteArray Raw;
        QByteArray Encoded;
    } cases[] = {
        {"ABC", "ABC"},
        {"R&D", "R%26D"},
        {"a=b", "a%3Db"},
        {"50%", "50%25"},
        {"a b+c", "a b+c"},
        {QByteArray("\x00\x1F\x7F\xC3\xA9", 5), "%00%1F%7F%C3%A9"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Encoded.toStdString());
        EXPECT_EQ(PercentEncode(c.Raw), c.Encoded);
        EXPECT_EQ(UrlDecode(PercentEncode(c.Raw)), c.Raw) << "the client's decoder gets the bytes back";
    }
}

TEST(AlertBatchTest, WritesNumbersWithAPointWhateverTheLocale)
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German)); // a comma locale must change nothing
    const struct {
        double Value;
        int Decimals;
        QByteArray Text;
    } cases[] = {
        {10.5, 2, "10.50"},       {0, 2, "0.00"},          {-0.004, 2, "0.00"}, {-1.5, 2, "-1.50"},
        {123.456, 2, "123.46"},   {0.125, 1, "0.1"},       {7, 0, "7"},         {-0.25, 2, "-0.25"},
        {1e20, 2, "100000000000000000000.00"},             {std::nan(""), 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text.toStdString());
        QByteArray out;
        AppendDecimal(out, c.Value, c.Decimals);
        EXPECT_EQ(out, c.Text);
    }
    QLocale::setDefault(saved);
}

TEST(AlertBatchTest, BuildsCategoryLineAndFieldLine)
{
    TAlertBatch batch;
    const int main = batch.CategoryIndex("BRENIK-main");
    const int other = batch.CategoryIndex("other");
    EXPECT_EQ(batch.CategoryIndex("BRENIK-main"), main);
    batch.BeginAlert(main);
    batch.AppendField("w_id", qint64(1));
    batch.AppendField("symbol", "R&D");
    batch.AppendDecimalField("last", 10.5);
    batch.AppendDecimalField("prev_close", std::nan(""));
    batch.EndAlert();
    batch.AddEncodedAlert(other, "w_id=-3&x=%41");
    ASSERT_EQ(batch.Count(), 2);
    EXPECT_EQ(batch.TextCopy(0), "BRENIK-main\r\nw_id=1&symbol=R%26D&last=10.50&prev_close=");
    EXPECT_EQ(batch.TextCopy(1), "other\r\nw_id=-3&x=%41");
    EXPECT_EQ(batch.Entries()[1].Category, other);
    batch.Clear();
    EXPECT_EQ(batch.Count(), 0);
    EXPECT_EQ(batch.Categories().size(), 2) << "categories survive a Clear";
}

// ===========================================================================
// Sources, driven by a moved clock

TEST(RatePacerTest, SpreadsAlertsAndSkipsWhatFellTooFarBehind)
{
    TRatePacer pacer(100, 1000); // one every 10 ms from t = 1000
    EXPECT_EQ(pacer.Due(999, 1000), 0);
    EXPECT_EQ(pacer.NextDueMs(), 1010);
    EXPECT_EQ(pacer.Due(1055, 1000), 5);
    EXPECT_EQ(pacer.Due(1055, 3), 3) << "at most the count asked for";
    pacer.Sent(3);
    EXPECT_EQ(pacer.Due(1055, 1000), 2);
    pacer.Sent(2);
    EXPECT_EQ(pacer.NextDueMs(), 1060);
    // Ten seconds later only one second's worth is still due.
    EXPECT_EQ(pacer.Due(11055, 100000), 100);
    EXPECT_EQ(TRatePacer(0).NextDueMs(), -1);
    EXPECT_EQ(TRatePacer(0).Due(100000, 10), 0);
}

TEST(ReplaySourceTest, ParsesTheLineGrammar)
{
    QString error;
    const auto lines = TReplaySource::ParseText("# comment\r\n"
                                                "\n"
                                                "250\tBRENIK-main\tw_id=1&symbol=A\r\n"
                                                "BRENIK-main\tw_id=2\n"
                                                "0\tother\t\n",
                                                error);
    ASSERT_TRUE(lines) << error.toStdString();
    const QList<TReplaySource::TLine> expected = {
        {250, "BRENIK-main", "w_id=1&symbol=A"},
        {-1, "BRENIK-main", "w_id=2"},
        {0, "other", ""},
    };
    EXPECT_EQ(*lines, expected);

    const struct {
        QByteArray Text;
        const char* ErrorPart;
    } bad[] = {
        {"BRENIK-main w_id=1\n", "line 1: expected [DELAY<TAB>]CATEGORY<TAB>FIELDS"},
        {"\n1\t2\t3\t4\n", "line 2: too many TABs"},
        {"x\tBRENIK-main\tw_id=1\n", "line 1: the delay \"x\""},
        {"-5\tBRENIK-main\tw_id=1\n", "the delay \"-5\""},
        {"86400001\tBRENIK-main\tw_id=1\n", "the delay \"86400001\""},
        {"10\t\tw_id=1\n", "line 1: empty category"},
        {"# only a comment\n\n", "no alerts"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.Text.toStdString());
        QString message;
        EXPECT_FALSE(TReplaySource::ParseText(c.Text, message));
        EXPECT_TRUE(message.contains(QLatin1String(c.ErrorPart))) << message.toStdString();
    }
}

TEST(ReplaySourceTest, SendsLinesAtTheirDelaysOrTheRateThenStopsOrLoops)
{
    const QList<TReplaySource::TLine> lines = {
        {100, "A", "x=1"},
        {-1, "B", "x=2"}, // paced by the rate: 1000 / 10 = 100 ms
        {0, "A", "x=3"},
    };
    for (const bool loop : {false, true}) {
        SCOPED_TRACE(loop);
        TReplaySource source(lines, 10, loop, 0);
        TAlertBatch batch;
        const auto take = [&](qint64 at) {
            batch.Clear();
            source.TakeDue(TAlertClock{at, QTime(9, 30)}, 100, batch);
            QList<QByteArray> texts;
            for (qsizetype i = 0; i < batch.Count(); ++i)
                texts.append(batch.TextCopy(i));
            return texts;
        };
        EXPECT_EQ(source.NextDueMs(), 100);
        EXPECT_TRUE(take(99).isEmpty());
        EXPECT_EQ(take(100), QList<QByteArray>{"A\r\nx=1"});
        EXPECT_TRUE(take(199).isEmpty());
        EXPECT_EQ(take(200), (QList<QByteArray>{"B\r\nx=2", "A\r\nx=3"}));
        if (!loop) {
            EXPECT_TRUE(source.Finished());
            EXPECT_TRUE(take(100000).isEmpty());
        } else {
            EXPECT_FALSE(source.Finished());
            EXPECT_EQ(source.NextDueMs(), 300);
            EXPECT_EQ(take(300), QList<QByteArray>{"A\r\nx=1"});
        }
    }
}

TEST(ReplaySourceTest, ZeroDelaysInALoopComeInBoundedBatches)
{
    TReplaySource source({{0, "A", "x=1"}}, 0, true, 0);
    TAlertBatch batch;
    source.TakeDue(TAlertClock{0, QTime(9, 30)}, 50, batch);
    EXPECT_EQ(batch.Count(), 50) << "an endless burst still stops at the count per turn";
    EXPECT_EQ(source.NextDueMs(), 0);
}

namespace {

QList<QByteArray> RunMarket(TSyntheticMarket& Market, qint64 UntilMs, qint64 StepMs)
{
    QList<QByteArray> texts;
    TAlertBatch batch;
    for (qint64 at = 0; at <= UntilMs; at += StepMs) {
        batch.Clear();
        Market.TakeDue(TAlertClock{at, QTime(9, 31, 5)}, 100000, batch);
        for (qsizetype i = 0; i < batch.Count(); ++i)
            texts.append(batch.TextCopy(i));
    }
    return texts;
}

} // namespace

TEST(SyntheticMarketTest, ProducesEveryKindWithItsFieldsAtTheRate)
{
    TSyntheticMarket market(42, 200, 20);
    const QList<QByteArray> texts = RunMarket(market, 10000, 50);
    // 200 a second for 10 s, and a points list at every full second.
    ASSERT_EQ(texts.size(), 2000 + 10);

    const QList<QByteArray> quickFields = {"w_id", "symbol", "last", "prev_close", "sma_divergence", "time"};
    const QList<QByteArray> bollingerFields = {"w_id", "symbol", "last", "prev_close", "dist_from_bb", "action"};
    QSet<int> kinds;
    QSet<QByteArray> symbols;
    QHash<int, QSet<QByteArray>> listed; // Bollinger window -> symbols added
    for (const QByteArray& text : texts) {
        SCOPED_TRACE(text.toStdString());
        const TParsedAlert alert = ParseAlert(text);
        ASSERT_EQ(alert.Category, "BRENIK-main");
        const int wid = alert.Fields.at("w_id").toInt();
        kinds.insert(wid);
        for (const auto& [key, value] : alert.Fields) {
            if (!key.startsWith("symbol") && key != "time" && key != "action") {
                EXPECT_TRUE(IsPlainNumber(value)) << key.toStdString() << "=" << value.toStdString();
            }
        }
        if (wid == 1 || wid == 2 || wid == 7 || wid == 8) {
            EXPECT_EQ(alert.Keys, quickFields);
            EXPECT_EQ(alert.Fields.at("time"), "09:31:05");
            const double divergence = alert.Fields.at("sma_divergence").toDouble();
            EXPECT_EQ(divergence < 0, wid == 1 || wid == 7) << "down windows get the falling symbols";
            EXPECT_NE(alert.Fields.at("sma_divergence"), "-0.00");
            symbols.insert(alert.Fields.at("symbol"));
        } else if (wid >= 3 && wid <= 6) {
            EXPECT_EQ(alert.Keys, bollingerFields);
            const QByteArray& symbol = alert.Fields.at("symbol");
            if (alert.Fields.at("action") == "delete") {
                EXPECT_TRUE(listed[wid].remove(symbol)) << "only a listed symbol is deleted";
            } else {
                listed[wid].insert(symbol);
            }
            symbols.insert(symbol);
        } else {
            ASSERT_EQ(wid, 20);
            double previous = INFINITY;
            for (int n = 0; n < TSyntheticMarket::PointsListLength; ++n) {
                const QByteArray suffix = QByteArray::number(n);
                ASSERT_TRUE(alert.Fields.count("symbol" + suffix) && alert.Fields.count("last" + suffix));
                const double change = alert.Fields.at("change" + suffix).toDouble();
                EXPECT_LE(change, previous) << "biggest gainers first";
                previous = change;
            }
        }
    }
    EXPECT_EQ(kinds, (QSet<int>{1, 2, 3, 4, 5, 6, 7, 8, 20}));
    EXPECT_GT(symbols.size(), 150) << "a few hundred symbols take part";
    EXPECT_TRUE(symbols.contains("R&D")) << "symbols that need encoding come back whole";
}

TEST(SyntheticMarketTest, ListsTheBiggestLosersWhenAskedTo)
{
    TSyntheticMarket market(42, 200, 20);
    market.SetLosersWid(21);
    int gainerLists = 0, loserLists = 0;
    for (const QByteArray& text : RunMarket(market, 3000, 50)) {
        const TParsedAlert alert = ParseAlert(text);
        const QByteArray wid = alert.Fields.at("w_id");
        if (wid != "20" && wid != "21")
            continue;
        SCOPED_TRACE(text.toStdString());
        (wid == "20" ? gainerLists : loserLists) += 1;
        double previous = wid == "20" ? INFINITY : -INFINITY;
        for (int n = 0; n < TSyntheticMarket::PointsListLength; ++n) {
            const double change = alert.Fields.at("change" + QByteArray::number(n)).toDouble();
            if (wid == "20")
                EXPECT_LE(change, previous) << "biggest gainers first";
            else
                EXPECT_GE(change, previous) << "biggest losers first";
            previous = change;
        }
    }
    EXPECT_EQ(gainerLists, 3);
    EXPECT_EQ(loserLists, 3) << "one list of losers with every list of gainers";
}

TEST(SyntheticMarketTest, TheSeedDecidesTheAlerts)
{
    TSyntheticMarket first(7, 500, 20), again(7, 500, 20), other(8, 500, 20);
    const QList<QByteArray> texts = RunMarket(first, 2000, 10);
    EXPECT_EQ(texts, RunMarket(again, 2000, 10)) << "the same seed and clock give the same alerts";
    EXPECT_NE(texts, RunMarket(other, 2000, 10));
    TSyntheticMarket silent(7, 0, 20);
    EXPECT_TRUE(RunMarket(silent, 5000, 100).isEmpty()) << "rate 0 sends nothing, not even the points list";
    EXPECT_EQ(silent.NextDueMs(), -1);
}

TEST(SyntheticMarketTest, SpreadsHalfOfItsAlertsOverListenedCategories)
{
    TSyntheticMarket market(1, 100, 20);
    market.SetListenedCategories({"alpha", "BRENIK-main", "beta"});
    QHash<QByteArray, int> perCategory;
    for (const QByteArray& text : RunMarket(market, 1000, 10)) {
        const TParsedAlert alert = ParseAlert(text);
        if (alert.Fields.at("w_id") != "20") // the points list stays on the main category
            ++perCategory[alert.Category];
    }
    EXPECT_EQ(perCategory.value("BRENIK-main"), 50);
    EXPECT_EQ(perCategory.value("alpha"), 25);
    EXPECT_EQ(perCategory.value("beta"), 25);
}

// ===========================================================================
// Options and accounts

TEST(ServerOptionsTest, ParsesTheCommandLine)
{
    const TParsedServerOptions parsed = ParseServerOptions(
        {"--listen", "0.0.0.0:0", "--users=u.txt", "--seed", "99", "--rate", "2.5", "--points-wid", "31", "--losers-wid", "32", "--replay",
         "r.txt", "--loop", "--ignore-pings", "--drop-after", "0.5", "--garbage-after=1.25", "--stop",
         "Closed for maintenance", "--quiet"});
    ASSERT_TRUE(parsed.Error.isEmpty()) << parsed.Error.toStdString();
    const TServerOptions& o = parsed.Options;
    EXPECT_EQ(o.ListenAddress, QHostAddress(QHostAddress::AnyIPv4));
    EXPECT_EQ(o.Port, 0);
    EXPECT_EQ(parsed.UsersFile, "u.txt");
    EXPECT_EQ(o.Seed, 99u);
    EXPECT_EQ(o.Rate, 2.5);
    EXPECT_EQ(o.PointsWid, 31);
    EXPECT_EQ(o.LosersWid, 32);
    EXPECT_EQ(o.ReplayFile, "r.txt");
    EXPECT_TRUE(o.Loop && o.IgnorePings && o.Quiet);
    EXPECT_EQ(o.DropAfterSeconds, 0.5);
    EXPECT_EQ(o.GarbageAfterSeconds, 1.25);
    ASSERT_TRUE(o.StopText.has_value());
    EXPECT_EQ(*o.StopText, "Closed for maintenance");

    const TParsedServerOptions defaults = ParseServerOptions({});
    EXPECT_TRUE(defaults.Error.isEmpty());
    EXPECT_EQ(defaults.Options.ListenAddress, QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(defaults.Options.Port, 9339);
    EXPECT_EQ(defaults.Options.Rate, 20);
    EXPECT_EQ(defaults.Options.PointsWid, 20);
    EXPECT_EQ(defaults.Options.LosersWid, 0);
    EXPECT_FALSE(defaults.Options.Users || defaults.Options.StopText);
    EXPECT_TRUE(ParseServerOptions({"--listen", "[::1]:9000"}).Options.ListenAddress
                == QHostAddress(QHostAddress::LocalHostIPv6));
    EXPECT_TRUE(ParseServerOptions({"-h"}).HelpRequested);
}

TEST(ServerOptionsTest, RejectsBadValuesWithAClearMessage)
{
    const struct {
        QStringList Arguments;
        const char* ErrorPart;
    } cases[] = {
        {{"--listen", "127.0.0.1"}, "is not HOST:PORT"},
        {{"--listen", "example.com:1"}, "not an IP address"},
        {{"--listen", "127.0.0.1:70000"}, "not a port number"},
        {{"--rate", "-1"}, "--rate: \"-1\""},
        {{"--rate", "fast"}, "--rate: \"fast\""},
        {{"--drop-after", "0"}, "--drop-after: \"0\""},
        {{"--garbage-after", "nan"}, "--garbage-after"},
        {{"--seed", "-3"}, "--seed"},
        {{"--points-wid", "1.5"}, "--points-wid"},
        {{"--losers-wid", "x"}, "--losers-wid"},
        {{"--stop", "two\nlines"}, "one line"},
        {{"--loop"}, "--loop needs --replay"},
        {{"--rate"}, "--rate needs a value"},
        {{"--quiet=1"}, "takes no value"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"extra"}, "unexpected argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Arguments.join(' ').toStdString());
        const TParsedServerOptions parsed = ParseServerOptions(c.Arguments);
        EXPECT_TRUE(parsed.Error.contains(QLatin1String(c.ErrorPart))) << parsed.Error.toStdString();
    }
}

TEST(ServerOptionsTest, HelpNamesEveryOption)
{
    const QString help = ServerHelpText();
    for (const char* option : {"--listen", "--users", "--seed", "--rate", "--points-wid", "--losers-wid", "--replay", "--loop",
                               "--ignore-pings", "--drop-after", "--garbage-after", "--stop", "--quiet", "--help",
                               "[DELAY <TAB>] CATEGORY <TAB> FIELDS"})
        EXPECT_TRUE(help.contains(QLatin1String(option))) << option;
}

TEST(UserAccountsTest, ReadsNamePasswordLines)
{
    QString error;
    const auto accounts = TUserAccounts::FromText("# demo accounts\r\nann:secret\r\n\nbob:pa:ss\n", error);
    ASSERT_TRUE(accounts) << error.toStdString();
    EXPECT_EQ(accounts->Count(), 2);
    EXPECT_TRUE(accounts->Accepts("ann", "secret"));
    EXPECT_TRUE(accounts->Accepts("bob", "pa:ss")) << "split at the first colon";
    EXPECT_FALSE(accounts->Accepts("ann", "Secret"));
    EXPECT_FALSE(accounts->Accepts("carl", "secret"));

    const struct {
        QByteArray Text;
        const char* ErrorPart;
    } bad[] = {
        {"ann\n", "line 1: expected name:password"},
        {"ann:x\n:pw\n", "line 2: empty user name or password"},
        {"ann:\n", "line 1: empty"},
        {"ann:x\nann:y\n", "line 2: user \"ann\" is listed twice"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.Text.toStdString());
        QString message;
        EXPECT_FALSE(TUserAccounts::FromText(c.Text, message));
        EXPECT_TRUE(message.contains(QLatin1String(c.ErrorPart))) << message.toStdString();
    }
}

// ===========================================================================
// The server over loopback sockets

TEST_F(AlertServerTest, AnswersLoginAndPingInTheFrameLayout)
{
    auto server = StartServer();
    TRawClient client(server->Port());
    ASSERT_TRUE(client.WaitConnected());
    client.Open(Login(1, "ann", "secret") + Ping(7));
    ASSERT_TRUE(client.WaitForFrames(2));

    // Frame by frame, byte by byte: id, length, payload.
    const QByteArray& plain = client.Plain;
    ASSERT_GE(plain.size(), 8 + 12 + 32);
    EXPECT_EQ(plain.left(8).toHex(), QByteArray("01000000") + QByteArray::number(12 + 32, 16).rightJustified(2, '0') + "000000");
    EXPECT_EQ(plain.mid(8, 12), "SESSION ID\r\n");
    const QByteArray sessionId = plain.mid(20, 32);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(QString::fromLatin1(sessionId)).hasMatch())
        << sessionId.toStdString();
    EXPECT_EQ(plain.mid(52), QByteArray::fromHex("07000000" "04000000") + "pong");
    EXPECT_EQ(plain.size(), 52 + 12) << "nothing else without a listen";

    // The server's stream: a zlib header first, every flush a sync flush.
    EXPECT_EQ(uchar(client.Raw[0]), 0x78);
    EXPECT_TRUE(client.Raw.endsWith(QByteArray::fromHex("0000FFFF")));
    EXPECT_EQ(client.InflateResult, Z_OK);

    // One log line per request, in the one-line form, the password masked.
    EXPECT_TRUE(LogHas(QStringLiteral(
        "#1 (\"message_id\" --> \"1\", \"command\" --> \"login\", \"username\" --> \"ann\", \"password\" --> \"***\", "
        "\"session_id\" --> \"\")")));
    EXPECT_TRUE(LogHas(QStringLiteral("#1 (\"message_id\" --> \"7\", \"command\" --> \"ping\", \"response\" --> \"1\")")));
    for (const QString& line : LogLines)
        EXPECT_FALSE(line.contains(QLatin1String("secret"))) << line.toStdString();
}

TEST_F(AlertServerTest, SpeaksWithTheClientsOwnEncoderAndDecoder)
{
    auto server = StartServer();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), server->Port());
    ASSERT_TRUE(WaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
    TZLibCompressor compressor;
    compressor.Write(EncodeMessage(BuildMessage("command", "login", "username", "ann", "password", "pw", "session_id", ""), 1));
    compressor.Write(EncodeMessage(BuildMessage("command", "ping", "response", '1'), 8));
    compressor.Flush();
    socket.write(ModeSwitchText() + compressor.Output);
    TZLibDecompressor decompressor;
    QList<TFrame> frames;
    ASSERT_TRUE(WaitFor([&] {
        if (socket.bytesAvailable() > 0) {
            decompressor.Write(socket.readAll());
            frames += ExtractFrames(decompressor.Output);
        }
        return frames.size() >= 2;
    }));
    EXPECT_EQ(frames[0].Id, 1);
    EXPECT_TRUE(frames[0].Payload.startsWith("SESSION ID\r\n"));
    EXPECT_EQ(frames[1], (TFrame{8, TClientSession::PingAnswer}));
}

TEST_F(AlertServerTest, TheModeSwitchMayArriveInAnyPieces)
{
    auto server = StartServer();
    const QByteArray stream = ModeSwitch + CompressWhole(Ping(3));
    // Cut points: inside the first key, right before and after the first
    // CR LF, between CR and LF, in the second line, and inside the zlib data.
    const QList<QList<qsizetype>> cutSets = {{1}, {29, 30}, {58}, {7, 31, 45, 62}};
    for (const QList<qsizetype>& cuts : cutSets) {
        SCOPED_TRACE(::testing::PrintToString(std::vector<qsizetype>(cuts.begin(), cuts.end())));
        TRawClient client(server->Port());
        ASSERT_TRUE(client.WaitConnected());
        qsizetype from = 0;
        for (qsizetype cut : cuts) {
            client.SendRaw(stream.mid(from, cut - from));
            from = cut;
            QTest::qWait(20); // let the piece arrive on its own
        }
        client.SendRaw(stream.mid(from));
        ASSERT_TRUE(client.WaitForFrames(1));
        EXPECT_EQ(client.Frames[0].Id, 3);
        EXPECT_EQ(client.Frames[0].Payload, TClientSession::PingAnswer);
    }
}

TEST_F(AlertServerTest, LogsInAgainstTheUsersFile)
{
    QString error;
    TServerOptions options;
    options.Users = TUserAccounts::FromText("ann:secret\n", error);
    auto server = StartServer(options);
    const struct {
        QByteArray User;
        QByteArray Password;
        bool Accepted;
    } cases[] = {
        {"ann", "secret", true},
        {"ann", "wrong", false},
        {"bob", "secret", false},
        {"ann", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.User + ":" + c.Password).toStdString());
        TRawClient client(server->Port());
        ASSERT_TRUE(client.WaitConnected());
        // The client's own order: login, listen, category, ping.
        client.Open(Login(1, c.User, c.Password) + Listen(8) + AddCategory("BRENIK-main") + Ping(7));
        ASSERT_TRUE(client.WaitForFrames(1));
        const QList<QByteArray> lines = client.Frames[0].Payload.split('\n');
        EXPECT_EQ(client.Frames[0].Id, 1);
        if (c.Accepted) {
            EXPECT_EQ(lines[0], "SESSION ID\r");
            ASSERT_TRUE(client.WaitForFrames(2));
            EXPECT_EQ(client.Frames[1].Id, 7);
            EXPECT_FALSE(client.WaitForDisconnect(300)) << "a good login keeps the connection";
        } else {
            EXPECT_EQ(client.Frames[0].Payload, "STOP\r\nInvalid user name or password.");
            ASSERT_TRUE(client.WaitForDisconnect()) << "the server closes a refused login";
            EXPECT_EQ(client.Frames.size(), 1) << "nothing follows a STOP, not even the ping answer";
        }
    }
}

TEST_F(AlertServerTest, WithoutUsersFileAnyNonEmptyNameAndPasswordLogIn)
{
    auto server = StartServer();
    const struct {
        QByteArray User;
        QByteArray Password;
        QByteArray FirstLine;
    } cases[] = {
        {"anyone", "anything", "SESSION ID"},
        {"", "anything", "STOP"},
        {"anyone", "", "STOP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.User + ":" + c.Password).toStdString());
        TRawClient client(server->Port());
        ASSERT_TRUE(client.WaitConnected());
        client.Open(Login(2, c.User, c.Password));
        ASSERT_TRUE(client.WaitForFrames(1));
        EXPECT_EQ(client.Frames[0].Payload.split('\r')[0], c.FirstLine);
    }
}

TEST_F(AlertServerTest, KeepsAPresentedSessionIdOfTheSameUser)
{
    auto server = StartServer();
    const auto login = [&](const QByteArray& User, const QByteArray& SessionId) {
        TRawClient client(server->Port());
        EXPECT_TRUE(client.WaitConnected());
        client.Open(Login(1, User, "pw", SessionId));
        EXPECT_TRUE(client.WaitForFrames(1));
        const QList<QByteArray> lines = client.Frames.value(0).Payload.split('\n');
        EXPECT_EQ(lines.value(0), "SESSION ID\r");
        return lines.value(1);
    };
    const QByteArray first = login("ann", "");
    ASSERT_EQ(first.size(), 32);
    EXPECT_EQ(login("ann", first), first) << "a reconnect keeps its session";
    const QByteArray unknown = login("ann", "0123456789abcdef0123456789abcdef");
    EXPECT_NE(unknown, "0123456789abcdef0123456789abcdef") << "an id the server never gave gets a new one";
    EXPECT_NE(login("bob", first), first) << "another user's id is not handed over";
}

TEST_F(AlertServerTest, BeforeTheLoginOnlyPingsAreAnswered)
{
    TServerOptions options;
    options.Rate = 1000;
    auto server = StartServer(options);
    TRawClient client(server->Port());
    ASSERT_TRUE(client.WaitConnected());
    client.Open(Listen(8) + AddCategory("BRENIK-main") + Request(4, {{"command", "who_knows"}}) + Ping(3));
    ASSERT_TRUE(client.WaitForFrames(1));
    EXPECT_EQ(client.Frames[0].Id, 3);
    // The login comes now; the listen made before it did not count.
    client.Send(Login(1, "ann", "pw") + Ping(2));
    ASSERT_TRUE(client.WaitForFrames(3));
    EXPECT_EQ(client.Frames[1].Id, 1);
    EXPECT_EQ(client.Frames[2].Id, 2);
    QTest::qWait(100); // at 1000 alerts a second, a listener would have had some by now
    EXPECT_EQ(client.Frames.size(), 3);
    EXPECT_TRUE(LogHas(QStringLiteral("\"listen_for_alerts\" ignored: not logged in")));
}

TEST_F(AlertServerTest, SendsTheSubscribedCategoriesOfAReplayAsFramesOfTheListenRequest)
{
    TServerOptions options;
    options.ReplayFile = WriteFile("alerts.txt", "0\tBRENIK-main\tw_id=1&symbol=R%26D&last=10.50&time=09:31:05\r\n"
                                                 "0\tnews\tw_id=2&symbol=B\r\n"
                                                 "0\tother\tw_id=3&symbol=C\r\n"
                                                 "0\tBRENIK-main\tw_id=20&symbol0=D&last0=1.5&change0=-0.25\r\n");
    auto server = StartServer(options);
    TRawClient both(server->Port()), onlyNews(server->Port());
    ASSERT_TRUE(both.WaitConnected() && onlyNews.WaitConnected());
    both.Open(Login(1, "ann", "pw") + Listen(8) + AddCategory("news") + AddCategory("BRENIK-main") + Ping(7));
    onlyNews.Open(Login(1, "bob", "pw") + Listen(5) + AddCategory("news"));

    ASSERT_TRUE(both.WaitForFrames(2 + 3));
    const QList<TSeenFrame> alerts = both.FramesFor(8);
    ASSERT_EQ(alerts.size(), 3);
    EXPECT_EQ(alerts[0].Payload, "BRENIK-main\r\nw_id=1&symbol=R%26D&last=10.50&time=09:31:05");
    const TParsedAlert first = ParseAlert(alerts[0].Payload);
    EXPECT_EQ(first.Fields.at("symbol"), "R&D");
    EXPECT_EQ(ParseAlert(alerts[1].Payload).Category, "news");
    EXPECT_EQ(ParseAlert(alerts[2].Payload).Fields.at("change0"), "-0.25");

    ASSERT_TRUE(onlyNews.WaitForFrames(2));
    EXPECT_EQ(onlyNews.Frames[1].Id, 5);
    EXPECT_EQ(onlyNews.Frames[1].Payload, "news\r\nw_id=2&symbol=B");
    QTest::qWait(50);
    EXPECT_EQ(onlyNews.Frames.size(), 2) << "no alert of a category it did not add";
    EXPECT_TRUE(WaitForLog(QStringLiteral("replay finished")));
}

TEST_F(AlertServerTest, StreamsTheSyntheticMarketToAListener)
{
    TServerOptions options;
    options.Rate = 4000;
    auto server = StartServer(options);
    TRawClient client(server->Port());
    ASSERT_TRUE(client.WaitConnected());
    client.Open(Login(1, "ann", "pw") + Listen(8) + AddCategory("BRENIK-main"));
    ASSERT_TRUE(client.WaitForFrames(1 + 400));
    QSet<int> kinds;
    for (const TSeenFrame& frame : client.Frames.mid(1)) {
        ASSERT_EQ(frame.Id, 8);
        const TParsedAlert alert = ParseAlert(frame.Payload);
        EXPECT_EQ(alert.Category, "BRENIK-main");
        EXPECT_EQ(alert.Keys.value(0), "w_id");
        kinds.insert(alert.Fields.at("w_id").toInt());
    }
    EXPECT_TRUE(kinds.contains(1) && kinds.contains(3) && kinds.contains(8)) << "a mix of kinds";
    EXPECT_TRUE(client.Raw.endsWith(QByteArray::fromHex("0000FFFF")) || client.Frames.size() > 401);
    EXPECT_GE(server->Statistics().AlertsSent, 400u);
}

// ---------------------------------------------------------------------------
// Injected faults

TEST_F(AlertServerTest, IgnorePingsAnswersPingsOnlyBeforeTheLogin)
{
    TServerOptions options;
    options.IgnorePings = true;
    auto server = StartServer(options);
    TRawClient client(server->Port());
    ASSERT_TRUE(client.WaitConnected());
    client.Open(Ping(3) + Login(1, "ann", "pw") + Ping(4) + Login(2, "ann", "pw"));
    ASSERT_TRUE(client.WaitForFrames(3));
    // In order: the early ping, the login, and - with nothing for ping 4 in
    // between - the second login.
    EXPECT_EQ(client.Frames[0].Id, 3);
    EXPECT_EQ(client.Frames[1].Id, 1);
    EXPECT_EQ(client.Frames[2].Id, 2);
    EXPECT_TRUE(client.FramesFor(4).isEmpty());
}

TEST_F(AlertServerTest, DropAfterCutsTheConnection)
{
    TServerOptions options;
    options.DropAfterSeconds = 0.5;
    auto server = StartServer(options);
    TRawClient client(server->Port());
    ASSERT_TRUE(client.WaitConnected());
    client.Open(Login(1, "ann", "pw"));
    ASSERT_TRUE(client.WaitForFrames(1));
    EXPECT_FALSE(client.Disconnected);
    ASSERT_TRUE(client.WaitForDisconnect());
    EXPECT_EQ(client.InflateResult, Z_OK) << "what arrived before the drop is intact";
    EXPECT_TRUE(LogHas(QStringLiteral("#1 warning: dropping the connection (--drop-after 0.5 s)")));
    EXPECT_TRUE(WaitFor([&] { return server->ConnectionCount() == 0; }));
}

TEST_F(AlertServerTest, GarbageAfterBreaksTheServersStream)
{
    TServerOptions options;
    options.GarbageAfterSeconds = 0.5;
    auto server = StartServer(options);
    TRawClient client(server->Port());
    ASSERT_TRUE(client.WaitConnected());
    client.Open(Login(1, "ann", "pw"));
    ASSERT_TRUE(client.WaitForFrames(1));
    const qsizetype validBytes = client.Raw.size();
    EXPECT_EQ(client.InflateResult, Z_OK);
    ASSERT_TRUE(WaitFor([&] { return client.InflateResult != Z_OK; }));
    EXPECT_EQ(client.InflateResult, Z_DATA_ERROR) << "the bytes after the valid stream are not zlib";
    EXPECT_GT(client.Raw.size(), validBytes);
    EXPECT_EQ(client.Frames.size(), 1) << "no frame comes out of the garbage";
    // Nothing more comes on that connection, not even a ping answer.
    const qsizetype received = client.Raw.size();
    client.Send(Ping(9));
    QTest::qWait(100);
    EXPECT_EQ(client.Raw.size(), received);
    EXPECT_TRUE(LogHas(QStringLiteral("sending bytes that are not zlib")));
}

TEST_F(AlertServerTest, StopAnswersEveryLoginWithTheTextAndCloses)
{
    TServerOptions options;
    options.StopText = QByteArray("Closed for maintenance");
    auto server = StartServer(options);
    TRawClient client(server->Port());
    ASSERT_TRUE(client.WaitConnected());
    client.Open(Login(1, "ann", "pw") + Listen(8) + AddCategory("BRENIK-main") + Ping(7));
    ASSERT_TRUE(client.WaitForFrames(1));
    EXPECT_EQ(client.Frames[0].Id, 1);
    EXPECT_EQ(client.Frames[0].Payload, "STOP\r\nClosed for maintenance");
    ASSERT_TRUE(client.WaitForDisconnect());
    EXPECT_EQ(client.Frames.size(), 1) << "the ping after the login gets no answer";
}

// ---------------------------------------------------------------------------
// Bad input and limits

TEST_F(AlertServerTest, BadInputClosesOnlyThatConnection)
{
    auto server = StartServer();
    TRawClient bystander(server->Port());
    ASSERT_TRUE(bystander.WaitConnected());
    bystander.Open(Login(1, "ann", "pw"));
    ASSERT_TRUE(bystander.WaitForFrames(1));

    const struct {
        const char* Name;
        QByteArray Bytes;
        const char* LogPart;
    } cases[] = {
        {"not the mode switch", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "closing: not the mode switch"},
        {"not zlib", ModeSwitch + "this is not zlib at all", "closing: bad zlib stream from the client"},
        {"negative length", ModeSwitch + CompressWhole(Ping(2) + Le32(-8)), "closing: bad request: negative string length -8"},
        {"absurd length", ModeSwitch + CompressWhole(Str("command") + Le32(1 << 30)), "exceeds the limit"},
        {"bytes after the stream end", ModeSwitch + [] {
             QByteArray whole = qCompress(Ping(2)).mid(4); // a finished zlib stream
             return whole + "more";
         }(), "bytes after the end of the zlib stream"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TRawClient bad(server->Port());
        ASSERT_TRUE(bad.WaitConnected());
        bad.SendRaw(c.Bytes);
        ASSERT_TRUE(bad.WaitForDisconnect()) << "the server closes the connection";
        EXPECT_TRUE(LogHas(QLatin1String(c.LogPart))) << LogLines.join('\n').toStdString();
        if (QByteArray(c.Name) == "negative length") {
            EXPECT_EQ(bad.FramesFor(2).size(), 1) << "the request before the fault was still answered";
        }
    }
    // The other connection never noticed.
    const qsizetype before = bystander.Frames.size();
    bystander.Send(Ping(5));
    ASSERT_TRUE(bystander.WaitForFrames(before + 1));
    EXPECT_EQ(bystander.Frames.last().Id, 5);
    EXPECT_FALSE(bystander.Disconnected);
    EXPECT_TRUE(WaitFor([&] { return server->ConnectionCount() == 1; }));
}

TEST_F(AlertServerTest, AClientThatSendsButNeverReadsIsClosed)
{
    TServerOptions options;
    options.OutputBacklogLimit = 256 * 1024;
    auto server = StartServer(options);
    TRawClient flooder(server->Port());
    ASSERT_TRUE(flooder.WaitConnected());
    flooder.Socket.setReadBufferSize(1); // takes (almost) nothing from the socket
    // 100,000 pings in one small compressed block: their answers alone are
    // more than the server may hold for one connection.
    QByteArray pings;
    for (int i = 0; i < 100000; ++i)
        pings += Ping(1 + i % 8);
    flooder.Open(pings);
    EXPECT_TRUE(WaitForLog(QStringLiteral("closed: more than 262144 bytes of output wait for a client that does not read")));
    EXPECT_TRUE(WaitFor([&] { return server->ConnectionCount() == 0; }));
}

TEST_F(AlertServerTest, ASlowReaderLosesAlertsNotTheServer)
{
    // Alert lines that hardly compress, sent as fast as the loop goes.
    QByteArray file;
    quint32 noise = 12345;
    for (int line = 0; line < 64; ++line) {
        file += "0\tBRENIK-main\tw_id=1&symbol=";
        for (int i = 0; i < 1500; ++i) {
            noise = noise * 1103515245u + 12345u;
            file += char('A' + (noise >> 16) % 26);
        }
        file += '\n';
    }
    TServerOptions options;
    options.ReplayFile = WriteFile("noise.txt", file);
    options.Loop = true;
    options.Rate = 0;
    options.AlertBacklogLimit = 512 * 1024;
    auto server = StartServer(options);

    TRawClient slow(server->Port()), other(server->Port());
    ASSERT_TRUE(slow.WaitConnected() && other.WaitConnected());
    slow.Socket.setReadBufferSize(1);
    slow.Open(Login(1, "ann", "pw") + Listen(8) + AddCategory("BRENIK-main"));
    other.Open(Login(1, "bob", "pw"));
    ASSERT_TRUE(WaitForLog(QStringLiteral("#1 warning: output backs up"), 20000));
    EXPECT_GT(server->Statistics().AlertsDropped, 0u);

    // The server still answers at once elsewhere.
    other.Send(Ping(6));
    ASSERT_TRUE(other.WaitForFrames(2));
    EXPECT_EQ(other.Frames[1].Id, 6);

    // Once the reader reads again, alerts flow again and the log says so.
    slow.Socket.setReadBufferSize(0);
    slow.Pump();
    EXPECT_TRUE(WaitForLog(QStringLiteral("caught up;"), 20000));
    EXPECT_EQ(slow.InflateResult, Z_OK) << "dropping whole alerts keeps the stream valid";
    EXPECT_FALSE(slow.Disconnected);
}
