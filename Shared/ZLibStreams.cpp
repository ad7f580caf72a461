#include "ZLibStreams.h"

#include <zlib.h>

namespace {

constexpr const char* Unit = "ZLibStreams";

// zlib levels by index: none, fastest, default, best.
constexpr int LevelByIndex[] = {Z_NO_COMPRESSION, Z_BEST_SPEED, Z_DEFAULT_COMPRESSION,
                                Z_BEST_COMPRESSION};
constexpr int WindowBits = 15;
constexpr int MemoryLevel = 8;

QString PendingLimitText()
{
    return QStringLiteral("decompressed data waiting to be processed exceeds %1 MiB")
        .arg(TZLibDecompressor::MaxPendingOutput / (1024 * 1024));
}

} // namespace

QString ZLibErrorText(int Code)
{
    switch (Code) {
    case Z_NEED_DICT: return QStringLiteral("need dictionary");
    case Z_ERRNO: return QStringLiteral("file error");
    case Z_STREAM_ERROR: return QStringLiteral("stream error");
    case Z_DATA_ERROR: return QStringLiteral("data error");
    case Z_MEM_ERROR: return QStringLiteral("insufficient memory");
    case Z_BUF_ERROR: return QStringLiteral("buffer error");
    case Z_VERSION_ERROR: return QStringLiteral("incompatible version");
    default: return QStringLiteral("zlib result %1").arg(Code);
    }
}

// ---------------------------------------------------------------------------

TZLibCompressor::TZLibCompressor(int LevelIndex)
    : FStream(std::make_unique<z_stream_s>())
{
    Assert(LevelIndex >= 0 && LevelIndex < int(std::size(LevelByIndex)), Unit);
    const int result = deflateInit2(FStream.get(), LevelByIndex[LevelIndex], Z_DEFLATED,
                                    WindowBits, MemoryLevel, Z_DEFAULT_STRATEGY);
    if (result != Z_OK) {
        FStream.reset(); // nothing to deflateEnd
        throw EZCompressionError(ZLibErrorText(result));
    }
}

TZLibCompressor::~TZLibCompressor()
{
    if (FStream)
        deflateEnd(FStream.get());
}

void TZLibCompressor::Write(const QByteArray& Data)
{
    if (Data.isEmpty() || FFailed)
        return;
    if (!FHeld.isEmpty())
        Pump(FHeld, Z_NO_FLUSH);
    FHeld = Data;
}

void TZLibCompressor::Flush()
{
    if (FHeld.isEmpty() || FFailed)
        return;
    const QByteArray held = FHeld;
    FHeld.clear();
    Pump(held, Z_SYNC_FLUSH);
}

// The inert rule keys on our own flag, set only when we raise: zlib's msg
// field is also filled by a "buffer error" that the pump tolerates (a pass
// made only because the previous one filled its block), and that must not
// silence the stream.
void TZLibCompressor::Pump(const QByteArray& Data, int FlushMode)
{
    if (FFailed)
        return;
    z_stream_s& z = *FStream;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.constData()));
    z.avail_in = uInt(Data.size());
    bool blockFilled = false;
    do {
        const qsizetype start = Output.size();
        Output.resize(start + ZLibBlockSize);
        z.next_out = reinterpret_cast<Bytef*>(Output.data() + start);
        z.avail_out = ZLibBlockSize;
        const int result = deflate(&z, FlushMode);
        const bool onlyDraining = blockFilled && z.avail_in == 0;
        Output.resize(start + (ZLibBlockSize - qsizetype(z.avail_out)));
        if (result < 0 && !(result == Z_BUF_ERROR && onlyDraining)) {
            FFailed = true;
            throw EZCompressionError(ZLibErrorText(result));
        }
        blockFilled = z.avail_out == 0;
    } while (z.avail_in > 0 || blockFilled);
    z.next_in = nullptr;
}

// ---------------------------------------------------------------------------

TZLibDecompressor::TZLibDecompressor()
    : FStream(std::make_unique<z_stream_s>())
{
    const int result = inflateInit(FStream.get());
    if (result != Z_OK) {
        FStream.reset();
        throw EZDecompressionError(ZLibErrorText(result));
    }
}

TZLibDecompressor::~TZLibDecompressor()
{
    if (FStream)
        inflateEnd(FStream.get());
}

void TZLibDecompressor::Fail(const QString& Message)
{
    FFailed = true;
    throw EZDecompressionError(Message);
}

void TZLibDecompressor::Write(const QByteArray& Data)
{
    if (FFailed || Data.isEmpty())
        return;
    if (FStreamEnded)
        Fail(QStringLiteral("data after the end of the compressed stream"));
    z_stream_s& z = *FStream;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.constData()));
    z.avail_in = uInt(Data.size());
    // Inflate into a separate block so that the pending limit is checked
    // before anything is appended: Output never holds more than the limit.
    char block[ZLibBlockSize];
    bool blockFilled = false;
    do {
        z.next_out = reinterpret_cast<Bytef*>(block);
        z.avail_out = ZLibBlockSize;
        const int result = inflate(&z, Z_SYNC_FLUSH);
        const bool onlyDraining = blockFilled && z.avail_in == 0;
        const qsizetype produced = ZLibBlockSize - qsizetype(z.avail_out);
        if (produced > 0) {
            if (Output.size() + produced > MaxPendingOutput)
                Fail(PendingLimitText());
            Output.append(block, produced);
        }
        if (result == Z_NEED_DICT)
            Fail(ZLibErrorText(result)); // would never make progress
        if (result < 0 && !(result == Z_BUF_ERROR && onlyDraining))
            Fail(ZLibErrorText(result));
        if (result == Z_STREAM_END) {
            FStreamEnded = true;
            if (z.avail_in > 0)
                Fail(QStringLiteral("data after the end of the compressed stream"));
            break;
        }
        blockFilled = z.avail_out == 0;
    } while (z.avail_in > 0 || blockFilled);
    z.next_in = nullptr;
}
