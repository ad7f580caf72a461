#include "TalkWithServer.h"

#include "GenericServerConnection.h"
#include "MiscDebugWindows.h"
#include "SocketServerConnections.h"
#include "WakeMeSoon.h"
#include "ZLibStreams.h"

#include <QtEndian>
#include <array>
#include <exception>

namespace {

constexpr const char* Unit = "TalkWithServer";

// The user's decimal separator as bytes for the wire.
QByteArray DecimalSeparator()
{
    return QLocale::system().decimalPoint().toUtf8();
}

void PutInt32(QByteArray& Out, qint32 Value)
{
    char bytes[4];
    qToLittleEndian(Value, bytes);
    Out.append(bytes, 4);
}

void PutString(QByteArray& Out, const QByteArray& Text)
{
    PutInt32(Out, qint32(Text.size()));
    Out.append(Text);
}

qint32 GetInt32(const QByteArray& Buffer, qsizetype Offset)
{
    return qFromLittleEndian<qint32>(Buffer.constData() + Offset);
}

} // namespace

// ---------------------------------------------------------------------------
// Field texts

TShortString::TShortString(const QByteArray& Bytes)
    : FBytes(Bytes)
{
    Assert(FBytes.size() <= MaxLength, Unit);
}

TShortString::TShortString(const char* Text)
    : TShortString(Text ? QByteArray(Text) : QByteArray())
{
}

QByteArray TCurrency::ToText() const
{
    // Unsigned arithmetic so that the most negative amount has a magnitude.
    const bool negative = FRaw < 0;
    const quint64 magnitude = negative ? quint64(0) - quint64(FRaw) : quint64(FRaw);
    QByteArray text = negative ? QByteArray("-") : QByteArray();
    text += QByteArray::number(magnitude / quint64(Scale));
    quint64 fraction = magnitude % quint64(Scale);
    if (fraction != 0) {
        QByteArray digits = QByteArray::number(fraction).rightJustified(4, '0');
        while (digits.endsWith('0'))
            digits.chop(1);
        text += DecimalSeparator() + digits;
    }
    return text;
}

namespace TalkWithServerDetail {

QByteArray FloatText(long double Value)
{
    constexpr int SignificantDigits = 15;
    std::array<char, 64> buffer{};
    // to_chars is independent of the C locale, which QCoreApplication sets
    // from the environment; the user's separator is put in afterwards.
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), Value,
                                      std::chars_format::general, SignificantDigits);
    QByteArray text(buffer.data(), result.ptr - buffer.data());
    const qsizetype point = text.indexOf('.');
    if (point >= 0)
        text.replace(point, 1, DecimalSeparator());
    return text;
}

QByteArray CStringText(const char* Value)
{
    return Value ? QByteArray(Value) : QByteArray();
}

QByteArray VariantText(const QVariant& Value)
{
    if (Value.typeId() == QMetaType::QByteArray)
        return Value.toByteArray();
    return Value.toString().toUtf8();
}

} // namespace TalkWithServerDetail

// ---------------------------------------------------------------------------
// Messages

bool IsEmptyMessage(const TMessageToServer& Message)
{
    for (const TMessagePair& pair : Message)
        if (!pair.Key.isEmpty())
            return false;
    return true;
}

QByteArray EncodeMessage(const TMessageToServer& Message, qint32 Id)
{
    QByteArray out;
    if (Id > 0) {
        PutString(out, QByteArrayLiteral("message_id"));
        PutString(out, QByteArray::number(Id));
    }
    for (const TMessagePair& pair : Message) {
        if (pair.Key.isEmpty())
            continue;
        PutString(out, pair.Key);
        PutString(out, pair.Value);
    }
    PutInt32(out, 0);
    return out;
}

QByteArray MessageToText(const TMessageToServer& Message)
{
    QByteArray text("(");
    bool first = true;
    for (const TMessagePair& pair : Message) {
        if (!first)
            text += ", ";
        first = false;
        text += '"' + pair.Key + "\" --> \"" + pair.Value + '"';
    }
    text += ')';
    return text;
}

QByteArray ModeSwitchText()
{
    return QByteArrayLiteral("command=set_output&mode=zlib\r\ncommand=set_input&mode=zlib\r\n");
}

// ---------------------------------------------------------------------------
// Frames

qsizetype PeekFrame(const QByteArray& Buffer, TFrame& Frame)
{
    if (Buffer.size() < FrameHeaderSize)
        return 0;
    const qint32 length = GetInt32(Buffer, 4);
    if (length < 0)
        throw EInvalidFrame(QStringLiteral("negative frame length %1").arg(length));
    if (length > MaxFrameLength)
        throw EInvalidFrame(QStringLiteral("frame length %1 exceeds %2 MiB")
                                .arg(length)
                                .arg(MaxFrameLength / (1024 * 1024)));
    const qsizetype size = FrameHeaderSize + length;
    if (Buffer.size() < size)
        return 0;
    Frame.Id = GetInt32(Buffer, 0);
    Frame.Payload = Buffer.mid(FrameHeaderSize, length);
    return size;
}

QList<TFrame> ExtractFrames(QByteArray& Buffer)
{
    QList<TFrame> frames;
    qsizetype consumed = 0;
    for (;;) {
        TFrame frame;
        qsizetype size = 0;
        try {
            // Frames are cut from a view of the unconsumed tail; the buffer is
            // shortened once at the end.
            size = PeekFrame(QByteArray::fromRawData(Buffer.constData() + consumed,
                                                     Buffer.size() - consumed),
                             frame);
        } catch (const EInvalidFrame&) {
            if (frames.isEmpty())
                throw;
            break; // hand over the good frames; the next call raises
        }
        if (size == 0)
            break;
        frame.Payload.detach(); // do not keep pointing into Buffer
        frames.append(std::move(frame));
        consumed += size;
    }
    Buffer.remove(0, consumed);
    return frames;
}

// ---------------------------------------------------------------------------
// The conversation

namespace {

// Stands for anything thrown that is not a std::exception, so that it is
// reported like any other failure instead of escaping into the event loop.
BRENIK_DECLARE_EXCEPTION(EUnknownCallbackException, Exception)

const char* const DataAvailableLocation = "TalkWithServer, TTalkWithServer.ServerConnectionDataAvailable";
const char* const DisconnectedLocation = "TalkWithServer, TTalkWithServer.Shutdown";

// Process-wide: successive requests on all conversations get distinct numbers.
qint64 SequenceCounter = 0;

QString LocationWithMessage(const char* Method, const TMessageToServer& Message)
{
    return QString::fromLatin1(Method) + QStringLiteral(", ") + QString::fromUtf8(MessageToText(Message));
}

// Runs Call; reports whatever it raises at the location that Location()
// builds (only when needed: answers are frequent, failures rare) and goes on.
template <typename F, typename L>
void CallReporting(F&& Call, L&& Location)
{
    try {
        Call();
    } catch (const std::exception& e) {
        ReportException(e, Location());
    } catch (...) {
        ReportException(EUnknownCallbackException(QStringLiteral("Unknown exception")), Location());
    }
}

} // namespace

TTalkWithServer::TTalkWithServer()
    : FFlushScheduler(std::make_unique<TWakeMeSoon>()),
      FCompressor(std::make_unique<TZLibCompressor>(TZLibCompressor::DefaultLevelIndex)),
      FDecompressor(std::make_unique<TZLibDecompressor>()),
      FDisconnectReason(QStringLiteral("Unable to connect to server."))
{
    FFlushScheduler->OnWakeUp = [this] { FlushOutput(); };
    SendRaw(ModeSwitchText());
}

TTalkWithServer::~TTalkWithServer()
{
    if (FState != csClosed)
        Shutdown();
    // The transport may report its closing once more while it goes; that
    // runs Shutdown again, which finds nothing left to fail.
    FTransport.reset();
    FAlive.reset();
}

qint64 TTalkWithServer::NextSequence()
{
    return SequenceCounter;
}

qsizetype TTalkWithServer::WaitingCount() const
{
    qsizetype count = 0;
    for (const TPendingResponse& slot : FTable)
        if (!slot.Message.isEmpty())
            ++count;
    return count;
}

void TTalkWithServer::SplitServerAddress(const QString& Address, QString& Host, QString& Port)
{
    const qsizetype colon = Address.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        Host = Address;
        Port = QString::fromLatin1(DefaultPort);
    } else {
        Host = Address.left(colon);
        Port = Address.mid(colon + 1);
    }
}

void TTalkWithServer::SendRaw(const QByteArray& Bytes)
{
    if (Bytes.isEmpty())
        return;
    switch (FState) {
    case csNotConnected: FHeldOutput += Bytes; break;
    case csConnected: FTransport->Send(Bytes); break;
    case csClosed: break;
    }
}

void TTalkWithServer::WriteCompressed(const QByteArray& Bytes)
{
    FCompressor->Write(Bytes);
    FFlushScheduler->Request();
}

void TTalkWithServer::FlushOutput()
{
    FCompressor->Flush();
    const QByteArray block = FCompressor->Output;
    FCompressor->Output.clear();
    SendRaw(block);
}

TMessageHandle TTalkWithServer::SendMessage(const TMessageToServer& Message, bool Standing,
                                            TResponseCallback Callback)
{
    if (FState == csClosed || IsEmptyMessage(Message)) {
        if (Callback)
            SendErrorResponse(Message, Standing, Callback);
        return {};
    }
    TMessageHandle handle;
    if (Callback) {
        qsizetype slot = -1;
        for (qsizetype i = FTable.size() - 1; i >= 0; --i) {
            if (FTable[i].Message.isEmpty()) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            slot = FTable.size();
            FTable.resize(qMax(InitialTableSize, 2 * slot));
        }
        TPendingResponse& pending = FTable[slot];
        pending.Message = Message;
        pending.Callback = std::move(Callback);
        pending.Standing = Standing;
        pending.Sequence = SequenceCounter++;
        handle.Id = qint32(slot + 1);
        handle.Sequence = pending.Sequence;
    }
    WriteCompressed(EncodeMessage(Message, handle.Id));
    return handle;
}

void TTalkWithServer::CancelCallback(const TMessageHandle& Handle)
{
    if (Handle.Id < 1 || Handle.Id > FTable.size())
        return;
    TPendingResponse& slot = FTable[Handle.Id - 1];
    if (slot.Sequence == Handle.Sequence)
        slot.Callback = nullptr;
}

void TTalkWithServer::Connect()
{
    Assert(FState == csNotConnected && !FTransport, "TalkWithServer");
    if (UseHttpTunnel != 0) {
        FDisconnectReason = QStringLiteral("HTTP tunnel transport is not available.");
        Shutdown();
        return;
    }
    QString host;
    QString port;
    SplitServerAddress(ServerAddress, host, port);
    FTransport = std::make_unique<TSocketServerConnection>(host, port);
    TGenericServerConnection& transport = *FTransport;
    transport.OnSessionClosed = [this](TGenericServerConnection* Sender) {
        ServerConnectionSessionClosed(Sender);
    };
    transport.OnSessionConnected = [this](TGenericServerConnection* Sender) {
        ServerConnectionSessionConnected(Sender);
    };
    transport.OnDataAvailable = [this](TGenericServerConnection* Sender) {
        ServerConnectionDataAvailable(Sender);
    };
    transport.OnErrorMessage = [this](TGenericServerConnection* Sender, const QString& Text) {
        ServerConnectionErrorMessage(Sender, Text);
    };
    if (SocksLevel == 4 || SocksLevel == 5) {
        transport.SocksServer = SocksServer;
        transport.SocksPort = QString::number(SocksPort);
        transport.SocksUsercode = SocksUsercode;
        transport.SocksPassword = SocksPassword;
        transport.SocksLevel = QString::number(SocksLevel);
    }
    transport.ProxyUsername = ProxyUsername;
    transport.ProxyPassword = ProxyPassword;
    transport.Proxy = Proxy;
    transport.ProxyPort = ProxyPort;
    transport.RequestTimeout = RequestTimeout;

    FDisconnectReason.clear();
    if (transport.Connect())
        FDisconnectReason = QStringLiteral("Error in server connection.");
    else
        FDisconnectReason = transport.LastError; // Shutdown already ran inside Connect
}

void TTalkWithServer::ServerConnectionSessionConnected(TGenericServerConnection* /*Sender*/)
{
    if (FState != csNotConnected)
        return; // a late report after the end changes nothing
    FDisconnectReason = QStringLiteral("Unexpected disconnect from server.");
    FState = csConnected;
    const QByteArray held = FHeldOutput;
    FHeldOutput.clear();
    FTransport->Send(held);
    if (OnConnected) {
        const auto event = OnConnected;
        event();
    }
}

void TTalkWithServer::ServerConnectionSessionClosed(TGenericServerConnection* Sender)
{
    // The transport may learn only in the background that the host name does
    // not resolve; its LastError then names the reason as an immediate
    // failure would have.
    if (FState == csNotConnected && Sender && !Sender->LastError.isEmpty())
        FDisconnectReason = Sender->LastError;
    Shutdown();
}

// Each slot is freed before its callback runs, so a callback that sends,
// cancels, or makes the transport report its closing again (a nested
// Shutdown) can neither corrupt the walk nor be failed twice.
void TTalkWithServer::Shutdown()
{
    FState = csClosed;
    FHeldOutput.clear();
    FCompressor->Output.clear();
    const std::weak_ptr<char> alive = FAlive;
    if (OnDisconnected) {
        const auto event = OnDisconnected;
        CallReporting(event, [] { return QString::fromLatin1(DisconnectedLocation); });
        if (alive.expired())
            return;
    }
    for (qsizetype i = 0; i < FTable.size(); ++i) {
        if (FTable[i].Message.isEmpty() && !FTable[i].Callback)
            continue;
        const TPendingResponse slot = std::exchange(FTable[i], TPendingResponse());
        if (slot.Callback && !SendErrorResponse(slot.Message, slot.Standing, slot.Callback))
            return;
    }
    FTable.clear();
}

void TTalkWithServer::ServerConnectionDataAvailable(TGenericServerConnection* Sender)
{
    QByteArray data;
    if (FState == csClosed) {
        // Nothing can use it any more; take it so that it does not pile up.
        Sender->Receive(data);
        return;
    }
    std::exception_ptr failure;
    try {
        Sender->Receive(data);
        if (FInvalidData)
            return; // the stream is broken; nothing after it can be framed
        FDecompressor->Write(data);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    // Frames that were complete before the fault are good answers: they are
    // handed out before the conversation ends, not dropped with it.
    if (!ProcessFrames(Sender) || !failure)
        return;
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        InvalidData(e, Sender);
    }
}

void TTalkWithServer::InvalidData(const std::exception& E, TGenericServerConnection* Sender)
{
    // One report per conversation: what was decompressed before a zlib
    // failure may hold a broken frame header as well.
    if (FInvalidData)
        return;
    FInvalidData = true;
    FDisconnectReason = QStringLiteral("Invalid data from server: ") + ExceptionMessage(E);
    ReportException(E, QString::fromLatin1(DataAvailableLocation));
    // With TCP this runs Shutdown before it returns.
    Sender->Close();
}

// Each frame leaves the buffer before its callback runs: a callback can then
// send, cancel or close without the same frame ever being handed out twice.
bool TTalkWithServer::ProcessFrames(TGenericServerConnection* Sender)
{
    const std::weak_ptr<char> alive = FAlive;
    for (;;) {
        QByteArray& buffer = FDecompressor->Output;
        TFrame frame;
        qsizetype size = 0;
        try {
            size = PeekFrame(buffer, frame);
        } catch (const EInvalidFrame& e) {
            buffer.clear(); // nothing behind a broken header can be framed
            InvalidData(e, Sender);
            return !alive.expired();
        }
        if (size == 0)
            return true;
        buffer.remove(0, size);
        if (!SendGoodResponse(frame.Id, frame.Payload))
            return false;
    }
}

bool TTalkWithServer::SendGoodResponse(qint32 Id, const QByteArray& Payload)
{
    if (Id < 1 || Id > FTable.size())
        return true;
    TPendingResponse& slot = FTable[Id - 1];
    const TResponseCallback callback = slot.Callback;
    const TMessageToServer message = slot.Message;
    if (!slot.Standing) {
        slot.Callback = nullptr;
        slot.Message.clear();
    }
    if (!callback)
        return true;
    const std::weak_ptr<char> alive = FAlive;
    const auto location = [&] { return LocationWithMessage("TTalkWithServer.SendGoodResponse", message); };
    // The hook and the callback are guarded apart: a failing hook must not
    // cost the request its answer.
    if (OnResponse) {
        const TResponseCallback hook = OnResponse;
        CallReporting([&] { hook(true, Payload, message); }, location);
        if (alive.expired())
            return false;
    }
    CallReporting([&] { callback(true, Payload, message); }, location);
    return !alive.expired();
}

bool TTalkWithServer::SendErrorResponse(const TMessageToServer& Message, bool Standing,
                                        const TResponseCallback& Callback)
{
    const std::weak_ptr<char> alive = FAlive;
    const auto location = [&] { return LocationWithMessage("TTalkWithServer.SendErrorResponse", Message); };
    if (OnResponse && !Standing) {
        const TResponseCallback hook = OnResponse;
        CallReporting([&] { hook(false, QByteArray(), Message); }, location);
        if (alive.expired())
            return false;
    }
    if (Callback)
        CallReporting([&] { Callback(false, QByteArray(), Message); }, location);
    return !alive.expired();
}

void TTalkWithServer::ServerConnectionErrorMessage(TGenericServerConnection* /*Sender*/,
                                                   const QString& Text)
{
    if (OnLog) {
        const auto event = OnLog;
        event(Text);
    }
}
