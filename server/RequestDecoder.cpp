#include "RequestDecoder.h"

#include <QtEndian>
#include <cstring>
#include <limits>

namespace {

const QByteArray MessageIdKey = QByteArrayLiteral("message_id");

// A decimal number from 1 to 2147483647 (leading zeros tolerated), or 0.
qint32 ParseMessageId(const QByteArray& Text)
{
    if (Text.isEmpty() || Text.size() > 10)
        return 0;
    qint64 value = 0;
    for (char c : Text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= std::numeric_limits<qint32>::max() ? qint32(value) : 0;
}

} // namespace

QString PrintableBytes(const QByteArray& Bytes, qsizetype MaxBytes)
{
    QString text;
    const qsizetype n = qMin(Bytes.size(), MaxBytes);
    for (qsizetype i = 0; i < n; ++i) {
        const uchar c = uchar(Bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\')
            text += QLatin1Char(char(c));
        else
            text += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
    }
    if (Bytes.size() > MaxBytes)
        text += QStringLiteral("...");
    return text;
}

// ---------------------------------------------------------------------------
// TModeSwitchReader

TModeSwitchReader::TResult TModeSwitchReader::Feed(const char* Data, qsizetype Size, qsizetype& Consumed)
{
    Consumed = 0;
    if (!FError.isEmpty())
        return TResult::Invalid;
    if (FDone)
        return TResult::Done;
    for (qsizetype i = 0; i < Size; ++i) {
        const uchar c = uchar(Data[i]);
        if (c == '\n') {
            Consumed = i + 1;
            const TResult result = FinishLine();
            if (result != TResult::NeedMore)
                return result;
            continue;
        }
        if ((c < 0x20 && c != '\r') || c >= 0x7F) {
            Consumed = i;
            FError = QStringLiteral("not the mode switch: byte \\x%1 in \"%2\"")
                         .arg(uint(c), 2, 16, QLatin1Char('0'))
                         .arg(PrintableBytes(FLine));
            return TResult::Invalid;
        }
        FLine += char(c);
        if (FLine.size() > MaxLineLength) {
            Consumed = i;
            FError = QStringLiteral("not the mode switch: a line longer than %1 bytes (\"%2\")")
                         .arg(MaxLineLength)
                         .arg(PrintableBytes(FLine));
            return TResult::Invalid;
        }
    }
    Consumed = Size;
    return TResult::NeedMore;
}

TModeSwitchReader::TResult TModeSwitchReader::FinishLine()
{
    QByteArray line = FLine;
    FLine.clear();
    if (line.endsWith('\r'))
        line.chop(1);
    QByteArray command, mode;
    bool wellFormed = true;
    for (const QByteArray& pair : line.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        const QByteArray key = pair.left(equals);
        const QByteArray value = equals < 0 ? QByteArray() : pair.mid(equals + 1);
        if (equals < 0 || (key != "command" && key != "mode"))
            wellFormed = false;
        else
            (key == "command" ? command : mode) = value;
    }
    if (wellFormed && mode == "zlib") {
        if (command == "set_output" && !FOutputSwitched) {
            FOutputSwitched = true;
            return TResult::NeedMore;
        }
        if (command == "set_input" && FOutputSwitched) {
            FDone = true;
            return TResult::Done;
        }
    }
    FError = QStringLiteral("not the mode switch: \"%1\"").arg(PrintableBytes(line));
    return TResult::Invalid;
}

// ---------------------------------------------------------------------------
// TDecodedRequest

QByteArray TDecodedRequest::Value(const QByteArray& Key) const
{
    for (const TMessagePair& pair : Pairs)
        if (pair.Key == Key)
            return pair.Value;
    return QByteArray();
}

// ---------------------------------------------------------------------------
// TRequestDecoder

qsizetype TRequestDecoder::HeldBytes() const
{
    return FRequestBytes + FLengthFill;
}

bool TRequestDecoder::Fail(const QString& Text)
{
    FError = Text;
    FString = QByteArray();
    FKey = QByteArray();
    FRequest = TDecodedRequest();
    FRequestBytes = 0;
    return false;
}

bool TRequestDecoder::FinishString()
{
    FReadingString = false;
    if (FInKey) {
        FKey = std::move(FString);
        FInKey = false;
    } else {
        if (FRequest.Pairs.size() >= MaxPairs)
            return Fail(QStringLiteral("request has more than %1 pairs").arg(MaxPairs));
        FRequest.Pairs.append(TMessagePair{std::move(FKey), std::move(FString)});
        FKey = QByteArray();
        FInKey = true;
    }
    FString = QByteArray();
    return true;
}

bool TRequestDecoder::Feed(const char* Data, qsizetype Size, const TRequestHandler& OnRequest)
{
    if (!FError.isEmpty())
        return false;
    qsizetype pos = 0;
    while (pos < Size) {
        if (FReadingString) {
            const qsizetype take = qMin<qsizetype>(FStringLength - FString.size(), Size - pos);
            FString.append(Data + pos, take);
            pos += take;
            if (FString.size() == FStringLength && !FinishString())
                return false;
            continue;
        }
        const qsizetype take = qMin<qsizetype>(4 - FLengthFill, Size - pos);
        std::memcpy(FLengthBytes + FLengthFill, Data + pos, size_t(take));
        FLengthFill += int(take);
        pos += take;
        if (FLengthFill < 4)
            break;
        FLengthFill = 0;
        const qint32 length = qFromLittleEndian<qint32>(FLengthBytes);
        if (length < 0)
            return Fail(QStringLiteral("negative string length %1").arg(length));
        if (length > MaxStringLength)
            return Fail(QStringLiteral("string length %1 exceeds the limit of %2 bytes")
                            .arg(length)
                            .arg(MaxStringLength));
        if (length == 0 && FInKey) {
            // A zero length in a key position ends the request.
            TDecodedRequest request = std::move(FRequest);
            FRequest = TDecodedRequest();
            FRequestBytes = 0;
            if (!request.Pairs.isEmpty() && request.Pairs.front().Key == MessageIdKey) {
                request.MessageId = ParseMessageId(request.Pairs.front().Value);
                request.InvalidMessageId = request.MessageId == 0;
            }
            if (!OnRequest(request))
                return true;
            continue;
        }
        FRequestBytes += 4 + length;
        if (FRequestBytes > MaxRequestBytes)
            return Fail(QStringLiteral("request exceeds the limit of %1 bytes").arg(MaxRequestBytes));
        FStringLength = length;
        FString = QByteArray();
        FString.reserve(length);
        FReadingString = true;
        if (length == 0 && !FinishString()) // an empty value
            return false;
    }
    return true;
}
