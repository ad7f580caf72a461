// The server's reading side of the wire: the plain-text mode switch that opens
// a connection, and the requests inside the client's (already inflated)
// stream. Both readers take their input in arbitrary pieces - a line or a
// length field may be cut anywhere - and hold only what an unfinished item
// needs, so a client cannot make them hold more than the limits below.
#pragma once

#include "TalkWithServer.h"

#include <QByteArray>
#include <QString>
#include <functional>

// Reads the mode switch: lines of key=value pairs joined by "&", each ended by
// LF (CR LF accepted). It must be "command=set_output&mode=zlib" and then
// "command=set_input&mode=zlib"; the byte after the second line starts the
// client's zlib stream. Anything else - another command, another mode, a
// control byte, an over-long line - is invalid and the connection is not one
// of ours.
class TModeSwitchReader {
public:
    static constexpr qsizetype MaxLineLength = 256;
    enum class TResult { NeedMore, Done, Invalid };

    // Consumes bytes from the front of Data. Done: Consumed is the number of
    // bytes that belonged to the mode switch (the rest is compressed input).
    // NeedMore: all of Data was consumed. Invalid: see Error(); the reader
    // stays invalid.
    TResult Feed(const char* Data, qsizetype Size, qsizetype& Consumed);
    const QString& Error() const { return FError; }

private:
    TResult FinishLine();

    QByteArray FLine;
    bool FOutputSwitched = false;
    bool FDone = false;
    QString FError;
};

// One decoded request.
struct TDecodedRequest {
    // From a leading "message_id" pair with a decimal value from 1 to
    // 2147483647; 0 when there is none. The pair itself stays in Pairs.
    qint32 MessageId = 0;
    // A leading "message_id" whose value is not such a number.
    bool InvalidMessageId = false;
    // Every pair as received, in order.
    TMessageToServer Pairs;

    // The value of the first pair with this key; empty when there is none.
    QByteArray Value(const QByteArray& Key) const;
};

// Cuts the inflated client stream into requests: string = int32 LE length and
// that many bytes; a request is key, value, key, value ... and a zero length
// in a key position ends it (in a value position it is an empty value).
// A negative length, a string above MaxStringLength, a request with more than
// MaxPairs pairs or more than MaxRequestBytes bytes is invalid input.
class TRequestDecoder {
public:
    static constexpr qint32 MaxStringLength = 64 * 1024;
    static constexpr qsizetype MaxPairs = 256;
    static constexpr qsizetype MaxRequestBytes = 1024 * 1024;

    // Called for each complete request, in order. Returning false stops the
    // decoding of the rest of this piece (the connection no longer wants
    // requests); the decoder then must not be fed again.
    using TRequestHandler = std::function<bool(TDecodedRequest& Request)>;

    // False when the input is invalid (Error() tells why); requests completed
    // before the fault have been handed over. The decoder stays invalid.
    bool Feed(const char* Data, qsizetype Size, const TRequestHandler& OnRequest);
    const QString& Error() const { return FError; }
    // Bytes of an unfinished request held until more input arrives.
    qsizetype HeldBytes() const;

private:
    bool Fail(const QString& Text);
    bool FinishString();

    char FLengthBytes[4] = {};
    int FLengthFill = 0;
    bool FReadingString = false; // false: reading a length field
    qint32 FStringLength = 0;
    QByteArray FString;
    bool FInKey = true;
    QByteArray FKey;
    TDecodedRequest FRequest;
    qsizetype FRequestBytes = 0;
    QString FError;
};

// Bytes as readable text for log lines: printable ASCII as it is, everything
// else as \xNN, cut after MaxBytes bytes with "...".
QString PrintableBytes(const QByteArray& Bytes, qsizetype MaxBytes = 40);
