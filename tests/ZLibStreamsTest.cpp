// The zlib stream wrappers, checked against zlib's own deflate and inflate.
#include "ZLibStreams.h"

#include <QList>
#include <QRandomGenerator>
#include <gtest/gtest.h>
#include <zlib.h>

namespace {

const QByteArray SyncFlushMarker = QByteArray::fromHex("0000FFFF");

// An independent reader of a zlib stream that may be cut at a sync-flush
// point: everything the stream holds so far, or an error text.
struct InflateResult {
    QByteArray data;
    int result = Z_OK;
};

InflateResult ZlibInflate(const QByteArray& stream)
{
    InflateResult out;
    z_stream z{};
    EXPECT_EQ(inflateInit(&z), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.constData()));
    z.avail_in = uInt(stream.size());
    char block[1000];
    do {
        z.next_out = reinterpret_cast<Bytef*>(block);
        z.avail_out = sizeof block;
        out.result = inflate(&z, Z_SYNC_FLUSH);
        out.data.append(block, qsizetype(sizeof block - z.avail_out));
    } while (out.result == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
    inflateEnd(&z);
    return out;
}

// zlib's own deflate; Finish ends the stream (final block and checksum).
QByteArray ZlibDeflate(const QList<QByteArray>& flushedPieces, bool finish,
                       const QByteArray& dictionary = {})
{
    z_stream z{};
    EXPECT_EQ(deflateInit(&z, Z_DEFAULT_COMPRESSION), Z_OK);
    if (!dictionary.isEmpty())
        deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dictionary.constData()),
                             uInt(dictionary.size()));
    QByteArray out;
    for (qsizetype i = 0; i < flushedPieces.size(); ++i) {
        const QByteArray& piece = flushedPieces[i];
        const bool last = i + 1 == flushedPieces.size();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.constData()));
        z.avail_in = uInt(piece.size());
        const int mode = last && finish ? Z_FINISH : Z_SYNC_FLUSH;
        char block[1000];
        int result;
        do {
            z.next_out = reinterpret_cast<Bytef*>(block);
            z.avail_out = sizeof block;
            result = deflate(&z, mode);
            out.append(block, qsizetype(sizeof block - z.avail_out));
        } while (z.avail_out == 0 || (mode == Z_FINISH && result != Z_STREAM_END));
    }
    deflateEnd(&z);
    return out;
}

QByteArray RandomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray data(size, '\0');
    for (char& c : data)
        c = char(random.bounded(256));
    return data;
}

QByteArray TextLike(qsizetype size)
{
    QByteArray data;
    for (int i = 0; data.size() < size; ++i)
        data += "line " + QByteArray::number(i) + " of some alert text&w_id=7\r\n";
    data.truncate(size);
    return data;
}

} // namespace

// ---------------------------------------------------------------------------
// Compressor

TEST(ZLibCompressor, NothingHeldProducesNothing)
{
    TZLibCompressor compressor;
    compressor.Flush();
    EXPECT_TRUE(compressor.Output.isEmpty());
    compressor.Write(QByteArray());
    compressor.Flush();
    EXPECT_TRUE(compressor.Output.isEmpty());
    EXPECT_TRUE(compressor.Held().isEmpty());
}

TEST(ZLibCompressor, LastPieceIsHeldUntilFlush)
{
    TZLibCompressor compressor;
    compressor.Write("abc");
    EXPECT_TRUE(compressor.Output.isEmpty());
    EXPECT_EQ(compressor.Held(), "abc");

    compressor.Flush();
    const QByteArray block = compressor.Output;
    ASSERT_GE(block.size(), 6);
    EXPECT_EQ(quint8(block[0]), 0x78); // zlib header, deflate with 32 KiB window
    EXPECT_EQ((quint8(block[0]) * 256 + quint8(block[1])) % 31, 0);
    EXPECT_TRUE(block.endsWith(SyncFlushMarker));
    EXPECT_TRUE(compressor.Held().isEmpty());

    const InflateResult decoded = ZlibInflate(block);
    EXPECT_EQ(decoded.data, "abc");

    compressor.Flush(); // a second flush adds no marker
    EXPECT_EQ(compressor.Output, block);
}

// The owner takes Output after every flush, as the conversation does; each
// taken block ends at a sync-flush point and zlib's inflate can read all that
// has been taken so far.
TEST(ZLibCompressor, RoundTripsWithSyncFlushesAtSeveralPoints)
{
    const QByteArray big = RandomBytes(20000, 7) + TextLike(30000);
    struct Case {
        const char* name;
        QList<QList<QByteArray>> batches; // pieces written between flushes
    };
    const Case cases[] = {
        {"one piece", {{"hello"}}},
        {"three pieces one flush", {{"a", "bb", "ccc"}}},
        {"flush after each piece", {{"one"}, {"two"}, {"three"}}},
        {"bytes of every value", {{RandomBytes(256, 1)}, {QByteArray(300, '\0')}}},
        {"large pieces across many output blocks",
         {{big.left(17000), big.mid(17000, 3)}, {big.mid(17003)}}},
    };
    for (int level = 0; level <= 3; ++level) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", level index " + std::to_string(level));
            TZLibCompressor compressor(level);
            QByteArray sent;
            QByteArray plain;
            for (const QList<QByteArray>& batch : c.batches) {
                for (const QByteArray& piece : batch) {
                    compressor.Write(piece);
                    plain += piece;
                }
                compressor.Flush();
                EXPECT_TRUE(compressor.Output.endsWith(SyncFlushMarker));
                sent += compressor.Output;
                compressor.Output.clear();
                const InflateResult decoded = ZlibInflate(sent);
                EXPECT_NE(decoded.result, Z_DATA_ERROR);
                EXPECT_EQ(decoded.data, plain);
            }
            TZLibDecompressor own;
            own.Write(sent);
            EXPECT_EQ(own.Output, plain);
        }
    }
}

// Pieces of every size around the 4,096-byte output block keep the stream
// readable, flush after flush.
TEST(ZLibCompressor, KeepsWorkingAcrossBlockBoundaries)
{
    for (int level : {0, 2}) {
        SCOPED_TRACE(level);
        TZLibCompressor compressor(level);
        TZLibDecompressor reader;
        QByteArray plain;
        for (int size = 4000; size <= 4200; ++size) {
            const QByteArray piece = RandomBytes(size, quint32(size));
            compressor.Write(piece.left(size / 2));
            compressor.Write(piece.mid(size / 2));
            compressor.Flush();
            ASSERT_TRUE(compressor.Output.endsWith(SyncFlushMarker)) << size;
            reader.Write(compressor.Output);
            compressor.Output.clear();
            plain += piece;
            ASSERT_EQ(reader.Output.size(), plain.size()) << size;
        }
        EXPECT_EQ(reader.Output, plain);
        EXPECT_FALSE(compressor.Failed());
    }
}

TEST(ZLibCompressor, LevelIndexOutsideTheTableFailsTheAssertion)
{
    for (int index : {-1, 4}) {
        SCOPED_TRACE(index);
        try {
            TZLibCompressor compressor(index);
            ADD_FAILURE() << "accepted";
        } catch (const EAssertionFailed& e) {
            EXPECT_EQ(e.Unit(), "ZLibStreams");
        }
    }
}

// ---------------------------------------------------------------------------
// Decompressor

TEST(ZLibDecompressor, ReadsZlibsOwnStreamWholeOrInPieces)
{
    const QList<QByteArray> pieces{"first frame bytes", TextLike(10000), RandomBytes(5000, 3)};
    const QByteArray plain = pieces[0] + pieces[1] + pieces[2];
    for (bool finish : {false, true}) {
        SCOPED_TRACE(finish ? "finished stream" : "open stream");
        const QByteArray stream = ZlibDeflate(pieces, finish);

        TZLibDecompressor whole;
        whole.Write(stream);
        EXPECT_EQ(whole.Output, plain);
        EXPECT_EQ(whole.StreamEnded(), finish);

        TZLibDecompressor byteByByte;
        for (char c : stream)
            byteByByte.Write(QByteArray(1, c));
        EXPECT_EQ(byteByByte.Output, plain);

        for (qsizetype cut : {qsizetype(1), qsizetype(2), qsizetype(100), stream.size() / 2,
                              stream.size() - 1}) {
            SCOPED_TRACE(cut);
            TZLibDecompressor split;
            split.Write(stream.left(cut));
            split.Write(stream.mid(cut));
            EXPECT_EQ(split.Output, plain);
        }
    }
}

// Sizes that end exactly on a block make the pump ask zlib for more once
// after a full block, which zlib answers with "buffer error"; that pass is
// not a failure.
TEST(ZLibDecompressor, OneWriteLargerThanABlockComesOutWhole)
{
    for (qsizetype size : {4095, 4096, 4097, 8192, 250000}) {
        SCOPED_TRACE(size);
        const QByteArray plain = TextLike(size);
        TZLibDecompressor reader;
        ASSERT_NO_THROW(reader.Write(ZlibDeflate({plain}, false)));
        EXPECT_EQ(reader.Output, plain);
        EXPECT_FALSE(reader.Failed());
    }
}

TEST(ZLibDecompressor, CorruptInputRaisesOnceThenIsInert)
{
    const QByteArray good = ZlibDeflate({"complete frame"}, false);
    struct Case {
        const char* name;
        QByteArray input;
        QString message;
    };
    const Case cases[] = {
        {"not a zlib header", "this is not zlib", "data error"},
        {"corrupt block after good data", good + QByteArray::fromHex("FFFFFFFFFFFF"),
         "data error"},
        {"preset dictionary asked for", ZlibDeflate({"abc"}, false, "dictionary"),
         "need dictionary"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TZLibDecompressor reader;
        try {
            reader.Write(c.input);
            ADD_FAILURE() << "no exception";
        } catch (const EZDecompressionError& e) {
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_STREQ(e.ClassName(), "EZDecompressionError");
        }
        EXPECT_TRUE(reader.Failed());
        const QByteArray kept = reader.Output;
        EXPECT_NO_THROW(reader.Write(good));
        EXPECT_NO_THROW(reader.Write("more garbage"));
        EXPECT_EQ(reader.Output, kept);
    }
    // What was decompressed before the fault stays.
    TZLibDecompressor reader;
    EXPECT_THROW(reader.Write(good + QByteArray::fromHex("FFFFFFFFFFFF")), EZLibError);
    EXPECT_EQ(reader.Output, "complete frame");
}

TEST(ZLibDecompressor, BytesAfterTheEndOfTheStreamAreInvalid)
{
    const QByteArray finished = ZlibDeflate({"last words"}, true);
    struct Case {
        const char* name;
        QList<QByteArray> writes;
    };
    const Case cases[] = {
        {"in the same write", {finished + "xyz"}},
        {"in a later write", {finished, "xyz"}},
        {"one byte later", {finished, QByteArray(1, '\0')}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TZLibDecompressor reader;
        bool raised = false;
        for (const QByteArray& w : c.writes) {
            try {
                reader.Write(w);
            } catch (const EZDecompressionError& e) {
                raised = true;
                EXPECT_EQ(e.Message(), "data after the end of the compressed stream");
            }
        }
        EXPECT_TRUE(raised);
        EXPECT_EQ(reader.Output, "last words");
        EXPECT_NO_THROW(reader.Write("again"));
    }
}

TEST(ZLibDecompressor, RefusesToHoldMoreThan128MiBNotYetTaken)
{
    // 129 MiB of zeros compress to about 130 KB.
    const QByteArray mib(1024 * 1024, '\0');
    TZLibCompressor compressor(1);
    for (int i = 0; i < 129; ++i)
        compressor.Write(mib);
    compressor.Flush();
    const QByteArray bomb = compressor.Output;
    ASSERT_LT(bomb.size(), 1024 * 1024);

    TZLibDecompressor reader;
    try {
        reader.Write(bomb);
        FAIL() << "no exception";
    } catch (const EZDecompressionError& e) {
        EXPECT_EQ(e.Message(), "decompressed data waiting to be processed exceeds 128 MiB");
    }
    EXPECT_LE(reader.Output.size(), TZLibDecompressor::MaxPendingOutput);
    EXPECT_GT(reader.Output.size(), TZLibDecompressor::MaxPendingOutput - ZLibBlockSize);
    EXPECT_EQ(reader.Output.count('\0'), reader.Output.size());
    EXPECT_TRUE(reader.Failed());
}

TEST(ZLibDecompressor, LimitCountsOnlyOutputNotYetTaken)
{
    const QByteArray mib(1024 * 1024, '\0');
    TZLibCompressor compressor(1);
    TZLibDecompressor reader;
    qsizetype total = 0;
    // Two rounds of 70 MiB: more than the limit in all, never at once.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 70; ++i)
            compressor.Write(mib);
        compressor.Flush();
        ASSERT_NO_THROW(reader.Write(compressor.Output));
        compressor.Output.clear();
        total += reader.Output.size();
        reader.Output.clear(); // the owner takes its frames
    }
    EXPECT_EQ(total, qsizetype(140) * 1024 * 1024);
}

TEST(ZLibErrors, TextsForResultCodes)
{
    const std::pair<int, const char*> cases[] = {
        {-1, "file error"},   {-2, "stream error"}, {-3, "data error"},
        {-4, "insufficient memory"}, {-5, "buffer error"}, {-6, "incompatible version"},
    };
    for (const auto& [code, text] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(ZLibErrorText(code), text);
        EXPECT_STREQ(zError(code), text); // the same texts zlib itself uses
    }
}
