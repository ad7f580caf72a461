#include "ServerCompression.h"

#include <zlib.h>

namespace {

constexpr int WindowBits = 15;
constexpr int MemoryLevel = 8;
// Room for the sync-flush marker and block headers beyond deflateBound.
constexpr qsizetype FlushMargin = 64;

QString ZlibText(const z_stream& Stream, int Code)
{
    if (Stream.msg)
        return QString::fromLatin1(Stream.msg);
    return QStringLiteral("zlib error %1").arg(Code);
}

} // namespace

TFrameDeflater::TFrameDeflater()
    : FStream(std::make_unique<z_stream>())
{
    const int result = deflateInit2(FStream.get(), CompressionLevel, Z_DEFLATED, WindowBits, MemoryLevel,
                                    Z_DEFAULT_STRATEGY);
    FReady = result == Z_OK;
    if (!FReady)
        FError = QStringLiteral("cannot start compression: %1").arg(ZlibText(*FStream, result));
}

TFrameDeflater::~TFrameDeflater()
{
    if (FReady)
        deflateEnd(FStream.get());
}

bool TFrameDeflater::CompressBlock(const char* Data, qsizetype Size, QByteArray& Out)
{
    if (!FReady)
        return false;
    z_stream& stream = *FStream;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data));
    stream.avail_in = uInt(Size);
    qsizetype start = Out.size();
    qsizetype room = qsizetype(deflateBound(&stream, uLong(Size))) + FlushMargin;
    for (;;) {
        Out.resize(start + room);
        stream.next_out = reinterpret_cast<Bytef*>(Out.data() + start);
        stream.avail_out = uInt(room);
        const int result = deflate(&stream, Z_SYNC_FLUSH);
        start += room - qsizetype(stream.avail_out);
        if (result != Z_OK && result != Z_BUF_ERROR) {
            Out.resize(start);
            FError = QStringLiteral("compression failed: %1").arg(ZlibText(stream, result));
            deflateEnd(&stream);
            FReady = false;
            return false;
        }
        // With a sync flush zlib is done once it leaves output room unused.
        if (stream.avail_out > 0 && stream.avail_in == 0)
            break;
        room = qMax<qsizetype>(room, 4096);
    }
    Out.resize(start);
    return true;
}

TRequestInflater::TRequestInflater()
    : FStream(std::make_unique<z_stream>())
{
    const int result = inflateInit2(FStream.get(), WindowBits);
    FReady = result == Z_OK;
    if (!FReady)
        FError = QStringLiteral("cannot start decompression: %1").arg(ZlibText(*FStream, result));
}

TRequestInflater::~TRequestInflater()
{
    if (FReady)
        inflateEnd(FStream.get());
}

bool TRequestInflater::Fail(const QString& Text)
{
    FError = Text;
    if (FReady)
        inflateEnd(FStream.get());
    FReady = false;
    return false;
}

bool TRequestInflater::Inflate(const char* Data, qsizetype Size, const TSink& Sink)
{
    if (!FReady)
        return false;
    if (Size <= 0)
        return true;
    if (FEnded)
        return Fail(QStringLiteral("bytes after the end of the zlib stream"));
    char chunk[ChunkSize];
    z_stream& stream = *FStream;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data));
    stream.avail_in = uInt(Size);
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = uInt(ChunkSize);
        const int result = inflate(&stream, Z_NO_FLUSH);
        const qsizetype produced = ChunkSize - qsizetype(stream.avail_out);
        if (result == Z_NEED_DICT)
            return Fail(QStringLiteral("the zlib stream asks for a preset dictionary"));
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
            return Fail(QStringLiteral("invalid zlib data: %1").arg(ZlibText(stream, result)));
        if (produced > 0 && !Sink(chunk, produced))
            return true;
        if (result == Z_STREAM_END) {
            FEnded = true;
            if (stream.avail_in > 0)
                return Fail(QStringLiteral("bytes after the end of the zlib stream"));
            return true;
        }
        // Done when the input is used up and zlib had output room to spare.
        if (stream.avail_in == 0 && stream.avail_out > 0)
            return true;
        if (result == Z_BUF_ERROR && produced == 0)
            return true; // no progress possible: a cut stream waits for more
    }
}
