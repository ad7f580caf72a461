// Everything the client and the alert server exchange, byte for byte.
//
// Wire format (int32 = 32-bit signed, little-endian; string = int32 length
// followed by that many bytes, any byte value allowed):
//
//   client stream  = ModeSwitchText zlib-stream(request*)
//                    ; the zlib stream is never finished; every block the
//                    ; client hands to the transport ends at a sync-flush
//                    ; point (00 00 FF FF)
//   request        = [ "message_id" decimal-id ] pair* int32(0)
//                    ; "message_id" is present exactly when id > 0, then first
//   pair           = string(Key) string(Value)     ; Key is never empty
//   server stream  = zlib-stream(frame*)           ; from the very first byte
//   frame          = int32(Id) int32(Length) Length*byte(Payload)
//
// A zero length in a key position ends a request; a zero length in a value
// position is an empty value. Frame boundaries do not depend on how the bytes
// arrive. A frame length that is negative or above MaxFrameLength is invalid
// data (EInvalidFrame).
#pragma once

#include "Exceptions.h"

#include <QByteArray>
#include <QList>
#include <QLocale>
#include <QString>
#include <QVariant>
#include <charconv>
#include <functional>
#include <memory>
#include <type_traits>

// ---------------------------------------------------------------------------
// Messages

struct TMessagePair {
    QByteArray Key;
    QByteArray Value;
    friend bool operator==(const TMessagePair&, const TMessagePair&) = default;
};

// One request: pairs in sending order. Keys need not be unique; a pair with an
// empty Key is never sent. Copied by value.
using TMessageToServer = QList<TMessagePair>;

// A counted string of at most 255 bytes. Longer data fails the assertion of
// unit "TalkWithServer" (a fault of the caller: it would not fit).
class TShortString {
public:
    static constexpr qsizetype MaxLength = 255;
    TShortString() = default;
    explicit TShortString(const QByteArray& Bytes);
    explicit TShortString(const char* Text);
    const QByteArray& Bytes() const { return FBytes; }

private:
    QByteArray FBytes;
};

// Money: a 64-bit fixed-point number with four decimal places.
class TCurrency {
public:
    static constexpr qint64 Scale = 10000;
    constexpr TCurrency() = default;
    // 12.5 is FromRaw(125000).
    static constexpr TCurrency FromRaw(qint64 TenThousandths)
    {
        TCurrency c;
        c.FRaw = TenThousandths;
        return c;
    }
    constexpr qint64 Raw() const { return FRaw; }
    // General decimal form: no trailing zeros, no decimal separator for whole
    // amounts, the user's decimal separator otherwise ("-0.0001", "12.5", "3").
    QByteArray ToText() const;

private:
    qint64 FRaw = 0;
};

namespace TalkWithServerDetail {
template <typename T>
inline constexpr bool AlwaysFalse = false;

template <typename T>
inline constexpr bool IsFieldType =
    std::is_same_v<T, qint32> || std::is_same_v<T, qint64> || std::is_same_v<T, bool>
    || std::is_same_v<T, char> || std::is_same_v<T, long double>
    || std::is_same_v<T, TShortString> || std::is_same_v<T, const char*>
    || std::is_same_v<T, char*> || std::is_same_v<T, QByteArray>
    || std::is_same_v<T, TCurrency> || std::is_same_v<T, QVariant>;

QByteArray FloatText(long double Value);
QByteArray CStringText(const char* Value);
QByteArray VariantText(const QVariant& Value);
} // namespace TalkWithServerDetail

// True for exactly the kinds BuildMessage accepts (after array-to-pointer
// decay, so string literals count as const char*): qint32, qint64, bool, char,
// long double, TShortString, const char*, QByteArray, TCurrency, QVariant.
// Deliberately not: double, other integer widths, unsigned types, QString,
// std::string, other pointers.
template <typename T>
inline constexpr bool IsMessageFieldType =
    TalkWithServerDetail::IsFieldType<std::decay_t<T>>;

// The text one value becomes:
//   integers   decimal, "-" for negatives
//   bool       "1" / "0"
//   char       that one byte
//   long double general form, at most 15 significant digits, no trailing
//              zeros, the user's decimal separator (QLocale::system());
//              exponent form "1e+20" outside the fixed range
//   C string   its bytes up to the terminating zero (a null pointer is empty)
//   TShortString, QByteArray  unchanged
//   TCurrency  TCurrency::ToText
//   QVariant   a QByteArray as it is, anything else QVariant::toString in UTF-8
template <typename T>
QByteArray MessageFieldText(const T& Value)
{
    using V = std::decay_t<T>;
    static_assert(TalkWithServerDetail::IsFieldType<V>, "Unknown field type.");
    if constexpr (std::is_same_v<V, bool>)
        return Value ? QByteArray("1") : QByteArray("0");
    else if constexpr (std::is_same_v<V, char>)
        return QByteArray(1, Value);
    else if constexpr (std::is_same_v<V, qint32> || std::is_same_v<V, qint64>)
        return QByteArray::number(Value);
    else if constexpr (std::is_same_v<V, long double>)
        return TalkWithServerDetail::FloatText(Value);
    else if constexpr (std::is_same_v<V, const char*> || std::is_same_v<V, char*>)
        return TalkWithServerDetail::CStringText(Value);
    else if constexpr (std::is_same_v<V, TShortString>)
        return Value.Bytes();
    else if constexpr (std::is_same_v<V, QByteArray>)
        return Value;
    else if constexpr (std::is_same_v<V, TCurrency>)
        return Value.ToText();
    else if constexpr (std::is_same_v<V, QVariant>)
        return TalkWithServerDetail::VariantText(Value);
    else
        static_assert(TalkWithServerDetail::AlwaysFalse<V>, "Unknown field type.");
}

// Builds a message from alternating keys and values:
//   BuildMessage("command", "ping", "response", '1')
// An odd count, or any value of a kind outside IsMessageFieldType, does not
// compile.
template <typename... Args>
TMessageToServer BuildMessage(const Args&... Values)
{
    static_assert(sizeof...(Args) % 2 == 0,
                  "Assertion failure: BuildMessage takes an even number of values "
                  "(key, value, key, value ...).");
    static_assert((IsMessageFieldType<Args> && ...), "Unknown field type.");
    const QByteArray texts[] = {QByteArray(), MessageFieldText(Values)...};
    TMessageToServer message;
    message.reserve(qsizetype(sizeof...(Args) / 2));
    for (std::size_t i = 1; i + 1 < std::size(texts); i += 2)
        message.append(TMessagePair{texts[i], texts[i + 1]});
    return message;
}

// True when no pair has a non-empty Key (a message with no pairs is empty).
bool IsEmptyMessage(const TMessageToServer& Message);

// The request bytes before compression (grammar above). Id > 0 adds the
// leading "message_id" pair; 0 (or less) sends none.
QByteArray EncodeMessage(const TMessageToServer& Message, qint32 Id);

// One-line form for diagnostics: ("command" --> "ping", "response" --> "1");
// every pair, also those with an empty key; "()" for no pairs.
QByteArray MessageToText(const TMessageToServer& Message);

// "command=set_output&mode=zlib\r\ncommand=set_input&mode=zlib\r\n": the 59
// plain bytes that open every connection.
QByteArray ModeSwitchText();

// ---------------------------------------------------------------------------
// Frames

// A frame header announces more than this many payload bytes: invalid.
inline constexpr qint32 MaxFrameLength = 64 * 1024 * 1024;
inline constexpr qsizetype FrameHeaderSize = 8;

struct TFrame {
    qint32 Id = 0;
    QByteArray Payload;
    friend bool operator==(const TFrame&, const TFrame&) = default;
};

// A frame header with a negative length or one above MaxFrameLength. The
// message names the length ("negative frame length -3").
BRENIK_DECLARE_EXCEPTION(EInvalidFrame, Exception)

// Looks at the front of Buffer without changing it. When a complete frame is
// there, fills Frame and returns its size on the wire (header + payload);
// returns 0 when the front holds fewer than 8 bytes or an incomplete frame.
// Raises EInvalidFrame when the header at the front is invalid.
qsizetype PeekFrame(const QByteArray& Buffer, TFrame& Frame);

// Removes the complete frames at the front of Buffer and returns them in
// order; an incomplete tail stays for the next call. When an invalid header
// follows good frames, the good frames are returned and the invalid header
// stays at the front, so the next call raises EInvalidFrame at once without
// consuming anything. Never reads outside Buffer.
QList<TFrame> ExtractFrames(QByteArray& Buffer);

// ---------------------------------------------------------------------------
// The conversation

class TGenericServerConnection;
class TWakeMeSoon;
class TZLibCompressor;
class TZLibDecompressor;

// Receives the answers to one request: Success, the answer payload (empty on
// failure) and a copy of the request. Must not destroy the conversation that
// calls it (should one do so anyway, the conversation touches nothing more of
// itself and the frames still waiting are dropped) and must not run a nested
// event loop.
using TResponseCallback =
    std::function<void(bool Success, const QByteArray& Response, const TMessageToServer& Message)>;

// Names a request sent with a callback. Id 0 means the request had none.
// Sequence tells apart successive requests that used the same identifier.
struct TMessageHandle {
    qint32 Id = 0;
    qint64 Sequence = 0;
    friend bool operator==(const TMessageHandle&, const TMessageHandle&) = default;
};

// One slot of the table of waiting requests; an empty Message marks it free.
struct TPendingResponse {
    TMessageToServer Message;
    qint64 Sequence = 0;
    TResponseCallback Callback; // unset after CancelCallback; the slot stays taken
    bool Standing = false;      // keeps receiving every frame with its identifier
};

enum TConnectionState { csNotConnected, csConnected, csClosed };

// One conversation with the alert server over one connection, used once:
// csNotConnected -> (csConnected) -> csClosed; a closed conversation is never
// reopened.
//
// Requests may be sent from construction on; until the transport is connected
// their compressed bytes wait behind the mode switch and then leave in one
// transport Send. Everything written during one turn of the event loop leaves
// as one compressed block ending at a sync-flush point.
//
// A request sent with a callback takes the highest free slot of the table of
// waiting requests (the table grows 8, 16, 32 ... and never shrinks), so from
// an empty table identifiers run 1, 8, 7, ..., 2, 9, 16, 15, ...; a freed slot
// is reused first. Each answer frame goes to the callback of the slot its
// identifier names; a one-shot slot is freed by its first answer, a standing
// one receives every frame with its identifier. When the conversation ends,
// every callback still registered is called once with Success false (standing
// ones included).
//
// Answers the conversation cannot use (unknown identifiers) are dropped;
// undecodable server data ends the conversation with DisconnectReason
// "Invalid data from server: " + the error text and one ReportException.
//
// Owns its transport, flush scheduler, compressor and decompressor. GUI thread
// only; callbacks run synchronously inside SendMessage (immediate failures),
// Connect, the transport's events, Shutdown and the destructor.
class TTalkWithServer {
public:
    // Network port used when ServerAddress has no ":".
    static constexpr const char* DefaultPort = "8888";
    // Slots the table of waiting requests starts with once it is needed.
    static constexpr qsizetype InitialTableSize = 8;

    // Holds the mode switch; DisconnectReason "Unable to connect to server.".
    TTalkWithServer();
    // Shuts down first when not closed yet (failing every waiting callback).
    ~TTalkWithServer();
    TTalkWithServer(const TTalkWithServer&) = delete;
    TTalkWithServer& operator=(const TTalkWithServer&) = delete;

    // Settings: written between construction and Connect.
    QString SocksUsercode;
    QString SocksPassword;
    QString SocksServer;
    qint32 SocksLevel = 0; // 4 or 5 turns SOCKS on; anything else leaves it off
    qint32 SocksPort = 0;
    QString ProxyUsername;
    QString ProxyPassword;
    QString Proxy;
    qint32 ProxyPort = 0;
    qint32 RequestTimeout = 0; // milliseconds
    // Non-zero selects the HTTP tunnel, which this build does not have:
    // Connect then ends the conversation at once with the reason
    // "HTTP tunnel transport is not available.".
    qint32 UseHttpTunnel = 0;
    QString HttpTunnelUrl;
    // Host, ":" and port; without ":" the whole text is the host and the port
    // is DefaultPort; a trailing ":" gives an empty port.
    QString ServerAddress;

    // Events; each is tested for being set before it is raised.
    std::function<void()> OnConnected;
    std::function<void()> OnDisconnected; // may be raised more than once
    // Called ahead of every response callback that receives an answer, and
    // ahead of the failure call of one-shot requests (not of standing ones).
    TResponseCallback OnResponse;
    std::function<void(const QString& Text)> OnLog; // transport error texts

    // Opens the connection; once, in csNotConnected. A second call fails the
    // assertion of unit "TalkWithServer". When the transport fails at once the
    // conversation is closed (every waiting callback failed) on return.
    void Connect();

    // Queues Message. With a Callback the request takes a slot and carries
    // its identifier; without one it carries none and the handle is (0, 0).
    // On a closed conversation, or for an empty message, nothing is written
    // and the Callback (if any) gets its failure call before this returns.
    TMessageHandle SendMessage(const TMessageToServer& Message, bool Standing = false,
                               TResponseCallback Callback = {});

    // Forgets the callback of the request Handle names, if its slot still
    // belongs to that request; the slot stays taken until its answer arrives.
    void CancelCallback(const TMessageHandle& Handle);

    TConnectionState State() const { return FState; }
    // Why the conversation ended, or would end if it ended now.
    const QString& DisconnectReason() const { return FDisconnectReason; }

    // For diagnostics and tests.
    TGenericServerConnection* Transport() const { return FTransport.get(); }
    qsizetype TableSize() const { return FTable.size(); }
    qsizetype WaitingCount() const;
    // The process-wide sequence counter: the Sequence the next request with a
    // callback will get. Shared by all conversations; starts at 0.
    static qint64 NextSequence();
    // Splits a ServerAddress into host and port as Connect does.
    static void SplitServerAddress(const QString& Address, QString& Host, QString& Port);

private:
    void SendRaw(const QByteArray& Bytes);
    void WriteCompressed(const QByteArray& Bytes);
    void FlushOutput();
    void Shutdown();
    void ServerConnectionSessionConnected(TGenericServerConnection* Sender);
    void ServerConnectionSessionClosed(TGenericServerConnection* Sender);
    void ServerConnectionDataAvailable(TGenericServerConnection* Sender);
    void ServerConnectionErrorMessage(TGenericServerConnection* Sender, const QString& Text);
    // Returns false when the conversation was destroyed by a callback.
    bool ProcessFrames(TGenericServerConnection* Sender);
    void InvalidData(const std::exception& E, TGenericServerConnection* Sender);
    bool SendGoodResponse(qint32 Id, const QByteArray& Payload);
    bool SendErrorResponse(const TMessageToServer& Message, bool Standing,
                           const TResponseCallback& Callback);

    std::unique_ptr<TGenericServerConnection> FTransport; // created by Connect
    std::unique_ptr<TWakeMeSoon> FFlushScheduler;
    QByteArray FHeldOutput; // bytes for the server while not yet connected
    std::unique_ptr<TZLibCompressor> FCompressor;
    std::unique_ptr<TZLibDecompressor> FDecompressor; // its Output is the frame buffer
    TConnectionState FState = csNotConnected;
    QString FDisconnectReason;
    QList<TPendingResponse> FTable;
    bool FInvalidData = false; // the server's stream was found broken
    // Expires with the conversation, so that loops that call out can tell
    // when a callback destroyed it and touch nothing more.
    std::shared_ptr<char> FAlive = std::make_shared<char>(0);
};
