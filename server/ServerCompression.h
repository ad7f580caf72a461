// The server's ends of the two zlib streams of a connection, used straight on
// zlib rather than through the client's stream wrappers: the server compresses
// a whole turn's frames with one deflate call and inflates the client's
// stream in fixed chunks handed on at once, so nothing inflated piles up.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

struct z_stream_s;

// The server-to-client stream (zlib format, 32 KiB window). Every block ends
// at a sync-flush point, so the client can decode everything it has got.
class TFrameDeflater {
public:
    // The server compresses the same alerts once per connection: speed counts
    // for more than the last per cent of size.
    static constexpr int CompressionLevel = 1;

    TFrameDeflater();
    ~TFrameDeflater();
    TFrameDeflater(const TFrameDeflater&) = delete;
    TFrameDeflater& operator=(const TFrameDeflater&) = delete;

    // Compresses Size bytes with a sync flush and appends the result to Out.
    // False when zlib fails (Error() tells why); the stream is then unusable.
    bool CompressBlock(const char* Data, qsizetype Size, QByteArray& Out);
    const QString& Error() const { return FError; }

private:
    std::unique_ptr<z_stream_s> FStream;
    bool FReady = false;
    QString FError;
};

// The client-to-server stream.
class TRequestInflater {
public:
    static constexpr qsizetype ChunkSize = 16 * 1024;
    // Receives each chunk of inflated bytes; returning false stops inflating
    // (the rest of the input is ignored).
    using TSink = std::function<bool(const char* Data, qsizetype Size)>;

    TRequestInflater();
    ~TRequestInflater();
    TRequestInflater(const TRequestInflater&) = delete;
    TRequestInflater& operator=(const TRequestInflater&) = delete;

    // Inflates all of Data (which may cut the stream anywhere). False for
    // input that is not a valid zlib stream, one that needs a preset
    // dictionary, or any byte after the end of the stream; Error() tells why
    // and later calls fail at once. Chunks inflated before a fault have been
    // handed to the sink.
    bool Inflate(const char* Data, qsizetype Size, const TSink& Sink);
    bool StreamEnded() const { return FEnded; }
    const QString& Error() const { return FError; }

private:
    bool Fail(const QString& Text);

    std::unique_ptr<z_stream_s> FStream;
    bool FReady = false;
    bool FEnded = false;
    QString FError;
};
