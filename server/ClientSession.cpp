#include "ClientSession.h"

#include "AlertBatch.h"
#include "AlertServer.h"

#include <QTcpSocket>
#include <QtEndian>

const QByteArray TClientSession::PingAnswer = QByteArrayLiteral("pong");

namespace {

// A deflate block header with the reserved block type 3: no zlib reader can
// take it as a continuation of the stream.
const QByteArray GarbageBytes = QByteArrayLiteral("\xFF\xFF\xFF\xFFnot zlib");

const QByteArray InvalidLoginText = QByteArrayLiteral("Invalid user name or password.");

int SecondsToMs(double Seconds)
{
    return int(qBound(1.0, Seconds * 1000.0, 2'000'000'000.0));
}

} // namespace

TClientSession::TClientSession(TAlertServer& Server, std::unique_ptr<QTcpSocket> Socket, quint64 Number)
    : FServer(Server)
    , FSocket(std::move(Socket))
    , FNumber(Number)
{
    QObject::connect(FSocket.get(), &QTcpSocket::readyRead, &FContext, [this] { OnReadyRead(); });
    QObject::connect(FSocket.get(), &QTcpSocket::disconnected, &FContext, [this] { OnDisconnected(); });

    FCloseTimer.setSingleShot(true);
    QObject::connect(&FCloseTimer, &QTimer::timeout, &FContext, [this] {
        if (FState == TState::Closing)
            Abort(QStringLiteral("closed: the client did not take its last data in time"));
        else
            CloseGracefully();
    });
    const TServerOptions& options = FServer.Options();
    if (options.DropAfterSeconds > 0) {
        FDropTimer.setSingleShot(true);
        QObject::connect(&FDropTimer, &QTimer::timeout, &FContext, [this] { DropFault(); });
        FDropTimer.start(SecondsToMs(options.DropAfterSeconds));
    }
    if (options.GarbageAfterSeconds > 0) {
        FGarbageTimer.setSingleShot(true);
        QObject::connect(&FGarbageTimer, &QTimer::timeout, &FContext, [this] { GarbageFault(); });
        FGarbageTimer.start(SecondsToMs(options.GarbageAfterSeconds));
    }
    if (!FDeflater.Error().isEmpty() || !FInflater.Error().isEmpty()) {
        Abort(FDeflater.Error().isEmpty() ? FInflater.Error() : FDeflater.Error());
        return;
    }
    Info(QStringLiteral("connected from %1:%2").arg(FSocket->peerAddress().toString()).arg(FSocket->peerPort()));
    // Bytes may have arrived before the signals were connected.
    if (FSocket->bytesAvailable() > 0)
        OnReadyRead();
}

TClientSession::~TClientSession()
{
    FDropTimer.stop();
    FGarbageTimer.stop();
    FCloseTimer.stop();
    QObject::disconnect(FSocket.get(), nullptr, &FContext, nullptr);
    FSocket->abort();
}

void TClientSession::Info(const QString& Text) const
{
    FServer.LogInfo(FNumber, Text);
}

void TClientSession::Warning(const QString& Text) const
{
    FServer.LogWarning(FNumber, Text);
}

// ---------------------------------------------------------------------------
// Reading

void TClientSession::OnReadyRead()
{
    char buffer[64 * 1024];
    for (;;) {
        const qint64 size = FSocket->read(buffer, sizeof buffer);
        if (size <= 0)
            return;
        // Input after a STOP, after garbage or while closing is read and
        // thrown away, so that the close does not turn into a reset that
        // could destroy the answers still on their way.
        if (FState == TState::ReadingModeSwitch || FState == TState::Streaming)
            Consume(buffer, qsizetype(size));
    }
}

void TClientSession::Consume(const char* Data, qsizetype Size)
{
    if (FState == TState::ReadingModeSwitch) {
        qsizetype used = 0;
        switch (FModeSwitch.Feed(Data, Size, used)) {
        case TModeSwitchReader::TResult::NeedMore:
            return;
        case TModeSwitchReader::TResult::Invalid:
            BadInput(FModeSwitch.Error());
            return;
        case TModeSwitchReader::TResult::Done:
            FState = TState::Streaming;
            Data += used;
            Size -= used;
            break;
        }
    }
    const auto handler = [this](TDecodedRequest& request) { return HandleRequest(request); };
    bool decodeFailed = false;
    const bool inflated = FInflater.Inflate(Data, Size, [&](const char* chunk, qsizetype chunkSize) {
        if (!FDecoder.Feed(chunk, chunkSize, handler)) {
            decodeFailed = true;
            return false;
        }
        return FState == TState::Streaming;
    });
    if (decodeFailed)
        BadInput(QStringLiteral("bad request: %1").arg(FDecoder.Error()));
    else if (!inflated && FState == TState::Streaming)
        BadInput(QStringLiteral("bad zlib stream from the client: %1").arg(FInflater.Error()));
}

void TClientSession::OnDisconnected()
{
    if (FState == TState::Closed)
        return;
    const bool expected = FState == TState::Closing || FState == TState::Stopping;
    FState = TState::Closed;
    FDropTimer.stop();
    FGarbageTimer.stop();
    FCloseTimer.stop();
    if (FListenId > 0)
        FServer.ListenersChanged();
    if (FAlertsDropped > 0)
        Warning(QStringLiteral("%1 alerts were dropped before the end (output backed up)").arg(FAlertsDropped));
    Info(expected ? QStringLiteral("closed") : QStringLiteral("disconnected by the client"));
    FServer.SessionClosed();
}

// ---------------------------------------------------------------------------
// Requests

bool TClientSession::HandleRequest(TDecodedRequest& Request)
{
    FServer.LogRequest(FNumber, Request);
    if (Request.InvalidMessageId) {
        Warning(QStringLiteral("request ignored: message_id \"%1\" is not a number from 1 to 2147483647")
                    .arg(PrintableBytes(Request.Pairs.front().Value)));
        return true;
    }
    const QByteArray command = Request.Value("command");
    if (command == "ping")
        HandlePing(Request);
    else if (command == "login")
        HandleLogin(Request);
    else if (!FLoggedIn)
        Info(QStringLiteral("\"%1\" ignored: not logged in").arg(PrintableBytes(command)));
    else if (command == "listen_for_alerts")
        HandleListen(Request);
    else if (command == "add_alert_category")
        HandleAddCategory(Request);
    else
        Info(QStringLiteral("unknown command \"%1\" ignored").arg(PrintableBytes(command)));
    return FState == TState::Streaming;
}

void TClientSession::HandlePing(const TDecodedRequest& Request)
{
    if (Request.Value("response") != "1" || Request.MessageId <= 0)
        return; // no answer wanted, or none could be addressed
    if (FLoggedIn && FServer.Options().IgnorePings)
        return;
    QueueFrame(Request.MessageId, PingAnswer);
}

void TClientSession::HandleLogin(const TDecodedRequest& Request)
{
    const TServerOptions& options = FServer.Options();
    const QByteArray userName = Request.Value("username");
    const QByteArray password = Request.Value("password");
    if (options.StopText) {
        Stop(Request.MessageId, *options.StopText);
        return;
    }
    const bool accepted = options.Users ? options.Users->Accepts(userName, password)
                                        : !userName.isEmpty() && !password.isEmpty();
    if (!accepted) {
        Warning(QStringLiteral("login of \"%1\" refused").arg(PrintableBytes(userName)));
        Stop(Request.MessageId, InvalidLoginText);
        return;
    }
    const QByteArray sessionId = FServer.SessionIdFor(userName, Request.Value("session_id"));
    FLoggedIn = true;
    FUserName = userName;
    Info(QStringLiteral("logged in as \"%1\", session %2").arg(PrintableBytes(userName), QString::fromLatin1(sessionId)));
    if (Request.MessageId > 0)
        QueueFrame(Request.MessageId, QByteArray("SESSION ID\r\n") + sessionId);
}

void TClientSession::HandleListen(const TDecodedRequest& Request)
{
    if (Request.MessageId <= 0) {
        Warning(QStringLiteral("listen_for_alerts without message_id ignored: its alerts could not be addressed"));
        return;
    }
    FListenId = Request.MessageId;
    FServer.ListenersChanged();
}

void TClientSession::HandleAddCategory(const TDecodedRequest& Request)
{
    const QByteArray category = Request.Value("category");
    if (category.isEmpty()) {
        Info(QStringLiteral("add_alert_category without a category ignored"));
        return;
    }
    if (FCategories.contains(category))
        return;
    if (FCategories.size() >= MaxCategories) {
        Warning(QStringLiteral("category \"%1\" ignored: at most %2 categories per connection")
                    .arg(PrintableBytes(category))
                    .arg(MaxCategories));
        return;
    }
    FCategories.insert(category);
    FServer.ListenersChanged();
}

void TClientSession::Stop(qint32 Id, const QByteArray& Text)
{
    // Nothing follows a STOP on this connection - not even a ping answer,
    // which would make the client report "Connected!" over the stop text.
    if (Id > 0)
        QueueFrame(Id, QByteArray("STOP\r\n") + Text);
    const bool wasListening = Listening();
    FLoggedIn = false;
    FState = TState::Stopping;
    if (wasListening)
        FServer.ListenersChanged();
    FCloseTimer.start(StopCloseDelayMs);
}

// ---------------------------------------------------------------------------
// Writing

qint64 TClientSession::Backlog() const
{
    return FSocket->bytesToWrite() + FPending.size();
}

void TClientSession::AppendFrame(qint32 Id, QByteArrayView Payload)
{
    char header[8];
    qToLittleEndian<qint32>(Id, header);
    qToLittleEndian<qint32>(qint32(Payload.size()), header + 4);
    FPending.append(header, sizeof header);
    FPending.append(Payload.data(), Payload.size());
}

void TClientSession::QueueFrame(qint32 Id, QByteArrayView Payload)
{
    AppendFrame(Id, Payload);
    RequestFlush();
    if (Backlog() > FServer.Options().OutputBacklogLimit)
        Abort(QStringLiteral("closed: more than %1 bytes of output wait for a client that does not read")
                  .arg(FServer.Options().OutputBacklogLimit));
}

void TClientSession::QueueAlerts(const TAlertBatch& Batch, const std::vector<char>& Wanted)
{
    if (!Listening())
        return;
    const bool backedUp = Backlog() > FServer.Options().AlertBacklogLimit;
    quint64 count = 0;
    for (const TAlertBatch::TEntry& entry : Batch.Entries()) {
        if (!Wanted[std::size_t(entry.Category)])
            continue;
        ++count;
        if (!backedUp)
            AppendFrame(FListenId, QByteArrayView(Batch.Data().constData() + entry.Offset, entry.Length));
    }
    if (count == 0)
        return;
    if (backedUp) {
        if (!FDroppingAlerts)
            Warning(QStringLiteral("output backs up (%1 bytes unsent): dropping alerts until the client catches up")
                        .arg(Backlog()));
        FDroppingAlerts = true;
        FAlertsDropped += count;
        FAlertsDroppedTotal += count;
        return;
    }
    if (FDroppingAlerts) {
        Warning(QStringLiteral("caught up; %1 alerts were dropped").arg(FAlertsDropped));
        FDroppingAlerts = false;
        FAlertsDropped = 0;
    }
    FAlertsSent += count;
    RequestFlush();
}

void TClientSession::RequestFlush()
{
    if (FFlushRequested)
        return;
    FFlushRequested = true;
    FServer.RequestFlush(this);
}

void TClientSession::Flush()
{
    FFlushRequested = false;
    if (FPending.isEmpty())
        return;
    if (FState == TState::Closed || FState == TState::Poisoned) {
        FPending.resize(0);
        return;
    }
    FCompressed.resize(0);
    const bool ok = FDeflater.CompressBlock(FPending.constData(), FPending.size(), FCompressed);
    FPending.resize(0);
    if (FPending.capacity() > KeptBufferCapacity)
        FPending.squeeze();
    if (!ok) {
        Abort(FDeflater.Error());
        return;
    }
    FBytesSent += quint64(FCompressed.size());
    FSocket->write(FCompressed);
    if (FCompressed.capacity() > KeptBufferCapacity)
        FCompressed = QByteArray();
}

void TClientSession::CloseGracefully()
{
    if (FState == TState::Closed || FState == TState::Closing)
        return;
    Flush();
    const bool wasListening = Listening();
    FState = TState::Closing;
    if (wasListening)
        FServer.ListenersChanged();
    FCloseTimer.start(CloseGraceMs);
    FSocket->disconnectFromHost(); // may report the disconnect at once
}

void TClientSession::Abort(const QString& WarningText)
{
    if (FState == TState::Closed)
        return;
    Warning(WarningText);
    FState = TState::Closing; // OnDisconnected then counts it as expected
    FPending.resize(0);
    FSocket->abort();
    if (FState != TState::Closed)
        OnDisconnected(); // abort() reports nothing for a socket that was not connected
}

void TClientSession::BadInput(const QString& Reason)
{
    Warning(QStringLiteral("closing: %1").arg(Reason));
    CloseGracefully();
}

// ---------------------------------------------------------------------------
// Injected faults

void TClientSession::DropFault()
{
    if (FState == TState::Closed)
        return;
    Abort(QStringLiteral("dropping the connection (--drop-after %1 s)").arg(FServer.Options().DropAfterSeconds));
}

void TClientSession::GarbageFault()
{
    if (FState == TState::Closed || FState == TState::Closing)
        return;
    Flush(); // everything before the garbage stays valid
    Warning(QStringLiteral("sending bytes that are not zlib (--garbage-after %1 s)")
                .arg(FServer.Options().GarbageAfterSeconds));
    FSocket->write(GarbageBytes);
    const bool wasListening = Listening();
    FState = TState::Poisoned;
    if (wasListening)
        FServer.ListenersChanged();
    FCloseTimer.start(GarbageCloseDelayMs);
}
