// The bytes of requests and answer frames, and the texts of message fields.
#include "TalkWithServer.h"

#include <QtEndian>
#include <gtest/gtest.h>
#include <limits>

namespace {

QByteArray Int32Bytes(qint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 4);
}

QByteArray Str(const QByteArray& text)
{
    return Int32Bytes(qint32(text.size())) + text;
}

QByteArray FrameBytes(qint32 id, const QByteArray& payload)
{
    return Int32Bytes(id) + Int32Bytes(qint32(payload.size())) + payload;
}

QByteArray Sep()
{
    return QLocale::system().decimalPoint().toUtf8();
}

} // namespace

// ---------------------------------------------------------------------------
// Requests

TEST(WireFormat, PingWithIdentifierFiveIsExactly59Bytes)
{
    const TMessageToServer ping = BuildMessage("command", "ping", "response", '1');
    ASSERT_EQ(ping.size(), 2);
    EXPECT_EQ(ping[0], (TMessagePair{"command", "ping"}));
    EXPECT_EQ(ping[1], (TMessagePair{"response", "1"}));

    const QByteArray expected = QByteArray::fromHex("0A000000") + "message_id"
                                + QByteArray::fromHex("01000000") + "5"
                                + QByteArray::fromHex("07000000") + "command"
                                + QByteArray::fromHex("04000000") + "ping"
                                + QByteArray::fromHex("08000000") + "response"
                                + QByteArray::fromHex("01000000") + "1"
                                + QByteArray::fromHex("00000000");
    ASSERT_EQ(expected.size(), 59);
    EXPECT_EQ(EncodeMessage(ping, 5), expected);
}

TEST(WireFormat, EncodeMessageCases)
{
    const QByteArray end = Int32Bytes(0);
    struct Case {
        const char* name;
        TMessageToServer message;
        qint32 id;
        QByteArray expected;
    };
    const Case cases[] = {
        {"no identifier", {{"command", "ping"}}, 0, Str("command") + Str("ping") + end},
        {"identifier 12 is the two characters 1 and 2", {{"command", "ping"}}, 12,
         Str("message_id") + Str("12") + Str("command") + Str("ping") + end},
        {"negative identifier sends none", {{"a", "b"}}, -4, Str("a") + Str("b") + end},
        {"only an empty key: four zero bytes", {{"", "ignored"}}, 0, end},
        {"no pairs", {}, 0, end},
        {"no pairs but an identifier", {}, 7, Str("message_id") + Str("7") + end},
        {"empty value is a zero length, not the end",
         {{"session_id", ""}, {"x", "y"}},
         0,
         Str("session_id") + Int32Bytes(0) + Str("x") + Str("y") + end},
        {"empty key skipped between others",
         {{"a", "1"}, {"", "2"}, {"c", "3"}},
         0,
         Str("a") + Str("1") + Str("c") + Str("3") + end},
        {"repeated keys all sent in order",
         {{"k", "1"}, {"k", "2"}, {"k", "1"}},
         0,
         Str("k") + Str("1") + Str("k") + Str("2") + Str("k") + Str("1") + end},
        {"any byte value, zero included",
         {{QByteArray("\0k", 2), QByteArray("\xff\0\x01", 3)}},
         0,
         Str(QByteArray("\0k", 2)) + Str(QByteArray("\xff\0\x01", 3)) + end},
        {"largest identifier", {{"a", "b"}}, std::numeric_limits<qint32>::max(),
         Str("message_id") + Str("2147483647") + Str("a") + Str("b") + end},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(EncodeMessage(c.message, c.id).toHex(' '), c.expected.toHex(' '));
    }
}

TEST(WireFormat, IsEmptyMessage)
{
    struct Case {
        TMessageToServer message;
        bool empty;
    };
    const Case cases[] = {
        {{}, true},
        {{{"", ""}}, true},
        {{{"", "value"}, {"", "other"}}, true},
        {{{"", "x"}, {"k", ""}}, false},
        {{{"command", "ping"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(MessageToText(c.message).toStdString());
        EXPECT_EQ(IsEmptyMessage(c.message), c.empty);
    }
}

TEST(WireFormat, MessageToText)
{
    EXPECT_EQ(MessageToText(BuildMessage("command", "ping", "response", '1')),
              "(\"command\" --> \"ping\", \"response\" --> \"1\")");
    EXPECT_EQ(MessageToText({}), "()");
    EXPECT_EQ(MessageToText({{"", "v"}}), "(\"\" --> \"v\")");
}

TEST(WireFormat, ModeSwitchTextIsTheExactTwoLines)
{
    const QByteArray text = ModeSwitchText();
    EXPECT_EQ(text.size(), 59);
    EXPECT_EQ(text, QByteArray("command=set_output&mode=zlib\r\ncommand=set_input&mode=zlib\r\n"));
}

// ---------------------------------------------------------------------------
// BuildMessage field kinds

static_assert(IsMessageFieldType<qint32> && IsMessageFieldType<qint64>);
static_assert(IsMessageFieldType<bool> && IsMessageFieldType<char>);
static_assert(IsMessageFieldType<long double> && IsMessageFieldType<TCurrency>);
static_assert(IsMessageFieldType<decltype("literal")> && IsMessageFieldType<const char*>);
static_assert(IsMessageFieldType<QByteArray> && IsMessageFieldType<TShortString>);
static_assert(IsMessageFieldType<QVariant>);
static_assert(!IsMessageFieldType<double> && !IsMessageFieldType<float>);
static_assert(!IsMessageFieldType<void*> && !IsMessageFieldType<const void*>);
static_assert(!IsMessageFieldType<QString> && !IsMessageFieldType<std::string>);
static_assert(!IsMessageFieldType<char16_t> && !IsMessageFieldType<wchar_t>);
static_assert(!IsMessageFieldType<const wchar_t*> && !IsMessageFieldType<QObject*>);
static_assert(!IsMessageFieldType<unsigned> && !IsMessageFieldType<short>);
static_assert(!IsMessageFieldType<quint64> && !IsMessageFieldType<unsigned char>);

TEST(WireFormat, FieldTexts)
{
    const char* nullText = nullptr;
    struct Case {
        const char* name;
        QByteArray actual;
        QByteArray expected;
    };
    const Case cases[] = {
        {"true", MessageFieldText(true), "1"},
        {"false", MessageFieldText(false), "0"},
        {"char", MessageFieldText('1'), "1"},
        {"zero char", MessageFieldText('\0'), QByteArray(1, '\0')},
        {"high char", MessageFieldText('\xe9'), QByteArray(1, '\xe9')},
        {"int", MessageFieldText(qint32(-42)), "-42"},
        {"int min", MessageFieldText(std::numeric_limits<qint32>::min()), "-2147483648"},
        {"int64 max", MessageFieldText(std::numeric_limits<qint64>::max()),
         "9223372036854775807"},
        {"int64 negative", MessageFieldText(qint64(-5000000000)), "-5000000000"},
        {"long double whole", MessageFieldText(100.0L), "100"},
        {"long double fraction", MessageFieldText(-2.5L), "-2" + Sep() + "5"},
        {"long double 0.1 has no noise digits", MessageFieldText(0.1L), "0" + Sep() + "1"},
        {"long double 15 significant digits", MessageFieldText(1.0L / 3.0L),
         "0" + Sep() + "333333333333333"},
        {"long double rounds to 15 digits", MessageFieldText(2.0L / 3.0L),
         "0" + Sep() + "666666666666667"},
        {"long double large", MessageFieldText(1e20L), "1e+20"},
        {"long double zero", MessageFieldText(0.0L), "0"},
        {"currency whole", MessageFieldText(TCurrency::FromRaw(30000)), "3"},
        {"currency fraction", MessageFieldText(TCurrency::FromRaw(125000)), "12" + Sep() + "5"},
        {"currency smallest negative", MessageFieldText(TCurrency::FromRaw(-1)),
         "-0" + Sep() + "0001"},
        {"currency minimum", MessageFieldText(TCurrency::FromRaw(std::numeric_limits<qint64>::min())),
         "-922337203685477" + Sep() + "5808"},
        {"C string", MessageFieldText("abc"), "abc"},
        {"null C string", MessageFieldText(nullText), ""},
        {"short string", MessageFieldText(TShortString("short")), "short"},
        {"byte array keeps zero bytes", MessageFieldText(QByteArray("a\0b", 3)),
         QByteArray("a\0b", 3)},
        {"variant number", MessageFieldText(QVariant(42)), "42"},
        {"variant bytes", MessageFieldText(QVariant(QByteArray("\xff\x01"))), "\xff\x01"},
        {"variant text in UTF-8", MessageFieldText(QVariant(QString::fromUtf8("\xc3\xa9"))),
         "\xc3\xa9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.actual, c.expected);
    }
}

TEST(WireFormat, BuildMessageMixesKindsInOrder)
{
    const TMessageToServer message =
        BuildMessage("flag", true, QByteArray("count"), qint64(7), TShortString("c"), 'x');
    const TMessageToServer expected{{"flag", "1"}, {"count", "7"}, {"c", "x"}};
    EXPECT_EQ(message, expected);
    EXPECT_TRUE(BuildMessage().isEmpty());
}

TEST(WireFormat, ShortStringHoldsAtMost255Bytes)
{
    EXPECT_EQ(TShortString(QByteArray(255, 'a')).Bytes().size(), 255);
    try {
        TShortString tooLong(QByteArray(256, 'a'));
        FAIL() << "256 bytes accepted";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Unit(), "TalkWithServer");
        EXPECT_EQ(e.Message(), "Assertion failure");
    }
}

// ---------------------------------------------------------------------------
// Frames

TEST(WireFormat, ShortBuffersYieldNothingAndKeepTheirBytes)
{
    struct Case {
        const char* name;
        QByteArray buffer;
    };
    const Case cases[] = {
        {"empty", {}},
        {"seven bytes", FrameBytes(1, "").left(7)},
        {"header only of a non-empty frame", FrameBytes(1, "abc").left(8)},
        {"payload one short", FrameBytes(1, "abc").left(10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray buffer = c.buffer;
        EXPECT_TRUE(ExtractFrames(buffer).isEmpty());
        EXPECT_EQ(buffer, c.buffer);
    }
}

TEST(WireFormat, ZeroLengthFrameIsCompleteWithItsHeader)
{
    QByteArray buffer = FrameBytes(3, "");
    ASSERT_EQ(buffer.size(), 8);
    const QList<TFrame> frames = ExtractFrames(buffer);
    ASSERT_EQ(frames.size(), 1);
    EXPECT_EQ(frames[0].Id, 3);
    EXPECT_TRUE(frames[0].Payload.isEmpty());
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(WireFormat, ThreeFramesInOneBlockAndHalfOfAFourth)
{
    const QByteArray fourth = FrameBytes(4, "fourth payload");
    QByteArray buffer = FrameBytes(1, "one") + FrameBytes(-2, QByteArray("t\0o", 3))
                        + FrameBytes(0, "three") + fourth.left(11);
    const QList<TFrame> frames = ExtractFrames(buffer);
    const QList<TFrame> expected{{1, "one"}, {-2, QByteArray("t\0o", 3)}, {0, "three"}};
    EXPECT_EQ(frames, expected);
    EXPECT_EQ(buffer, fourth.left(11));

    buffer += fourth.mid(11);
    EXPECT_EQ(ExtractFrames(buffer), (QList<TFrame>{{4, "fourth payload"}}));
    EXPECT_TRUE(buffer.isEmpty());
}

// Every way of cutting a stream into two arrivals - inside headers, inside
// payloads, on boundaries - yields the same frames, each once it is complete.
TEST(WireFormat, FramesSplitAtEveryBytePosition)
{
    const QList<TFrame> expected{{1, "alpha"}, {2, ""}, {300000, "gamma"}};
    QByteArray stream;
    for (const TFrame& f : expected)
        stream += FrameBytes(f.Id, f.Payload);

    for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        QByteArray buffer = stream.left(cut);
        QList<TFrame> frames = ExtractFrames(buffer);
        // Only the frames lying wholly before the cut may come out first.
        qsizetype end = 0;
        int complete = 0;
        for (const TFrame& f : expected) {
            end += 8 + f.Payload.size();
            if (end <= cut)
                ++complete;
        }
        EXPECT_EQ(frames, expected.mid(0, complete));
        buffer += stream.mid(cut);
        frames += ExtractFrames(buffer);
        EXPECT_EQ(frames, expected);
        EXPECT_TRUE(buffer.isEmpty());
    }
}

TEST(WireFormat, FramesFedOneByteAtATime)
{
    const QByteArray stream = FrameBytes(9, "x") + FrameBytes(10, "") + FrameBytes(11, "yz");
    QByteArray buffer;
    QList<TFrame> frames;
    for (char byte : stream) {
        buffer.append(byte);
        frames += ExtractFrames(buffer);
    }
    EXPECT_EQ(frames, (QList<TFrame>{{9, "x"}, {10, ""}, {11, "yz"}}));
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(WireFormat, InvalidLengthsRaiseWithoutConsuming)
{
    struct Case {
        qint32 length;
        const char* message;
    };
    const Case cases[] = {
        {-3, "negative frame length -3"},
        {-8, "negative frame length -8"},
        {std::numeric_limits<qint32>::min(), "negative frame length -2147483648"},
        {MaxFrameLength + 1, "frame length 67108865 exceeds 64 MiB"},
        {std::numeric_limits<qint32>::max(), "frame length 2147483647 exceeds 64 MiB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const QByteArray bad = Int32Bytes(5) + Int32Bytes(c.length) + "rest";
        QByteArray buffer = bad;
        try {
            ExtractFrames(buffer);
            ADD_FAILURE() << "no exception";
        } catch (const EInvalidFrame& e) {
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_STREQ(e.ClassName(), "EInvalidFrame");
        }
        EXPECT_EQ(buffer, bad);

        // Good frames in front are handed over first; the next call raises.
        buffer = FrameBytes(1, "good") + FrameBytes(2, "") + bad;
        EXPECT_EQ(ExtractFrames(buffer), (QList<TFrame>{{1, "good"}, {2, ""}}));
        EXPECT_EQ(buffer, bad);
        EXPECT_THROW(ExtractFrames(buffer), EInvalidFrame);
        EXPECT_EQ(buffer, bad);
    }
}

TEST(WireFormat, LengthAtTheLimitIsValidButIncomplete)
{
    QByteArray buffer = Int32Bytes(1) + Int32Bytes(MaxFrameLength) + "start";
    const QByteArray before = buffer;
    EXPECT_TRUE(ExtractFrames(buffer).isEmpty());
    EXPECT_EQ(buffer, before);
}

TEST(WireFormat, PeekFrameLeavesTheBufferAlone)
{
    const QByteArray buffer = FrameBytes(6, "six") + "tail";
    TFrame frame;
    EXPECT_EQ(PeekFrame(buffer, frame), 11);
    EXPECT_EQ(frame, (TFrame{6, "six"}));
    EXPECT_EQ(PeekFrame(buffer.left(10), frame), 0);
}
