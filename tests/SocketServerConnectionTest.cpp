#include "SocketServerConnections.h"

#include "Exceptions.h"
#include "MiscDebugWindows.h"
#include "TestSupport.h"

#include <QHostAddress>
#include <QtEndian>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");

// Records what a transport raises, in order. Takes the data inside
// OnDataAvailable as a conversation does, unless told not to.
struct TRecorder {
    QStringList Order;
    int Connected = 0;
    int Closed = 0;
    int DataEvents = 0;
    int WrongSender = 0;
    QByteArray Received;
    bool TakeData = true;

    void Attach(TSocketServerConnection& transport)
    {
        TGenericServerConnection* const self = &transport;
        transport.OnSessionConnected = [this, self](TGenericServerConnection* sender) {
            WrongSender += sender != self;
            ++Connected;
            Order << QStringLiteral("connected");
        };
        transport.OnSessionClosed = [this, self](TGenericServerConnection* sender) {
            WrongSender += sender != self;
            ++Closed;
            Order << QStringLiteral("closed");
        };
        transport.OnDataAvailable = [this, self](TGenericServerConnection* sender) {
            WrongSender += sender != self;
            ++DataEvents;
            Order << QStringLiteral("data");
            if (TakeData) {
                QByteArray data;
                sender->Receive(data);
                Received += data;
            }
        };
    }
};

// A loopback server that accepts one client at a time and keeps its bytes.
// Subclasses turn it into a protocol peer by overriding Consume().
class TLoopbackPeer {
public:
    TLoopbackPeer()
    {
        EXPECT_TRUE(FServer.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&FServer, &QTcpServer::newConnection, &FServer, [this] {
            while (QTcpSocket* socket = FServer.nextPendingConnection()) {
                ++Accepted;
                Client = socket; // owned by FServer
                In.clear();
                Restart(); // a client may try again (Qt retries a refused SOCKS 5 request)
                QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket] {
                    if (socket != Client)
                        return;
                    In += socket->readAll();
                    Consume();
                });
                QObject::connect(socket, &QAbstractSocket::disconnected, socket, [this, socket] {
                    if (socket == Client)
                        ClientGone = true;
                });
            }
        });
    }
    virtual ~TLoopbackPeer() = default;
    TLoopbackPeer(const TLoopbackPeer&) = delete;
    TLoopbackPeer& operator=(const TLoopbackPeer&) = delete;

    QString PortText() const { return QString::number(FServer.serverPort()); }

    int Accepted = 0;
    QTcpSocket* Client = nullptr;
    bool ClientGone = false;
    QByteArray In; // bytes not yet consumed by the protocol

protected:
    virtual void Consume() {}
    virtual void Restart() {}

private:
    QTcpServer FServer;
};

// The far end of a plain connection: keeps everything it receives.
class TServerPeer : public TLoopbackPeer {
public:
    QByteArray Received;

protected:
    void Consume() override
    {
        Received += In;
        In.clear();
    }
};

// A SOCKS 5 server in miniature (greeting, optional user name/password
// sub-negotiation, CONNECT). It does not relay: once the request is granted it
// plays the destination itself - sends Greeting right behind its reply and
// echoes whatever arrives - and it records what the client told it.
class TSocks5Peer : public TLoopbackPeer {
public:
    // Configuration.
    bool RequireAuth = false;
    QByteArray AcceptedUser;
    QByteArray AcceptedPassword;
    char ConnectReply = 0; // 0 granted, otherwise a SOCKS 5 failure code
    QByteArray Greeting;

    // What the client sent.
    QByteArray Methods;
    QByteArray User;
    QByteArray Password;
    int AddressType = 0;
    QByteArray DestinationHost; // dotted address or host name
    quint16 DestinationPort = 0;
    QByteArray Relayed;

protected:
    void Consume() override
    {
        for (;;) {
            switch (FPhase) {
            case Phase::Hello: {
                if (In.size() < 2 || In.size() < 2 + quint8(In[1]))
                    return;
                Methods = In.mid(2, quint8(In[1]));
                In.remove(0, 2 + Methods.size());
                const char wanted = RequireAuth ? 2 : 0;
                if (!Methods.contains(wanted)) {
                    Client->write(QByteArray("\x05\xFF", 2));
                    Client->disconnectFromHost();
                    FPhase = Phase::Done;
                    return;
                }
                Client->write(QByteArray("\x05", 1) + QByteArray(1, wanted));
                FPhase = RequireAuth ? Phase::Auth : Phase::Request;
                break;
            }
            case Phase::Auth: {
                if (In.size() < 2)
                    return;
                const int userLength = quint8(In[1]);
                if (In.size() < 3 + userLength)
                    return;
                const int passwordLength = quint8(In[2 + userLength]);
                if (In.size() < 3 + userLength + passwordLength)
                    return;
                User = In.mid(2, userLength);
                Password = In.mid(3 + userLength, passwordLength);
                In.remove(0, 3 + userLength + passwordLength);
                const bool accepted = User == AcceptedUser && Password == AcceptedPassword;
                Client->write(QByteArray("\x01", 1) + QByteArray(1, accepted ? 0 : 1));
                if (!accepted) {
                    Client->disconnectFromHost();
                    FPhase = Phase::Done;
                    return;
                }
                FPhase = Phase::Request;
                break;
            }
            case Phase::Request: {
                if (In.size() < 5)
                    return;
                AddressType = quint8(In[3]);
                int addressLength = 0;
                int addressStart = 4;
                if (AddressType == 1)
                    addressLength = 4;
                else if (AddressType == 4)
                    addressLength = 16;
                else {
                    addressLength = quint8(In[4]);
                    addressStart = 5;
                }
                if (In.size() < addressStart + addressLength + 2)
                    return;
                const QByteArray address = In.mid(addressStart, addressLength);
                if (AddressType == 1)
                    DestinationHost = QHostAddress(qFromBigEndian<quint32>(address.constData())).toString().toLatin1();
                else if (AddressType == 3)
                    DestinationHost = address;
                else
                    DestinationHost = QHostAddress(reinterpret_cast<const quint8*>(address.constData())).toString().toLatin1();
                DestinationPort = qFromBigEndian<quint16>(In.constData() + addressStart + addressLength);
                In.remove(0, addressStart + addressLength + 2);
                QByteArray reply("\x05", 1);
                reply += QByteArray(1, ConnectReply);
                reply += QByteArray("\x00\x01\x7F\x00\x00\x01\x00\x00", 8);
                if (ConnectReply != 0) {
                    Client->write(reply);
                    Client->disconnectFromHost();
                    FPhase = Phase::Done;
                    return;
                }
                Client->write(reply + Greeting);
                FPhase = Phase::Relay;
                break;
            }
            case Phase::Relay:
                Relayed += In;
                Client->write(In);
                In.clear();
                return;
            case Phase::Done:
                In.clear();
                return;
            }
        }
    }

    void Restart() override { FPhase = Phase::Hello; }

private:
    enum class Phase { Hello, Auth, Request, Relay, Done };
    Phase FPhase = Phase::Hello;
};

// A SOCKS 4 server in miniature: reads one CONNECT request, answers with
// Reply, sends Greeting in the same write and then echoes like TSocks5Peer.
// A refusing peer sends its greeting too, to show that none of it leaks out.
class TSocks4Peer : public TLoopbackPeer {
public:
    char Reply = 0x5A;
    QByteArray Greeting;

    int Version = 0;
    int Command = 0;
    quint16 DestinationPort = 0;
    QString DestinationAddress;
    QByteArray UserId;
    QByteArray Relayed;

protected:
    void Consume() override
    {
        if (FRelaying) {
            Relayed += In;
            Client->write(In);
            In.clear();
            return;
        }
        const int end = In.indexOf('\0', 8);
        if (In.size() < 9 || end < 0)
            return;
        Version = quint8(In[0]);
        Command = quint8(In[1]);
        DestinationPort = qFromBigEndian<quint16>(In.constData() + 2);
        DestinationAddress = QHostAddress(qFromBigEndian<quint32>(In.constData() + 4)).toString();
        UserId = In.mid(8, end - 8);
        In.remove(0, end + 1);
        QByteArray reply("\x00", 1);
        reply += QByteArray(1, Reply);
        reply += QByteArray(6, '\0');
        Client->write(reply + Greeting);
        if (Reply != 0x5A) {
            Client->disconnectFromHost();
            return;
        }
        FRelaying = true;
        if (!In.isEmpty())
            Consume();
    }

    void Restart() override { FRelaying = false; }

private:
    bool FRelaying = false;
};

// A loopback port with nothing listening on it.
QString ClosedPort()
{
    QTcpServer server;
    EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    const quint16 port = server.serverPort();
    server.close();
    return QString::number(port);
}

// Connect() must hand every outcome of a started attempt to the event loop.
void ConnectStarted(TSocketServerConnection& transport, const TRecorder& events)
{
    ASSERT_TRUE(transport.Connect()) << transport.LastError.toStdString();
    EXPECT_TRUE(events.Order.isEmpty()) << "no event may be raised inside a Connect that returned true";
}

void ExpectAssertionFailure(const std::function<void()>& call)
{
    try {
        call();
        ADD_FAILURE() << "expected an assertion failure";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Unit(), QStringLiteral("SocketServerConnections"));
        EXPECT_EQ(e.Message(), QStringLiteral("Assertion failure"));
    }
}

} // namespace

TEST(SocketServerConnection, RoundTripCarriesBytesUnchanged)
{
    TServerPeer server;
    TRecorder events; // outlives the transport, whose destructor may raise events
    TSocketServerConnection transport(Loopback, server.PortText());
    events.Attach(transport);

    QByteArray nothing("stale");
    transport.Receive(nothing);
    EXPECT_TRUE(nothing.isEmpty()) << "Receive before Connect";

    ConnectStarted(transport, events);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Connected == 1; }));
    EXPECT_EQ(transport.State(), TSocketServerConnection::StateConnected);

    QByteArray waiting("stale");
    transport.Receive(waiting);
    EXPECT_TRUE(waiting.isEmpty()) << "Receive with nothing waiting";

    const QByteArray request("mode\r\n\x00\x01\xFF\x78\x9C", 11);
    transport.Send(request.left(4));
    transport.Send(request.mid(4));
    ASSERT_TRUE(TestSupport::WaitFor([&] { return server.Received.size() == request.size(); }));
    EXPECT_EQ(server.Received, request);

    const QByteArray answer("\x00\x00\x00\x07payload\x00", 12);
    server.Client->write(answer);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Received.size() == answer.size(); }));
    EXPECT_EQ(events.Received, answer);
    EXPECT_EQ(events.Closed, 0);
    EXPECT_EQ(events.WrongSender, 0);
}

// The server sends a burst and closes at once. Whether the owner takes the
// bytes as they come or only after the close, none of them may be lost, and
// one Receive drains all that is waiting however large it is.
TEST(SocketServerConnection, DataSentBeforeTheServerClosesIsAllDelivered)
{
    const int sizes[] = {1, 4095, 4096, 4097, 100000};
    for (const bool takeOnEvent : {true, false}) {
        for (const int size : sizes) {
            SCOPED_TRACE(testing::Message() << "size " << size << (takeOnEvent ? ", taken on event" : ", taken after close"));
            QByteArray burst(size, '\0');
            for (int i = 0; i < size; ++i)
                burst[i] = char((i * 7 + 3) & 0xFF);

            TServerPeer server;
            TRecorder events; // outlives the transport, whose destructor may raise events
            TSocketServerConnection transport(Loopback, server.PortText());
            events.TakeData = takeOnEvent;
            events.Attach(transport);
            ConnectStarted(transport, events);
            ASSERT_TRUE(TestSupport::WaitFor([&] { return server.Client != nullptr && events.Connected == 1; }));

            server.Client->write(burst);
            server.Client->disconnectFromHost();
            ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Closed == 1; }));
            EXPECT_EQ(transport.State(), TSocketServerConnection::StateClosed);
            ASSERT_GE(events.DataEvents, 1);
            EXPECT_LT(events.Order.lastIndexOf(QStringLiteral("data")), events.Order.indexOf(QStringLiteral("closed")));

            if (!takeOnEvent) {
                transport.Receive(events.Received);
                QByteArray rest("stale");
                transport.Receive(rest);
                EXPECT_TRUE(rest.isEmpty());
            }
            EXPECT_EQ(events.Received.size(), burst.size());
            EXPECT_TRUE(events.Received == burst);
        }
    }
}

TEST(SocketServerConnection, RefusedConnectionClosesOnceAndNeverConnects)
{
    TRecorder events; // outlives the transport, whose destructor may raise events
    TSocketServerConnection transport(Loopback, ClosedPort());
    events.Attach(transport);
    ConnectStarted(transport, events);

    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Closed > 0; }));
    TestSupport::DrainEvents();
    EXPECT_EQ(events.Order, QStringList{QStringLiteral("closed")});
    EXPECT_EQ(transport.State(), TSocketServerConnection::StateClosed);
    EXPECT_TRUE(transport.LastError.isEmpty());

    transport.Close();
    EXPECT_EQ(events.Closed, 1);
}

TEST(SocketServerConnection, UnresolvableHostReportsDnsErrorFromTheEventLoop)
{
    TRecorder events; // outlives the transport, whose destructor may raise events
    TSocketServerConnection transport(QStringLiteral("no-such-alert-server.invalid"), QStringLiteral("9339"));
    events.Attach(transport);
    ConnectStarted(transport, events);
    EXPECT_TRUE(transport.LastError.isEmpty());

    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Closed > 0; }, 30000));
    TestSupport::DrainEvents();
    EXPECT_EQ(events.Order, QStringList{QStringLiteral("closed")});
    EXPECT_EQ(transport.LastError, QStringLiteral("DNS error"));
    EXPECT_EQ(transport.State(), TSocketServerConnection::StateClosed);
}

TEST(SocketServerConnection, WhatIsWrongBeforeTheNetworkFailsInsideConnect)
{
    struct Case {
        const char* name;
        QString host;
        QString port;
        QString socksServer, socksPort, socksLevel;
        QString message;
    };
    const Case cases[] = {
        {"empty host", QString(), QStringLiteral("9339"), {}, {}, {}, QStringLiteral("No server host given")},
        {"blank host", QStringLiteral("  "), QStringLiteral("9339"), {}, {}, {}, QStringLiteral("No server host given")},
        {"empty port", Loopback, QString(), {}, {}, {}, QStringLiteral("Port \"\" is not a number from 1 to 65535")},
        {"port zero", Loopback, QStringLiteral("0"), {}, {}, {}, QStringLiteral("Port \"0\" is not a number from 1 to 65535")},
        {"port too large", Loopback, QStringLiteral("65536"), {}, {}, {}, QStringLiteral("Port \"65536\" is not a number from 1 to 65535")},
        {"negative port", Loopback, QStringLiteral("-1"), {}, {}, {}, QStringLiteral("Port \"-1\" is not a number from 1 to 65535")},
        {"port with text", Loopback, QStringLiteral("93a9"), {}, {}, {}, QStringLiteral("Port \"93a9\" is not a number from 1 to 65535")},
        {"bad SOCKS port", Loopback, QStringLiteral("9339"), Loopback, QStringLiteral("socks"), QStringLiteral("5"),
         QStringLiteral("SOCKS port \"socks\" is not a number from 1 to 65535")},
        {"unknown SOCKS level", Loopback, QStringLiteral("9339"), Loopback, QStringLiteral("1080"), QStringLiteral("6"),
         QStringLiteral("Unsupported SOCKS level \"6\"; \"4\" or \"5\" is needed")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TRecorder events; // outlives the transport, whose destructor may raise events
        auto transport = std::make_unique<TSocketServerConnection>(c.host, c.port);
        transport->SocksServer = c.socksServer;
        transport->SocksPort = c.socksPort;
        transport->SocksLevel = c.socksLevel;
        events.Attach(*transport);

        EXPECT_FALSE(transport->Connect());
        EXPECT_EQ(events.Order, QStringList{QStringLiteral("closed")}) << "raised inside Connect";
        EXPECT_EQ(transport->LastError, QStringLiteral("TSocketServerConnection.Connect, ETcpConnectError, ") + c.message);
        EXPECT_EQ(transport->State(), TSocketServerConnection::StateNotConnected);

        transport->Close(); // nothing left to close
        TestSupport::DrainEvents();
        EXPECT_EQ(events.Closed, 1);
        ExpectAssertionFailure([&] { transport->Connect(); });

        // The state stayed 0, so destruction reports the close once more.
        transport.reset();
        EXPECT_EQ(events.Closed, 2);
        EXPECT_EQ(events.Connected, 0);
    }
}

TEST(SocketServerConnection, CallerFaultsAreAssertionFailures)
{
    TServerPeer server;
    TRecorder events; // outlives the transport, whose destructor may raise events
    TSocketServerConnection transport(Loopback, server.PortText());
    events.Attach(transport);

    ExpectAssertionFailure([&] { transport.Send("too early"); });
    ConnectStarted(transport, events);
    ExpectAssertionFailure([&] { transport.Send("not connected yet"); });
    ExpectAssertionFailure([&] { transport.Connect(); });

    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Connected == 1; }));
    ExpectAssertionFailure([&] { transport.Connect(); });
    transport.Send("fine now");
    ASSERT_TRUE(TestSupport::WaitFor([&] { return server.Received == "fine now"; }));
}

TEST(SocketServerConnection, CloseRaisesTheEventBeforeItReturnsAndOnlyOnce)
{
    TServerPeer server;
    TRecorder events; // outlives the transport, whose destructor may raise events
    auto transport = std::make_unique<TSocketServerConnection>(Loopback, server.PortText());
    events.Attach(*transport);

    transport->Close(); // before Connect: nothing to close
    EXPECT_TRUE(events.Order.isEmpty());
    EXPECT_EQ(transport->State(), TSocketServerConnection::StateNotConnected);

    ConnectStarted(*transport, events);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Connected == 1 && server.Client != nullptr; }));

    // What was sent just before Close still reaches the server.
    transport->Send("last words");
    transport->Close();
    EXPECT_EQ(events.Order, (QStringList{QStringLiteral("connected"), QStringLiteral("closed")}));
    EXPECT_EQ(transport->State(), TSocketServerConnection::StateClosed);

    transport->Close();
    TestSupport::DrainEvents();
    transport.reset();
    EXPECT_EQ(events.Closed, 1) << "a second Close and the destructor raise nothing more";

    ASSERT_TRUE(TestSupport::WaitFor([&] { return server.ClientGone; }));
    EXPECT_EQ(server.Received, QByteArray("last words"));
}

TEST(SocketServerConnection, CloseWhileTheAttemptIsUnderWayEndsIt)
{
    TServerPeer server;
    TRecorder events; // outlives the transport, whose destructor may raise events
    TSocketServerConnection transport(Loopback, server.PortText());
    events.Attach(transport);
    ConnectStarted(transport, events);

    transport.Close();
    EXPECT_EQ(events.Order, QStringList{QStringLiteral("closed")});
    TestSupport::DrainEvents();
    TestSupport::DrainEvents();
    EXPECT_EQ(events.Order, QStringList{QStringLiteral("closed")}) << "a closed transport never connects";
    EXPECT_EQ(transport.State(), TSocketServerConnection::StateClosed);
}

// A conversation closes its transport from inside OnDataAvailable and
// destroys it from inside OnSessionClosed; both happen inside the socket's
// own notification.
TEST(SocketServerConnection, OwnerMayCloseAndDestroyFromInsideEvents)
{
    TServerPeer server;
    auto transport = std::make_unique<TSocketServerConnection>(Loopback, server.PortText());
    QStringList order;
    QByteArray received;
    transport->OnSessionConnected = [&](TGenericServerConnection*) { order << QStringLiteral("connected"); };
    transport->OnDataAvailable = [&](TGenericServerConnection* sender) {
        order << QStringLiteral("data");
        sender->Receive(received);
        sender->Close();
        order << QStringLiteral("close returned");
    };
    transport->OnSessionClosed = [&](TGenericServerConnection*) {
        order << QStringLiteral("closed");
        transport.reset();
    };
    ASSERT_TRUE(transport->Connect());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return server.Client != nullptr && order.size() == 1; }));

    server.Client->write("bye");
    ASSERT_TRUE(TestSupport::WaitFor([&] { return transport == nullptr; }));
    TestSupport::DrainEvents();
    EXPECT_EQ(order, (QStringList{QStringLiteral("connected"), QStringLiteral("data"), QStringLiteral("closed"),
                                  QStringLiteral("close returned")}));
    EXPECT_EQ(received, QByteArray("bye"));
    ASSERT_TRUE(TestSupport::WaitFor([&] { return server.ClientGone; }));
}

TEST(SocketServerConnection, DestroyingALiveTransportReportsTheCloseOnce)
{
    struct Case {
        const char* name;
        bool connect;
    };
    for (const Case c : {Case{"Connect never called", false}, Case{"connected", true}}) {
        SCOPED_TRACE(c.name);
        TServerPeer server;
        TRecorder events; // outlives the transport, whose destructor may raise events
        auto transport = std::make_unique<TSocketServerConnection>(Loopback, server.PortText());
        events.Attach(*transport);
        if (c.connect) {
            ConnectStarted(*transport, events);
            ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Connected == 1 && server.Client != nullptr; }));
        }
        transport.reset();
        EXPECT_EQ(events.Closed, 1);
        TestSupport::DrainEvents();
        EXPECT_EQ(events.Closed, 1);
        if (c.connect)
            EXPECT_TRUE(TestSupport::WaitFor([&] { return server.ClientGone; }));
        else
            EXPECT_EQ(server.Accepted, 0);
    }
}

// An owner that answers the destructor's close report with Close() gets no
// second report.
TEST(SocketServerConnection, CloseFromTheDestructorsReportRaisesNothingMore)
{
    TServerPeer server;
    int closed = 0;
    auto transport = std::make_unique<TSocketServerConnection>(Loopback, server.PortText());
    bool connected = false;
    transport->OnSessionConnected = [&](TGenericServerConnection*) { connected = true; };
    transport->OnSessionClosed = [&](TGenericServerConnection* sender) {
        ++closed;
        sender->Close();
    };
    ASSERT_TRUE(transport->Connect());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return connected; }));
    transport.reset();
    EXPECT_EQ(closed, 1);
}

TEST(SocketServerConnection, SendAfterTheServerClosedIsDropped)
{
    TServerPeer server;
    TRecorder events; // outlives the transport, whose destructor may raise events
    TSocketServerConnection transport(Loopback, server.PortText());
    events.Attach(transport);
    ConnectStarted(transport, events);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Connected == 1 && server.Client != nullptr; }));

    server.Client->disconnectFromHost();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Closed == 1; }));
    EXPECT_NO_THROW(transport.Send("into the void"));
    TestSupport::DrainEvents();
    EXPECT_EQ(transport.State(), TSocketServerConnection::StateClosed);
    EXPECT_EQ(events.Order, (QStringList{QStringLiteral("connected"), QStringLiteral("closed")}));
    EXPECT_TRUE(server.Received.isEmpty());
}

TEST(SocketServerConnection, IncompleteSocksSettingsAreIgnored)
{
    // Every SOCKS field points at a port where nothing listens: used, it would
    // make the attempt fail.
    const QString deadPort = ClosedPort();
    struct Case {
        const char* name;
        QString server, port, level;
    };
    const Case cases[] = {
        {"no SOCKS port", Loopback, QString(), QStringLiteral("5")},
        {"no SOCKS server", QString(), deadPort, QStringLiteral("5")},
        {"no SOCKS level", Loopback, deadPort, QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TServerPeer server;
        TRecorder events; // outlives the transport, whose destructor may raise events
        TSocketServerConnection transport(Loopback, server.PortText());
        transport.SocksServer = c.server;
        transport.SocksPort = c.port;
        transport.SocksLevel = c.level;
        transport.SocksUsercode = QStringLiteral("someone");
        transport.SocksPassword = QStringLiteral("secret");
        events.Attach(transport);
        ConnectStarted(transport, events);
        ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Connected + events.Closed > 0; }));
        EXPECT_EQ(events.Connected, 1);
        transport.Send("direct");
        ASSERT_TRUE(TestSupport::WaitFor([&] { return server.Received == "direct"; }));
    }
}

TEST(SocketServerConnection, Socks5CarriesCredentialsAndDestination)
{
    struct Case {
        const char* name;
        QString host;
        QString user, password;
        int addressType;
    };
    const Case cases[] = {
        {"user name and password", Loopback, QStringLiteral("trader7"), QStringLiteral("s3cr\u00e9t"), 1},
        {"no user: no authentication", Loopback, QString(), QStringLiteral("ignored"), 1},
        {"host name resolved by the SOCKS server", QStringLiteral("alerts.example.invalid"), QStringLiteral("trader7"),
         QStringLiteral("pw"), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSocks5Peer proxy;
        proxy.RequireAuth = !c.user.isEmpty();
        proxy.AcceptedUser = c.user.toLatin1();
        proxy.AcceptedPassword = c.password.toLatin1();
        proxy.Greeting = QByteArray("\x00welcome", 8);

        TRecorder events; // outlives the transport, whose destructor may raise events
        TSocketServerConnection transport(c.host, QStringLiteral("9339"));
        transport.SocksServer = Loopback;
        transport.SocksPort = proxy.PortText();
        transport.SocksLevel = QStringLiteral("5");
        transport.SocksUsercode = c.user;
        transport.SocksPassword = c.password;
        events.Attach(transport);
        ConnectStarted(transport, events);

        ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Received.size() >= proxy.Greeting.size() || events.Closed > 0; }));
        EXPECT_EQ(events.Order.value(0), QStringLiteral("connected"));
        EXPECT_EQ(events.Received, proxy.Greeting) << "bytes right behind the SOCKS reply";
        if (c.user.isEmpty()) {
            EXPECT_FALSE(proxy.Methods.contains('\x02'));
            EXPECT_TRUE(proxy.User.isEmpty());
        } else {
            EXPECT_EQ(proxy.User, c.user.toLatin1());
            EXPECT_EQ(proxy.Password, c.password.toLatin1());
        }
        EXPECT_EQ(proxy.AddressType, c.addressType);
        EXPECT_EQ(proxy.DestinationHost, c.host.toLatin1());
        EXPECT_EQ(proxy.DestinationPort, 9339);

        transport.Send("ping");
        ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Received.endsWith("ping"); }));
        EXPECT_EQ(proxy.Relayed, QByteArray("ping"));
    }
}

TEST(SocketServerConnection, Socks5RefusalClosesWithoutConnecting)
{
    struct Case {
        const char* name;
        QString password;
        char connectReply;
    };
    const Case cases[] = {
        {"wrong password", QStringLiteral("wrong"), 0},
        {"CONNECT refused", QStringLiteral("right"), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TSocks5Peer proxy;
        proxy.RequireAuth = true;
        proxy.AcceptedUser = "trader7";
        proxy.AcceptedPassword = "right";
        proxy.ConnectReply = c.connectReply;

        TRecorder events; // outlives the transport, whose destructor may raise events
        TSocketServerConnection transport(Loopback, QStringLiteral("9339"));
        transport.SocksServer = Loopback;
        transport.SocksPort = proxy.PortText();
        transport.SocksLevel = QStringLiteral("5");
        transport.SocksUsercode = QStringLiteral("trader7");
        transport.SocksPassword = c.password;
        events.Attach(transport);
        ConnectStarted(transport, events);

        ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Closed > 0; }));
        TestSupport::DrainEvents();
        EXPECT_EQ(events.Order, QStringList{QStringLiteral("closed")});
        EXPECT_EQ(transport.State(), TSocketServerConnection::StateClosed);
    }
}

TEST(SocketServerConnection, Socks4SendsUserIdAndIPv4Destination)
{
    for (const QString& host : {Loopback, QStringLiteral("localhost")}) {
        SCOPED_TRACE(host.toStdString());
        TSocks4Peer proxy;
        proxy.Greeting = QByteArray("\x00\x01hello", 7);

        TRecorder events; // outlives the transport, whose destructor may raise events
        TSocketServerConnection transport(host, QStringLiteral("9339"));
        transport.SocksServer = Loopback;
        transport.SocksPort = proxy.PortText();
        transport.SocksLevel = QStringLiteral("4");
        transport.SocksUsercode = QStringLiteral("trader7");
        events.Attach(transport);
        ConnectStarted(transport, events);

        ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Received.size() >= proxy.Greeting.size() || events.Closed > 0; }));
        EXPECT_EQ(events.Order.value(0), QStringLiteral("connected"));
        EXPECT_EQ(events.Received, proxy.Greeting) << "bytes right behind the SOCKS 4 reply";
        EXPECT_EQ(proxy.Version, 4);
        EXPECT_EQ(proxy.Command, 1);
        EXPECT_EQ(proxy.DestinationAddress, Loopback);
        EXPECT_EQ(proxy.DestinationPort, 9339);
        EXPECT_EQ(proxy.UserId, QByteArray("trader7"));

        transport.Send(QByteArray("\x00ping", 5));
        ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Received.endsWith("ping"); }));
        EXPECT_EQ(proxy.Relayed, QByteArray("\x00ping", 5));
    }
}

TEST(SocketServerConnection, Socks4RejectionClosesWithoutConnecting)
{
    TSocks4Peer proxy;
    proxy.Reply = 0x5B;
    proxy.Greeting = "must not leak";

    TRecorder events; // outlives the transport, whose destructor may raise events
    TSocketServerConnection transport(Loopback, QStringLiteral("9339"));
    transport.SocksServer = Loopback;
    transport.SocksPort = proxy.PortText();
    transport.SocksLevel = QStringLiteral("4");
    events.Attach(transport);
    ConnectStarted(transport, events);

    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Closed > 0; }));
    TestSupport::DrainEvents();
    EXPECT_EQ(proxy.UserId, QByteArray());
    EXPECT_EQ(events.Order, QStringList{QStringLiteral("closed")});
    QByteArray leaked;
    transport.Receive(leaked);
    EXPECT_TRUE(leaked.isEmpty());
}

TEST(SocketServerConnection, Socks4WithUnresolvableHostNeverContactsTheSocksServer)
{
    TSocks4Peer proxy;
    TRecorder events; // outlives the transport, whose destructor may raise events
    TSocketServerConnection transport(QStringLiteral("no-such-alert-server.invalid"), QStringLiteral("9339"));
    transport.SocksServer = Loopback;
    transport.SocksPort = proxy.PortText();
    transport.SocksLevel = QStringLiteral("4");
    events.Attach(transport);
    ConnectStarted(transport, events);

    ASSERT_TRUE(TestSupport::WaitFor([&] { return events.Closed > 0; }, 30000));
    TestSupport::DrainEvents();
    EXPECT_EQ(events.Order, QStringList{QStringLiteral("closed")});
    EXPECT_EQ(transport.LastError, QStringLiteral("DNS error"));
    EXPECT_EQ(proxy.Accepted, 0);
}

// An exception escaping the owner's handler while the event loop delivers an
// event is reported and does not reach Qt.
TEST(SocketServerConnection, ThrowingHandlerIsReported)
{
    TServerPeer server;
    TSocketServerConnection transport(Loopback, server.PortText());
    int connected = 0;
    transport.OnSessionConnected = [&](TGenericServerConnection*) {
        ++connected;
        throw Exception(QStringLiteral("handler failed"));
    };
    ASSERT_TRUE(transport.Connect());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return connected == 1; }));
    ASSERT_NE(DebugWindow, nullptr);
    const QString logged = DebugWindow->MemoText() + QLatin1Char('\n') + DebugWindow->PendingText();
    EXPECT_TRUE(logged.contains(QStringLiteral(
        "Class=Exception, Message=handler failed, Location=SocketServerConnections, "
        "TSocketServerConnection.WSocket1SessionConnected")))
        << logged.toStdString();
    EXPECT_EQ(transport.State(), TSocketServerConnection::StateConnected);
}
