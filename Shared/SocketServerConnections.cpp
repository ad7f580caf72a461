#include "SocketServerConnections.h"

#include "MiscDebugWindows.h"

#include <QHostInfo>
#include <QNetworkProxy>
#include <QTcpSocket>

namespace {

const char* const Unit = "SocketServerConnections";

// Receive starts with this many bytes and doubles the buffer while it fills.
constexpr qsizetype ReceiveBufferStartSize = 4096;

// SOCKS 4 wire constants.
constexpr char Socks4Version = 4;
constexpr char Socks4Connect = 1;
constexpr char Socks4Granted = 0x5A;
constexpr qint64 Socks4ReplySize = 8;

// User names and passwords travel with a one-byte length in SOCKS 5.
constexpr qsizetype Socks5MaxCredentialLength = 255;

BRENIK_DECLARE_EXCEPTION(EUnknownException, Exception)

quint16 ParsePort(const QString& Text, const QString& What)
{
    bool ok = false;
    const uint value = Text.trimmed().toUInt(&ok, 10);
    if (!ok || value < 1 || value > 65535)
        throw ETcpConnectError(QStringLiteral("%1 \"%2\" is not a number from 1 to 65535").arg(What, Text));
    return static_cast<quint16>(value);
}

} // namespace

TSocketServerConnection::TSocketServerConnection(const QString& Host, const QString& Port)
    : FHost(Host), FPort(Port)
{
}

TSocketServerConnection::~TSocketServerConnection()
{
    if (FState != StateClosed && OnSessionClosed) {
        // Closed from here on, so that a Close() from inside the handler
        // does not report the end a second time.
        FState = StateClosed;
        try {
            const TNotifyEvent event = OnSessionClosed;
            event(this);
        } catch (const std::exception& e) {
            ReportFailure("Destroy", &e);
        } catch (...) {
            ReportFailure("Destroy", nullptr);
        }
    }
    FAlive.reset();
    ReleaseSocket();
}

bool TSocketServerConnection::Connect()
{
    Assert(!FConnectCalled, Unit);
    FConnectCalled = true;
    try {
        PrepareSocket();
        return true;
    } catch (const std::exception& e) {
        LastError = QStringLiteral("TSocketServerConnection.Connect, ") + ExceptionClassName(e)
                    + QStringLiteral(", ") + ExceptionMessage(e);
    }
    ReleaseSocket();
    Raise(OnSessionClosed);
    return false;
}

void TSocketServerConnection::PrepareSocket()
{
    const QString host = FHost.trimmed();
    if (host.isEmpty())
        throw ETcpConnectError(QStringLiteral("No server host given"));
    FPortNumber = ParsePort(FPort, QStringLiteral("Port"));

    QNetworkProxy proxy(QNetworkProxy::NoProxy);
    if (!SocksServer.isEmpty() && !SocksPort.isEmpty() && !SocksLevel.isEmpty()) {
        FSocksServer = SocksServer.trimmed();
        FSocksPortNumber = ParsePort(SocksPort, QStringLiteral("SOCKS port"));
        const QString level = SocksLevel.trimmed();
        if (level == QLatin1String("5")) {
            if (SocksUsercode.toLatin1().size() > Socks5MaxCredentialLength
                || SocksPassword.toLatin1().size() > Socks5MaxCredentialLength)
                throw ETcpConnectError(QStringLiteral("SOCKS 5 user code and password may have at most 255 characters"));
            // An empty user leaves Qt offering "no authentication" only.
            proxy = QNetworkProxy(QNetworkProxy::Socks5Proxy, FSocksServer, FSocksPortNumber,
                                  SocksUsercode.isEmpty() ? QString() : SocksUsercode,
                                  SocksUsercode.isEmpty() ? QString() : SocksPassword);
        } else if (level == QLatin1String("4")) {
            FSocks4 = true;
        } else {
            throw ETcpConnectError(QStringLiteral("Unsupported SOCKS level \"%1\"; \"4\" or \"5\" is needed").arg(SocksLevel));
        }
    }

    FEvents = std::make_unique<QObject>();
    FSocket = std::make_unique<QTcpSocket>();
    FSocket->setProxy(proxy);

    QTcpSocket* socket = FSocket.get();
    QObject* events = FEvents.get();
    // Every callback first checks that the transport still exists: the socket
    // and the receiver outlive it when it is destroyed inside one of them.
    const std::weak_ptr<char> alive = FAlive;
    QObject::connect(socket, &QAbstractSocket::connected, events, [this, alive] {
        if (alive.expired())
            return;
        Dispatch("WSocket1SessionConnected", [this] { WSocket1SessionConnected(); });
    });
    QObject::connect(socket, &QIODevice::readyRead, events, [this, alive] {
        if (alive.expired())
            return;
        Dispatch("WSocket1DataAvailable", [this] { WSocket1DataAvailable(); });
    });
    // Qt ends a session along several paths (failed attempt, server close,
    // error); every one of them passes through the unconnected state.
    QObject::connect(socket, &QAbstractSocket::stateChanged, events, [this, alive](QAbstractSocket::SocketState state) {
        if (!alive.expired() && state == QAbstractSocket::UnconnectedState)
            Dispatch("WSocket1SessionClosed", [this] { WSocket1SessionClosed(); });
    });
    QObject::connect(socket, &QAbstractSocket::disconnected, events, [this, alive] {
        if (alive.expired())
            return;
        Dispatch("WSocket1SessionClosed", [this] { WSocket1SessionClosed(); });
    });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, events, [this, alive](QAbstractSocket::SocketError) {
        if (!alive.expired() && FSocket->state() == QAbstractSocket::UnconnectedState)
            Dispatch("WSocket1SessionClosed", [this] { WSocket1SessionClosed(); });
    });

    // The attempt starts from the event loop so that no outcome - not even a
    // loopback connection that Qt completes or refuses on the spot - is
    // reported from inside Connect().
    QMetaObject::invokeMethod(events, [this, alive] {
        if (alive.expired())
            return;
        Dispatch("Connect", [this] { StartConnecting(); });
    }, Qt::QueuedConnection);
}

void TSocketServerConnection::ReleaseSocket()
{
    if (!FSocket)
        return;
    QObject::disconnect(FSocket.get(), nullptr, FEvents.get(), nullptr);
    // What Send queued and the kernel can still take goes out before the
    // socket closes; nothing waits for it.
    if (FSocket->state() == QAbstractSocket::ConnectedState)
        FSocket->flush();
    FSocket->abort();
    if (FDispatchDepth > 0) {
        // One of the socket's own signals is on the stack: it must outlive it.
        FSocket.release()->deleteLater();
        FEvents.release()->deleteLater();
    } else {
        FSocket.reset();
        FEvents.reset();
    }
}

void TSocketServerConnection::StartConnecting()
{
    if (FState != StateNotConnected)
        return; // closed before the attempt began
    if (!FSocks4) {
        FSocket->connectToHost(FHost.trimmed(), FPortNumber);
        return;
    }
    QHostAddress literal;
    if (literal.setAddress(FHost.trimmed()) && literal.protocol() == QAbstractSocket::IPv4Protocol) {
        FSocks4Destination = literal;
        FSocket->connectToHost(FSocksServer, FSocksPortNumber);
        return;
    }
    FSocks4Phase = TSocks4Phase::Resolving;
    const std::weak_ptr<char> alive = FAlive;
    QHostInfo::lookupHost(FHost.trimmed(), FEvents.get(), [this, alive](const QHostInfo& info) {
        if (alive.expired())
            return;
        Dispatch("Socks4HostResolved", [this, info] {
            QHostAddress address;
            bool found = false;
            if (info.error() == QHostInfo::NoError) {
                for (const QHostAddress& candidate : info.addresses()) {
                    if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
                        address = candidate;
                        found = true;
                        break;
                    }
                }
            }
            Socks4HostResolved(address, found);
        });
    });
}

void TSocketServerConnection::Socks4HostResolved(const QHostAddress& Address, bool Found)
{
    if (FState != StateNotConnected || FSocks4Phase != TSocks4Phase::Resolving)
        return;
    if (!Found) {
        // SOCKS 4 can only ask for an IPv4 address; a name without one is as
        // unusable as a name that does not resolve.
        LastError = QStringLiteral("DNS error");
        FState = StateClosed;
        Raise(OnSessionClosed);
        return;
    }
    FSocks4Destination = Address;
    FSocks4Phase = TSocks4Phase::None;
    FSocket->connectToHost(FSocksServer, FSocksPortNumber);
}

void TSocketServerConnection::WSocket1SessionConnected()
{
    if (FState != StateNotConnected)
        return;
    if (FSocks4 && FSocks4Phase != TSocks4Phase::Done) {
        const quint32 ip = FSocks4Destination.toIPv4Address();
        QByteArray request;
        request.append(Socks4Version);
        request.append(Socks4Connect);
        request.append(static_cast<char>(FPortNumber >> 8));
        request.append(static_cast<char>(FPortNumber & 0xFF));
        request.append(static_cast<char>(ip >> 24));
        request.append(static_cast<char>((ip >> 16) & 0xFF));
        request.append(static_cast<char>((ip >> 8) & 0xFF));
        request.append(static_cast<char>(ip & 0xFF));
        request.append(SocksUsercode.toUtf8());
        request.append('\0');
        FSocks4Phase = TSocks4Phase::AwaitingReply;
        FSocket->write(request);
        return;
    }
    FState = StateConnected;
    Raise(OnSessionConnected);
}

void TSocketServerConnection::WSocket1DataAvailable()
{
    if (FSocks4Phase == TSocks4Phase::AwaitingReply) {
        Socks4ReplyArrived();
        return;
    }
    if (FState == StateConnected)
        Raise(OnDataAvailable);
}

void TSocketServerConnection::Socks4ReplyArrived()
{
    if (FSocket->bytesAvailable() < Socks4ReplySize)
        return;
    // Only the reply is taken: whatever the server sent right behind it is
    // the start of the session's own data and stays in the socket.
    const QByteArray reply = FSocket->read(Socks4ReplySize);
    const bool granted = (reply.at(0) == 0 || reply.at(0) == Socks4Version) && reply.at(1) == Socks4Granted;
    if (!granted) {
        AbortSocket();
        return;
    }
    FSocks4Phase = TSocks4Phase::Done;
    FState = StateConnected;
    if (!Raise(OnSessionConnected))
        return;
    // readyRead will not fire again for bytes that are already buffered.
    if (FState == StateConnected && FSocket->bytesAvailable() > 0)
        Raise(OnDataAvailable);
}

void TSocketServerConnection::WSocket1SessionClosed()
{
    if (FState == StateClosed || FClosingLocally)
        return;
    if (FState == StateNotConnected && FSocket->error() == QAbstractSocket::HostNotFoundError)
        LastError = QStringLiteral("DNS error");
    // Data that came in just before the end is announced first, so that the
    // owner takes it before it learns that the session is over.
    if (FState == StateConnected && FSocket->bytesAvailable() > 0) {
        if (!Raise(OnDataAvailable) || FState == StateClosed)
            return;
    }
    FState = StateClosed;
    Raise(OnSessionClosed);
}

void TSocketServerConnection::AbortSocket()
{
    FClosingLocally = true;
    if (FSocket->state() == QAbstractSocket::ConnectedState)
        FSocket->flush();
    FSocket->abort();
    FState = StateClosed;
    Raise(OnSessionClosed);
}

void TSocketServerConnection::Send(const QByteArray& Data)
{
    Assert(FState != StateNotConnected, Unit);
    if (FState == StateConnected)
        FSocket->write(Data);
}

void TSocketServerConnection::Close()
{
    if (!FSocket || FState == StateClosed)
        return;
    AbortSocket();
}

void TSocketServerConnection::Receive(QByteArray& Data)
{
    Data.clear();
    if (!FSocket || !FSocket->isOpen() || FSocks4Phase == TSocks4Phase::Resolving
        || FSocks4Phase == TSocks4Phase::AwaitingReply)
        return;
    Data.resize(ReceiveBufferStartSize);
    qsizetype count = 0;
    for (;;) {
        if (count == Data.size())
            Data.resize(Data.size() * 2);
        const qint64 read = FSocket->read(Data.data() + count, Data.size() - count);
        if (read <= 0)
            break;
        count += read;
    }
    Data.resize(count);
}

template <typename Handler>
void TSocketServerConnection::Dispatch(const char* Method, Handler handler)
{
    const std::weak_ptr<char> alive = FAlive;
    ++FDispatchDepth;
    try {
        handler();
    } catch (const std::exception& e) {
        ReportFailure(Method, &e);
    } catch (...) {
        ReportFailure(Method, nullptr);
    }
    if (!alive.expired())
        --FDispatchDepth;
}

bool TSocketServerConnection::Raise(const TNotifyEvent& Event)
{
    if (!Event)
        return true;
    const std::weak_ptr<char> alive = FAlive;
    const TNotifyEvent event = Event; // the handler may destroy this transport
    event(this);
    return !alive.expired();
}

void TSocketServerConnection::ReportFailure(const char* Method, const std::exception* E)
{
    const QString location = QStringLiteral("SocketServerConnections, TSocketServerConnection.")
                             + QString::fromLatin1(Method);
    if (E)
        ReportException(*E, location);
    else
        ReportException(EUnknownException(QStringLiteral("Unknown exception")), location);
}
