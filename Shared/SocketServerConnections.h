// The TCP transport: one connection to the alert server over a QTcpSocket,
// directly or through a SOCKS 4 or SOCKS 5 server.
//
// Lifetime and events follow TGenericServerConnection. State() is 0 until the
// connection is ready (for SOCKS: until the SOCKS server granted it), 1 while
// it carries data and 2 once it has ended; a transport is never reconnected.
//
// Connect() fails at once (false, LastError "TSocketServerConnection.Connect,
// <class>, <message>", OnSessionClosed raised inside Connect) only for what can
// be judged without the network: an empty host, a port or SOCKS port that is
// not a number from 1 to 65535, an unknown SOCKS level. Everything else - host
// name lookup included, which never blocks the caller - happens in the
// background, and its outcome arrives as an event from the event loop, never
// from inside Connect(): OnSessionConnected, or OnSessionClosed for a refused
// connection, a SOCKS refusal, or a host name that cannot be resolved (the
// latter also sets LastError to "DNS error").
//
// SOCKS (used only when SocksServer, SocksPort and SocksLevel are all set):
// level "5" goes through Qt's SOCKS 5 client, with user name/password
// authentication when SocksUsercode is non-empty and no authentication
// otherwise; the SOCKS server resolves host names. Level "4" is plain SOCKS 4,
// which carries only IPv4 addresses: a host name is resolved here first
// (asynchronously) and its first IPv4 address is requested, with SocksUsercode
// as the user id.
//
// Data that arrived before the server closed the connection is announced with
// OnDataAvailable before OnSessionClosed, and Receive() still hands it over
// after the close.
//
// An exception escaping one of the owner's event handlers while the transport
// raises an event from the event loop (or from its destructor) is reported
// through ReportException and goes no further.
#pragma once

#include "Exceptions.h"
#include "GenericServerConnection.h"

#include <QHostAddress>
#include <QObject>
#include <memory>

class QTcpSocket;

// A connection attempt that fails before anything goes on the network.
BRENIK_DECLARE_EXCEPTION(ETcpConnectError, Exception)

class TSocketServerConnection : public TGenericServerConnection {
public:
    // State() values.
    static constexpr quint8 StateNotConnected = 0;
    static constexpr quint8 StateConnected = 1;
    static constexpr quint8 StateClosed = 2;

    // Host: a host name or a literal address; Port: decimal text.
    TSocketServerConnection(const QString& Host, const QString& Port);
    // Raises OnSessionClosed unless State() is 2, then frees the socket
    // without raising anything more. Safe inside the transport's own events.
    ~TSocketServerConnection() override;

    // Once per transport; a second call is an assertion failure of unit
    // "SocketServerConnections".
    bool Connect() override;
    // Before the connection is ready: assertion failure. After it ended:
    // dropped silently.
    void Send(const QByteArray& Data) override;
    void Close() override;
    void Receive(QByteArray& Data) override;

    const QString& Host() const { return FHost; }
    const QString& Port() const { return FPort; }
    quint8 State() const { return FState; }

private:
    enum class TSocks4Phase { None, Resolving, AwaitingReply, Done };

    void PrepareSocket();
    void ReleaseSocket();
    void StartConnecting();
    void Socks4HostResolved(const QHostAddress& Address, bool Found);
    void WSocket1SessionConnected();
    void WSocket1DataAvailable();
    void WSocket1SessionClosed();
    void Socks4ReplyArrived();
    void AbortSocket();

    // Runs one socket notification and reports an exception escaping the
    // owner's handlers with the given method name in the location.
    template <typename Handler>
    void Dispatch(const char* Method, Handler handler);
    // Raises an event; false when a handler destroyed this transport.
    bool Raise(const TNotifyEvent& Event);
    void ReportFailure(const char* Method, const std::exception* E);

    QString FHost;
    QString FPort;
    quint8 FState = StateNotConnected;
    bool FConnectCalled = false;
    // Set while the transport itself ends the connection (Close, SOCKS
    // refusal): the input still waiting is discarded, not announced.
    bool FClosingLocally = false;

    quint16 FPortNumber = 0;
    bool FSocks4 = false;
    TSocks4Phase FSocks4Phase = TSocks4Phase::None;
    QString FSocksServer;
    quint16 FSocksPortNumber = 0;
    QHostAddress FSocks4Destination;

    std::unique_ptr<QTcpSocket> FSocket; // created by Connect
    // Receiver of the socket's signals and of the deferred start and host
    // lookup; deleting it cuts all of them off at once.
    std::unique_ptr<QObject> FEvents;
    // Expires when this transport is destroyed; the socket's callbacks hold a
    // weak reference so that they notice a destruction from inside an event.
    std::shared_ptr<char> FAlive = std::make_shared<char>(0);
    int FDispatchDepth = 0; // socket notifications currently on the stack
};
