// The two zlib streams of one server conversation.
//
// TZLibCompressor makes the client-to-server stream (zlib format, window bits
// 15, memory level 8, default strategy) and TZLibDecompressor reads the
// server-to-client stream. Each object keeps its one stream open for its whole
// life and never finishes it; a new connection gets new objects.
//
// Both objects append what they produce to their public Output, which the
// owner reads and shortens directly (the conversation clears the compressor's
// Output after handing it to the transport, and uses the decompressor's Output
// as its frame buffer).
//
// Errors are raised as EZCompressionError / EZDecompressionError, both
// EZLibError, with zlib's text for the failing result code as the message
// ("data error", "stream error", ...). Bytes produced before an error stay in
// Output. After an error has been raised the object is inert: every later
// Write or Flush does nothing and raises nothing.
//
// Used only from the GUI thread.
#pragma once

#include "Exceptions.h"

#include <QByteArray>
#include <QString>
#include <memory>

struct z_stream_s;

BRENIK_DECLARE_EXCEPTION(EZLibError, Exception)
BRENIK_DECLARE_EXCEPTION(EZCompressionError, EZLibError)
BRENIK_DECLARE_EXCEPTION(EZDecompressionError, EZLibError)

// zlib's own text for a result code: -1 "file error", -2 "stream error",
// -3 "data error", -4 "insufficient memory", -5 "buffer error",
// -6 "incompatible version"; 2 "need dictionary".
QString ZLibErrorText(int Code);

// Size of each output block the pumps hand to zlib.
inline constexpr int ZLibBlockSize = 4096;

class TZLibCompressor {
public:
    // Level index 0 = no compression, 1 = fastest, 2 = zlib's default (6),
    // 3 = best. Anything else fails the assertion of unit "ZLibStreams".
    static constexpr int DefaultLevelIndex = 2;

    // Opens the deflate stream; EZCompressionError when zlib refuses.
    explicit TZLibCompressor(int LevelIndex = DefaultLevelIndex);
    // Closes the stream; whatever is held or in Output is dropped.
    ~TZLibCompressor();
    TZLibCompressor(const TZLibCompressor&) = delete;
    TZLibCompressor& operator=(const TZLibCompressor&) = delete;

    // Holds Data back and compresses the piece held before it, so that the
    // last piece before a Flush is compressed together with the sync flush.
    // Empty Data changes nothing.
    void Write(const QByteArray& Data);
    // Compresses the held piece with a sync flush: Output then ends at a
    // sync-flush point (00 00 FF FF) and holds everything written so far.
    // With nothing held it does nothing (no flush marker is produced).
    void Flush();

    // The piece written last and not yet given to zlib.
    const QByteArray& Held() const { return FHeld; }
    bool Failed() const { return FFailed; }

    // Compressed bytes not yet taken by the owner.
    QByteArray Output;

private:
    void Pump(const QByteArray& Data, int FlushMode);

    std::unique_ptr<z_stream_s> FStream;
    QByteArray FHeld;
    bool FFailed = false;
};

class TZLibDecompressor {
public:
    // Most decompressed bytes the object keeps waiting in Output. A stream
    // that would grow Output past this (a "zip bomb", or a reader that never
    // takes its frames) raises EZDecompressionError instead.
    static constexpr qsizetype MaxPendingOutput = qsizetype(128) * 1024 * 1024;

    // Opens the inflate stream; EZDecompressionError when zlib refuses.
    TZLibDecompressor();
    ~TZLibDecompressor();
    TZLibDecompressor(const TZLibDecompressor&) = delete;
    TZLibDecompressor& operator=(const TZLibDecompressor&) = delete;

    // Decompresses all of Data onto the end of Output. Data may cut the
    // stream anywhere. Raises EZDecompressionError for input that is not a
    // valid zlib stream, for a stream that needs a preset dictionary, for any
    // byte after the end of the stream, and when Output would exceed
    // MaxPendingOutput; what was decompressed before the fault stays in Output.
    void Write(const QByteArray& Data);

    bool Failed() const { return FFailed; }
    // The server finished its stream (it never should while connected).
    bool StreamEnded() const { return FStreamEnded; }

    // Decompressed bytes not yet consumed by the owner.
    QByteArray Output;

private:
    [[noreturn]] void Fail(const QString& Message);

    std::unique_ptr<z_stream_s> FStream;
    bool FFailed = false;
    bool FStreamEnded = false;
};
