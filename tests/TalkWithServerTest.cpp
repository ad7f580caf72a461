// One conversation with a server: held and coalesced output, identifiers and
// callbacks, closing, and bad data - over real loopback sockets.
#include "TalkWithServer.h"

#include "MiscDebugWindows.h"
#include "SocketServerConnections.h"
#include "TestPeer.h"
#include "TestSupport.h"

#include <QPlainTextEdit>
#include <gtest/gtest.h>

using TestSupport::DrainEvents;
using TestSupport::WaitFor;

namespace {

const QByteArray SyncFlushMarker = QByteArray::fromHex("0000FFFF");

struct TCall {
    bool Success = false;
    QByteArray Response;
    TMessageToServer Message;
};

// Collects the calls a callback receives.
struct TRecorder {
    QList<TCall> Calls;
    TResponseCallback Callback()
    {
        return [this](bool Success, const QByteArray& Response, const TMessageToServer& Message) {
            Calls.append({Success, Response, Message});
        };
    }
    int Failures() const
    {
        int n = 0;
        for (const TCall& c : Calls)
            n += c.Success ? 0 : 1;
        return n;
    }
};

// Everything the debug window holds or is about to show.
QString DebugText()
{
    if (!DebugWindow)
        return {};
    return DebugWindow->MemoText() + QLatin1Char('\n') + DebugWindow->PendingText();
}

TMessageToServer Ping()
{
    return BuildMessage("command", "ping", "response", '1');
}

TMessageToServer Command(const char* Name)
{
    return BuildMessage("command", Name);
}

// Recorders and other locals that callbacks use are declared ahead of the
// conversation: it fails its waiting callbacks when it is destroyed.
class TalkWithServerTest : public ::testing::Test {
protected:
    // A conversation connected to the peer, with its requests of the first
    // turn already out.
    std::unique_ptr<TTalkWithServer> Connected()
    {
        auto conversation = std::make_unique<TTalkWithServer>();
        conversation->ServerAddress = Peer.Address();
        conversation->Connect();
        EXPECT_TRUE(WaitFor([&] { return conversation->State() == csConnected; }));
        EXPECT_TRUE(Peer.WaitForConnections(1));
        return conversation;
    }

    TTestPeer Peer;
};

} // namespace

// ---------------------------------------------------------------------------
// Output

TEST_F(TalkWithServerTest, RequestsBeforeConnectFollowTheModeSwitchInOneBlock)
{
    ASSERT_TRUE(Peer.Listening());
    TRecorder login;
    TRecorder ping;
    TTalkWithServer conversation;
    conversation.ServerAddress = Peer.Address();
    conversation.SendMessage(BuildMessage("command", "login", "username", "u", "session_id", ""),
                             true, login.Callback());
    const TMessageHandle none = conversation.SendMessage(Command("listen_for_alerts"));
    conversation.SendMessage(Ping(), false, ping.Callback());
    DrainEvents(); // the flush runs while nothing is connected yet
    EXPECT_EQ(conversation.Transport(), nullptr);
    EXPECT_EQ(none, TMessageHandle());

    conversation.Connect();
    ASSERT_TRUE(Peer.WaitForRequests(3));
    TTestPeer::TConnection& c = Peer.Connection();
    EXPECT_TRUE(c.Error.isEmpty()) << c.Error.toStdString();
    EXPECT_TRUE(c.ModeSwitchSeen);
    EXPECT_EQ(c.Raw.left(59), ModeSwitchText());
    // One flush: the stream is one block ending at the only sync-flush point.
    EXPECT_TRUE(c.Stream().endsWith(SyncFlushMarker));
    EXPECT_EQ(c.Stream().count(SyncFlushMarker), 1);

    ASSERT_EQ(c.Requests.size(), 3);
    EXPECT_EQ(c.Requests[0].Id, 1);
    EXPECT_EQ(c.Requests[0].Pairs,
              (TMessageToServer{{"command", "login"}, {"username", "u"}, {"session_id", ""}}));
    EXPECT_EQ(c.Requests[1].Id, 0); // no callback: no "message_id"
    EXPECT_EQ(c.Requests[1].Pairs, Command("listen_for_alerts"));
    EXPECT_EQ(c.Requests[2].Id, 8);
    EXPECT_EQ(c.Requests[2].Pairs, Ping());
    EXPECT_EQ(conversation.State(), csConnected);
    EXPECT_EQ(conversation.DisconnectReason(), "Unexpected disconnect from server.");

    // Requests of one later turn travel together as one more block.
    conversation.SendMessage(Command("a"));
    conversation.SendMessage(Command("b"));
    conversation.SendMessage(Command("c"));
    ASSERT_TRUE(Peer.WaitForRequests(6));
    EXPECT_TRUE(c.Stream().endsWith(SyncFlushMarker));
    EXPECT_EQ(c.Stream().count(SyncFlushMarker), 2);
    EXPECT_TRUE(login.Calls.isEmpty());
    EXPECT_TRUE(ping.Calls.isEmpty());
}

TEST_F(TalkWithServerTest, FreshConversationHoldsOnlyTheModeSwitch)
{
    TTalkWithServer conversation;
    EXPECT_EQ(conversation.State(), csNotConnected);
    EXPECT_EQ(conversation.DisconnectReason(), "Unable to connect to server.");
    conversation.ServerAddress = Peer.Address();
    conversation.Connect();
    EXPECT_EQ(conversation.DisconnectReason(), "Error in server connection.");
    ASSERT_TRUE(Peer.WaitForConnections(1));
    ASSERT_TRUE(WaitFor([&] { return Peer.Connection().Raw.size() >= 59; }));
    DrainEvents();
    EXPECT_EQ(Peer.Connection().Raw, ModeSwitchText());
}

// ---------------------------------------------------------------------------
// Identifiers and sequence numbers

TEST_F(TalkWithServerTest, IdentifiersRunFromTheTopOfEachNewStretch)
{
    TRecorder r;
    TTalkWithServer conversation;
    QList<qint32> ids;
    for (int i = 0; i < 17; ++i) {
        const qint64 expectedSequence = TTalkWithServer::NextSequence();
        const TMessageHandle handle = conversation.SendMessage(Ping(), false, r.Callback());
        EXPECT_EQ(handle.Sequence, expectedSequence);
        EXPECT_EQ(TTalkWithServer::NextSequence(), expectedSequence + 1);
        ids.append(handle.Id);
    }
    EXPECT_EQ(ids, (QList<qint32>{1, 8, 7, 6, 5, 4, 3, 2, 9, 16, 15, 14, 13, 12, 11, 10, 17}));
    EXPECT_EQ(conversation.TableSize(), 32);
    EXPECT_EQ(conversation.WaitingCount(), 17);
}

TEST_F(TalkWithServerTest, SequenceCounterIsSharedByAllConversations)
{
    TRecorder r;
    TTalkWithServer first;
    TTalkWithServer second;
    const TMessageHandle a = first.SendMessage(Ping(), false, r.Callback());
    const TMessageHandle b = second.SendMessage(Ping(), false, r.Callback());
    const TMessageHandle c = first.SendMessage(Ping(), false, r.Callback());
    EXPECT_EQ(a.Id, 1);
    EXPECT_EQ(b.Id, 1);
    EXPECT_EQ(b.Sequence, a.Sequence + 1);
    EXPECT_EQ(c.Sequence, a.Sequence + 2);
}

// ---------------------------------------------------------------------------
// Answers

TEST_F(TalkWithServerTest, AnswersReachTheirCallbacks)
{
    TRecorder oneShot;
    TRecorder standing;
    TRecorder other;
    auto conversation = Connected();
    const TMessageHandle a = conversation->SendMessage(Ping(), false, oneShot.Callback());
    const TMessageHandle s = conversation->SendMessage(Command("listen_for_alerts"), true,
                                                       standing.Callback());
    const TMessageHandle o = conversation->SendMessage(Command("other"), false, other.Callback());
    ASSERT_TRUE(Peer.WaitForRequests(3));

    // Unknown identifiers are dropped quietly; a one-shot answer is taken once.
    const QString debugBefore = DebugText();
    Peer.Answer({{s.Id, "alert 1"},
                 {0, "nobody"},
                 {-1, "nobody"},
                 {99, "nobody"},
                 {a.Id, "pong"},
                 {a.Id, "pong again"},
                 {s.Id, ""},
                 {s.Id, "alert 3"}});
    ASSERT_TRUE(WaitFor([&] { return standing.Calls.size() == 3; }));
    DrainEvents();

    ASSERT_EQ(oneShot.Calls.size(), 1);
    EXPECT_TRUE(oneShot.Calls[0].Success);
    EXPECT_EQ(oneShot.Calls[0].Response, "pong");
    EXPECT_EQ(oneShot.Calls[0].Message, Ping());
    QList<QByteArray> alerts;
    for (const TCall& call : standing.Calls) {
        EXPECT_TRUE(call.Success);
        EXPECT_EQ(call.Message, Command("listen_for_alerts"));
        alerts.append(call.Response);
    }
    EXPECT_EQ(alerts, (QList<QByteArray>{"alert 1", "", "alert 3"}));
    EXPECT_TRUE(other.Calls.isEmpty());
    EXPECT_EQ(DebugText(), debugBefore);
    // The answered one-shot slot is free again; the others still wait.
    EXPECT_EQ(conversation->WaitingCount(), 2);
    (void)o;
}

TEST_F(TalkWithServerTest, AnsweredSlotIsReusedBeforeLowerOnes)
{
    TRecorder r;
    auto conversation = Connected();
    QList<TMessageHandle> handles;
    for (int i = 0; i < 5; ++i)
        handles.append(conversation->SendMessage(Ping(), false, r.Callback()));
    // Identifiers 1, 8, 7, 6, 5: free are 4, 3, 2. Answer 7.
    ASSERT_EQ(handles[2].Id, 7);
    ASSERT_TRUE(Peer.WaitForRequests(5));
    Peer.Answer(7, "x");
    ASSERT_TRUE(WaitFor([&] { return r.Calls.size() == 1; }));
    EXPECT_EQ(conversation->SendMessage(Ping(), false, r.Callback()).Id, 7);
    EXPECT_EQ(conversation->SendMessage(Ping(), false, r.Callback()).Id, 4);
}

TEST_F(TalkWithServerTest, CancelledCallbacksAreNotCalled)
{
    TRecorder cancelled;
    TRecorder cancelledStanding;
    TRecorder later;
    TRecorder fillers;
    auto conversation = Connected();
    const TMessageHandle a = conversation->SendMessage(Ping(), false, cancelled.Callback());
    const TMessageHandle s =
        conversation->SendMessage(Command("listen"), true, cancelledStanding.Callback());
    // Fillers take every other slot, so that the freed one is reused next.
    for (int i = 0; i < 6; ++i)
        conversation->SendMessage(Command("filler"), false, fillers.Callback());
    ASSERT_EQ(conversation->WaitingCount(), 8);
    conversation->CancelCallback(a);
    conversation->CancelCallback(s);
    ASSERT_TRUE(Peer.WaitForRequests(8));
    Peer.Answer({{a.Id, "pong"}, {s.Id, "alert"}});
    // The one-shot slot is freed by its answer without any call.
    ASSERT_TRUE(WaitFor([&] { return conversation->WaitingCount() == 7; }));

    // A stale handle (its slot now serves a newer request) changes nothing.
    const TMessageHandle b = conversation->SendMessage(Ping(), false, later.Callback());
    ASSERT_EQ(b.Id, a.Id);
    EXPECT_NE(b.Sequence, a.Sequence);
    conversation->CancelCallback(a);
    conversation->CancelCallback(TMessageHandle());
    conversation->CancelCallback({1000, b.Sequence});
    ASSERT_TRUE(Peer.WaitForRequests(9));
    Peer.Answer(b.Id, "pong 2");
    ASSERT_TRUE(WaitFor([&] { return later.Calls.size() == 1; }));
    EXPECT_EQ(later.Calls[0].Response, "pong 2");

    // Closing calls nothing for the cancelled standing request either.
    conversation.reset();
    EXPECT_TRUE(cancelled.Calls.isEmpty());
    EXPECT_TRUE(cancelledStanding.Calls.isEmpty());
}

TEST_F(TalkWithServerTest, HookSeesAnswersAheadOfCallbacks)
{
    QStringList order;
    auto conversation = Connected();
    conversation->OnResponse = [&](bool Success, const QByteArray& Response, const TMessageToServer& M) {
        order.append(QStringLiteral("hook %1 %2 %3")
                         .arg(Success)
                         .arg(QString::fromLatin1(Response), QString::fromLatin1(M[0].Value)));
    };
    const TMessageHandle h = conversation->SendMessage(
        Ping(), false, [&](bool Success, const QByteArray& Response, const TMessageToServer& M) {
            order.append(QStringLiteral("callback %1 %2 %3")
                             .arg(Success)
                             .arg(QString::fromLatin1(Response), QString::fromLatin1(M[0].Value)));
        });
    ASSERT_TRUE(Peer.WaitForRequests(1));
    Peer.Answer(h.Id, "pong");
    ASSERT_TRUE(WaitFor([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (QStringList{"hook 1 pong ping", "callback 1 pong ping"}));
}

// A callback that throws is reported once with the request's one-line form,
// and the frames behind it are still handed out.
TEST_F(TalkWithServerTest, ThrowingCallbackIsReportedAndTheNextFrameStillArrives)
{
    TRecorder next;
    auto conversation = Connected();
    const TMessageHandle bad = conversation->SendMessage(
        Ping(), false, [](bool, const QByteArray&, const TMessageToServer&) {
            throw EAssertionFailed("Test", "callback failed");
        });
    const TMessageHandle good = conversation->SendMessage(Command("next"), false, next.Callback());
    ASSERT_TRUE(Peer.WaitForRequests(2));
    const QString line = QStringLiteral(
        "Class=EAssertionFailed, Message=callback failed, Location=TTalkWithServer.SendGoodResponse, "
        "(\"command\" --> \"ping\", \"response\" --> \"1\")");
    const int before = DebugText().count(line);
    Peer.Answer({{bad.Id, "pong"}, {good.Id, "fine"}});
    ASSERT_TRUE(WaitFor([&] { return next.Calls.size() == 1; }));
    EXPECT_EQ(next.Calls[0].Response, "fine");
    EXPECT_EQ(DebugText().count(line), before + 1);
    EXPECT_EQ(conversation->State(), csConnected);
}

// ---------------------------------------------------------------------------
// Closing

TEST_F(TalkWithServerTest, ClosedConnectionFailsEveryWaitingCallbackOnce)
{
    TRecorder oneShot;
    TRecorder standing;
    TRecorder noAnswer;
    QList<TCall> hookCalls;
    int disconnected = 0;
    auto conversation = Connected();
    conversation->OnResponse = [&](bool S, const QByteArray& R, const TMessageToServer& M) {
        hookCalls.append({S, R, M});
    };
    conversation->OnDisconnected = [&] { ++disconnected; };
    conversation->SendMessage(Ping(), false, oneShot.Callback());
    conversation->SendMessage(Command("listen"), true, standing.Callback());
    conversation->SendMessage(Command("fire and forget"));
    ASSERT_TRUE(Peer.WaitForRequests(3));

    Peer.Drop();
    ASSERT_TRUE(WaitFor([&] { return conversation->State() == csClosed; }));
    EXPECT_EQ(conversation->DisconnectReason(), "Unexpected disconnect from server.");
    EXPECT_EQ(disconnected, 1);
    ASSERT_EQ(oneShot.Calls.size(), 1);
    EXPECT_FALSE(oneShot.Calls[0].Success);
    EXPECT_TRUE(oneShot.Calls[0].Response.isEmpty());
    EXPECT_EQ(oneShot.Calls[0].Message, Ping());
    ASSERT_EQ(standing.Calls.size(), 1);
    EXPECT_FALSE(standing.Calls[0].Success);
    EXPECT_EQ(standing.Calls[0].Message, Command("listen"));
    // Of the failures the hook sees only the one-shot request's.
    ASSERT_EQ(hookCalls.size(), 1);
    EXPECT_FALSE(hookCalls[0].Success);
    EXPECT_EQ(hookCalls[0].Message, Ping());
    EXPECT_EQ(conversation->WaitingCount(), 0);

    // A closed conversation fails new requests at once and sends nothing.
    TMessageHandle handle{5, 5};
    handle = conversation->SendMessage(Ping(), false, noAnswer.Callback());
    EXPECT_EQ(handle, TMessageHandle());
    ASSERT_EQ(noAnswer.Calls.size(), 1);
    EXPECT_FALSE(noAnswer.Calls[0].Success);
    EXPECT_EQ(hookCalls.size(), 2);

    conversation.reset();
    EXPECT_EQ(oneShot.Calls.size(), 1);
    EXPECT_EQ(standing.Calls.size(), 1);
}

TEST_F(TalkWithServerTest, EmptyRequestFailsAtOnceAndSendsNothing)
{
    TRecorder r;
    auto conversation = Connected();
    const TMessageHandle h = conversation->SendMessage({{"", "value"}}, false, r.Callback());
    EXPECT_EQ(h, TMessageHandle());
    ASSERT_EQ(r.Calls.size(), 1);
    EXPECT_FALSE(r.Calls[0].Success);
    conversation->SendMessage(Command("marker"));
    ASSERT_TRUE(Peer.WaitForRequests(1));
    EXPECT_EQ(Peer.Connection().Requests.size(), 1);
    EXPECT_EQ(Peer.Connection().Requests[0].Pairs, Command("marker"));
    EXPECT_EQ(conversation->TableSize(), 0);
}

TEST_F(TalkWithServerTest, DestroyingAnOpenConversationFailsItsCallbacks)
{
    TRecorder r;
    {
        TTalkWithServer conversation;
        conversation.SendMessage(Ping(), false, r.Callback());
        conversation.SendMessage(Command("listen"), true, r.Callback());
    }
    EXPECT_EQ(r.Calls.size(), 2);
    EXPECT_EQ(r.Failures(), 2);
}

// Callbacks that send, or that end the conversation, in the middle of a batch
// of frames: the walk over the frames and the table stays sound.
TEST_F(TalkWithServerTest, CallbacksMaySendOrCloseWhileFramesAreProcessed)
{
    TRecorder followUp;
    TRecorder afterClose;
    TRecorder standing;
    QList<qint32> sentFromCallback;
    auto conversation = Connected();
    TTalkWithServer* c = conversation.get();
    const TMessageHandle first = c->SendMessage(
        Command("first"), false, [&](bool Success, const QByteArray&, const TMessageToServer&) {
            if (Success)
                sentFromCallback.append(c->SendMessage(Command("follow"), false, followUp.Callback()).Id);
        });
    const TMessageHandle closer = c->SendMessage(
        Command("closer"), false, [&](bool Success, const QByteArray&, const TMessageToServer&) {
            if (Success)
                c->Transport()->Close();
        });
    const TMessageHandle late = c->SendMessage(Command("late"), false, afterClose.Callback());
    const TMessageHandle listen = c->SendMessage(Command("listen"), true, standing.Callback());
    ASSERT_TRUE(Peer.WaitForRequests(4));

    Peer.Answer({{first.Id, "1"}, {listen.Id, "a"}, {closer.Id, "2"}, {late.Id, "3"}, {listen.Id, "b"}});
    ASSERT_TRUE(WaitFor([&] { return c->State() == csClosed; }));
    DrainEvents();

    // The follow-up took a slot and failed on close.
    ASSERT_EQ(sentFromCallback.size(), 1);
    EXPECT_GT(sentFromCallback[0], 0);
    ASSERT_EQ(followUp.Calls.size(), 1);
    EXPECT_FALSE(followUp.Calls[0].Success);
    // Frames behind the closing one found an empty table.
    ASSERT_EQ(afterClose.Calls.size(), 1);
    EXPECT_FALSE(afterClose.Calls[0].Success);
    ASSERT_EQ(standing.Calls.size(), 2);
    EXPECT_TRUE(standing.Calls[0].Success);
    EXPECT_EQ(standing.Calls[0].Response, "a");
    EXPECT_FALSE(standing.Calls[1].Success);
}

// ---------------------------------------------------------------------------
// Bad data from the server

TEST_F(TalkWithServerTest, UndecodableDataClosesWithOneReport)
{
    struct Case {
        const char* name;
        std::function<void(TTestPeer&, qint32 GoodId)> send;
        QString reason;
        QString reportedClass;
    };
    const Case cases[] = {
        {"not a zlib stream",
         [](TTestPeer& p, qint32) { p.SendRaw("this is no zlib stream at all"); },
         "Invalid data from server: data error", "EZDecompressionError"},
        {"negative frame length",
         [](TTestPeer& p, qint32 id) {
             p.SendCompressed(TTestPeer::FrameBytes(id, "good") + TTestPeer::Int32(id)
                              + TTestPeer::Int32(-3) + "xyz");
         },
         "Invalid data from server: negative frame length -3", "EInvalidFrame"},
        {"oversize frame length",
         [](TTestPeer& p, qint32 id) {
             p.SendCompressed(TTestPeer::FrameBytes(id, "good") + TTestPeer::Int32(id)
                              + TTestPeer::Int32(MaxFrameLength + 1));
         },
         "Invalid data from server: frame length 67108865 exceeds 64 MiB", "EInvalidFrame"},
        {"bytes after the end of the stream",
         [](TTestPeer& p, qint32 id) {
             p.FinishStream(TTestPeer::FrameBytes(id, "good"));
             p.SendRaw("more");
         },
         "Invalid data from server: data after the end of the compressed stream",
         "EZDecompressionError"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTestPeer peer;
        TRecorder standing;
        TRecorder waiting;
        TTalkWithServer conversation;
        conversation.ServerAddress = peer.Address();
        const TMessageHandle listen =
            conversation.SendMessage(Command("listen"), true, standing.Callback());
        conversation.SendMessage(Ping(), false, waiting.Callback());
        conversation.Connect();
        ASSERT_TRUE(peer.WaitForRequests(2));

        const QString line = QStringLiteral("Class=%1, Message=%2, Location=TalkWithServer, "
                                            "TTalkWithServer.ServerConnectionDataAvailable")
                                 .arg(c.reportedClass, c.reason.mid(int(strlen("Invalid data from server: "))));
        const QString anyReport =
            QStringLiteral("Location=TalkWithServer, TTalkWithServer.ServerConnectionDataAvailable");
        const int before = DebugText().count(line);
        const int reportsBefore = DebugText().count(anyReport);
        c.send(peer, listen.Id);
        ASSERT_TRUE(WaitFor([&] { return conversation.State() == csClosed; }));
        DrainEvents();

        EXPECT_EQ(conversation.DisconnectReason(), c.reason);
        EXPECT_EQ(DebugText().count(line), before + 1) << DebugText().toStdString();
        EXPECT_EQ(DebugText().count(anyReport), reportsBefore + 1);
        // The good frame ahead of a broken header still arrived.
        const bool goodFrameSent = QString(c.name) != "not a zlib stream";
        ASSERT_EQ(standing.Calls.size(), goodFrameSent ? 2 : 1);
        if (goodFrameSent) {
            EXPECT_TRUE(standing.Calls[0].Success);
            EXPECT_EQ(standing.Calls[0].Response, "good");
        }
        EXPECT_FALSE(standing.Calls.last().Success);
        EXPECT_EQ(waiting.Calls.size(), 1);
        EXPECT_EQ(waiting.Failures(), 1);
        EXPECT_TRUE(peer.WaitForClose());
    }
}

TEST_F(TalkWithServerTest, ReportReachesTheDebugWindowMemo)
{
    auto conversation = Connected();
    Peer.SendRaw("garbage");
    ASSERT_TRUE(WaitFor([&] { return conversation->State() == csClosed; }));
    ASSERT_NE(DebugWindow, nullptr);
    ASSERT_TRUE(WaitFor([&] { return DebugWindow->PendingText().isEmpty(); }));
    EXPECT_TRUE(DebugWindow->isVisible());
    EXPECT_TRUE(DebugWindow->Memo1->toPlainText().contains(
        "Class=EZDecompressionError, Message=data error, Location=TalkWithServer, "
        "TTalkWithServer.ServerConnectionDataAvailable"));
}

// ---------------------------------------------------------------------------
// Connecting

TEST_F(TalkWithServerTest, RefusedConnectionClosesOnceAndNeverConnects)
{
    int connected = 0;
    int disconnected = 0;
    TRecorder r;
    TTalkWithServer conversation;
    conversation.ServerAddress = QStringLiteral("127.0.0.1:%1").arg(TTestPeer::UnusedPort());
    conversation.OnConnected = [&] { ++connected; };
    conversation.OnDisconnected = [&] { ++disconnected; };
    conversation.SendMessage(Ping(), false, r.Callback());
    conversation.Connect();
    EXPECT_EQ(conversation.State(), csNotConnected);
    EXPECT_EQ(conversation.DisconnectReason(), "Error in server connection.");
    ASSERT_TRUE(WaitFor([&] { return conversation.State() == csClosed; }));
    DrainEvents();
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(disconnected, 1);
    EXPECT_EQ(conversation.DisconnectReason(), "Error in server connection.");
    EXPECT_EQ(r.Failures(), 1);
    EXPECT_EQ(r.Calls.size(), 1);
}

TEST_F(TalkWithServerTest, UnresolvableHostEndsWithDnsError)
{
    TRecorder r;
    TTalkWithServer conversation;
    conversation.ServerAddress = QStringLiteral("no-such-host.invalid:9339");
    conversation.SendMessage(Ping(), false, r.Callback());
    conversation.Connect();
    ASSERT_TRUE(WaitFor([&] { return conversation.State() == csClosed; }, 20000));
    EXPECT_EQ(conversation.DisconnectReason(), "DNS error");
    EXPECT_EQ(r.Failures(), 1);
}

TEST_F(TalkWithServerTest, ImmediateTransportFailureClosesInsideConnect)
{
    TRecorder r;
    TTalkWithServer conversation;
    conversation.ServerAddress = QStringLiteral("127.0.0.1:"); // empty port
    conversation.SendMessage(Command("listen"), true, r.Callback());
    conversation.Connect();
    EXPECT_EQ(conversation.State(), csClosed);
    EXPECT_EQ(r.Failures(), 1);
    ASSERT_NE(conversation.Transport(), nullptr);
    EXPECT_FALSE(conversation.Transport()->LastError.isEmpty());
    EXPECT_EQ(conversation.DisconnectReason(), conversation.Transport()->LastError);
    EXPECT_TRUE(conversation.DisconnectReason().startsWith("TSocketServerConnection.Connect, "));
}

TEST_F(TalkWithServerTest, ServerAddressSplitsAtTheFirstColon)
{
    struct Case {
        QString address;
        QString host;
        QString port;
    };
    const Case cases[] = {
        {"alerts.example", "alerts.example", "8888"},
        {"alerts.example:1", "alerts.example", "1"},
        {"alerts.example:", "alerts.example", ""},
        {"127.0.0.1:9339", "127.0.0.1", "9339"},
        {"a:b:c", "a", "b:c"},
        {"", "", "8888"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address.toStdString());
        QString host;
        QString port;
        TTalkWithServer::SplitServerAddress(c.address, host, port);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    }
    // Connect hands the parts to the TCP transport.
    TTalkWithServer conversation;
    conversation.ServerAddress = QStringLiteral("127.0.0.1");
    conversation.Connect();
    auto* transport = dynamic_cast<TSocketServerConnection*>(conversation.Transport());
    ASSERT_NE(transport, nullptr);
    EXPECT_EQ(transport->Host(), "127.0.0.1");
    EXPECT_EQ(transport->Port(), "8888");
}

TEST_F(TalkWithServerTest, SecondConnectFailsTheAssertion)
{
    TTalkWithServer conversation;
    conversation.ServerAddress = Peer.Address();
    conversation.Connect();
    try {
        conversation.Connect();
        FAIL() << "second Connect accepted";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Unit(), "TalkWithServer");
        EXPECT_EQ(e.Message(), "Assertion failure");
    }
}

TEST_F(TalkWithServerTest, HttpTunnelIsNotAvailable)
{
    int disconnected = 0;
    TRecorder r;
    TTalkWithServer conversation;
    conversation.UseHttpTunnel = 1;
    conversation.HttpTunnelUrl = QStringLiteral("http://127.0.0.1:%1/").arg(Peer.Port());
    conversation.OnDisconnected = [&] { ++disconnected; };
    conversation.SendMessage(Ping(), false, r.Callback());
    conversation.Connect();
    EXPECT_EQ(conversation.State(), csClosed);
    EXPECT_EQ(conversation.DisconnectReason(), "HTTP tunnel transport is not available.");
    EXPECT_EQ(conversation.Transport(), nullptr);
    EXPECT_EQ(disconnected, 1);
    EXPECT_EQ(r.Failures(), 1);
    DrainEvents();
    EXPECT_EQ(Peer.ConnectionCount(), 0);
}
