// The session: login sequence, session identifier, STOP, pings, watchdog,
// reconnection, status texts and alert listeners - against a real loopback
// peer, with the clock and the tick driven by the test.
#include "MainConnectionUnit.h"

#include "TestPeer.h"
#include "TestSupport.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using TestSupport::DrainEvents;
using TestSupport::WaitFor;

namespace {

const TMessageToServer PingPairs{{"command", "ping"}, {"response", "1"}};

class MainConnectionTest : public ::testing::Test {
protected:
    QString IniPath() const { return Dir.filePath(QStringLiteral("ZVR.ini")); }

    // A session manager reading Ini, with its own timer stopped and its clock
    // in the test's hands.
    std::unique_ptr<TMainConnection> Make(const QByteArray& Ini)
    {
        EXPECT_TRUE(Dir.isValid());
        QFile file(IniPath());
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(Ini);
        file.close();
        auto session = std::make_unique<TMainConnection>(IniPath());
        session->Timer()->stop();
        session->Now = [this] { return Clock; };
        TMainConnection* raw = session.get();
        session->OnStatusChange = [this, raw] { Statuses.append(raw->StatusText()); };
        return session;
    }

    QByteArray PeerIni(const QByteArray& Extra = {}) const
    {
        return "[Connection]\r\nAddress=" + Peer.Address().toLatin1() + "\r\n" + Extra;
    }

    // Requests of one login: login, listen, one per category, first ping.
    static int LoginSize(const TMainConnection& Session)
    {
        return 3 + int(Session.Subscriptions().size());
    }

    // Waits for the whole login sequence on the peer's connection number
    // Count (counted from 1).
    static bool WaitForLogin(TTestPeer& Peer, const TMainConnection& Session, int Count = 1)
    {
        return Peer.WaitForConnections(Count) && Peer.WaitForRequests(LoginSize(Session), Count - 1);
    }

    // Logged in on the peer's first connection; the login sequence has arrived.
    std::unique_ptr<TMainConnection> LoggedIn(const QByteArray& Extra = {})
    {
        auto session = Make(PeerIni(Extra));
        session->SetUserName(QStringLiteral("trader"));
        session->SetPassword(QStringLiteral("secret"));
        EXPECT_TRUE(WaitForLogin(Peer, *session));
        return session;
    }

    // The first ping of the latest login.
    qint32 FirstPingId(const TMainConnection& Session)
    {
        return Peer.Connection().Requests[LoginSize(Session) - 1].Id;
    }

    // Moves the clock and runs one tick.
    void TickAfter(TMainConnection& Session, qint64 Ms)
    {
        Clock = Clock.addMSecs(Ms);
        Session.Tick();
    }

    QList<TPeerRequest> PingsOf(int Index = -1)
    {
        QList<TPeerRequest> pings;
        for (const TPeerRequest& r : Peer.Connection(Index).Requests)
            if (r.Pairs == PingPairs)
                pings.append(r);
        return pings;
    }

    QString WorkingText() const
    {
        return QStringLiteral("Working:  ") + QLocale::system().toString(Clock.time(), QLocale::LongFormat);
    }

    QTemporaryDir Dir;
    TTestPeer Peer;
    QDateTime Clock{QDate(2026, 3, 2), QTime(10, 0, 0)};
    QStringList Statuses;
};

} // namespace

// ---------------------------------------------------------------------------
// Settings

TEST_F(MainConnectionTest, SettingsFromTheIniFile)
{
    struct Case {
        const char* name;
        QByteArray ini;
        QString address;
        QList<QByteArray> subscriptions;
    };
    const Case cases[] = {
        {"empty file", "", "localhost:9339", {"BRENIK-main"}},
        {"address only", "[Connection]\nAddress=alerts.example:7000\n", "alerts.example:7000",
         {"BRENIK-main"}},
        {"two categories in file order",
         "[subscriptions]\r\nZeta=1\r\nAlpha=\r\n[Connection]\r\naddress = h:1\r\n", "h:1",
         {"Zeta", "Alpha", "BRENIK-main"}},
        {"main category named as well", "[Subscriptions]\nBRENIK-main\nX=\n", "localhost:9339",
         {"BRENIK-main", "X", "BRENIK-main"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto session = Make(c.ini);
        EXPECT_EQ(session->ServerAddress(), c.address);
        EXPECT_EQ(session->Subscriptions(), c.subscriptions);
    }
    // No file at all gives the same defaults.
    TMainConnection missing(Dir.filePath(QStringLiteral("absent.ini")));
    EXPECT_EQ(missing.ServerAddress(), "localhost:9339");
    EXPECT_EQ(missing.Subscriptions(), QList<QByteArray>{"BRENIK-main"});
    EXPECT_TRUE(missing.Timer()->isActive());
    EXPECT_EQ(missing.Timer()->interval(), 500);
}

TEST_F(MainConnectionTest, ProcessWideInstanceIsCreatedOnce)
{
    TMainConnection* first = MainConnection();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(MainConnection(), first);
}

// ---------------------------------------------------------------------------
// Login

TEST_F(MainConnectionTest, LoginSequenceTravelsBehindTheModeSwitch)
{
    auto session = LoggedIn("[Subscriptions]\r\nA\r\nB=ignored\r\n");
    DrainEvents();
    // Both credentials changed: two resets, one conversation, one connection.
    EXPECT_EQ(Peer.ConnectionCount(), 1);
    TTestPeer::TConnection& c = Peer.Connection();
    EXPECT_TRUE(c.ModeSwitchSeen);
    EXPECT_TRUE(c.Error.isEmpty()) << c.Error.toStdString();
    ASSERT_EQ(c.Requests.size(), 6);

    EXPECT_GT(c.Requests[0].Id, 0);
    EXPECT_EQ(c.Requests[0].Pairs, (TMessageToServer{{"command", "login"},
                                                     {"username", "trader"},
                                                     {"password", "secret"},
                                                     {"session_id", ""}}));
    EXPECT_GT(c.Requests[1].Id, 0);
    EXPECT_EQ(c.Requests[1].Pairs, (TMessageToServer{{"command", "listen_for_alerts"}}));
    const char* categories[] = {"A", "B", "BRENIK-main"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c.Requests[2 + i].Id, 0);
        EXPECT_EQ(c.Requests[2 + i].Pairs,
                  (TMessageToServer{{"command", "add_alert_category"}, {"category", categories[i]}}));
    }
    EXPECT_GT(c.Requests[5].Id, 0);
    EXPECT_EQ(c.Requests[5].Pairs, PingPairs);
    // Queued before the connection existed: one compressed block.
    EXPECT_EQ(c.Stream().count(QByteArray::fromHex("0000FFFF")), 1);

    EXPECT_TRUE(Statuses.isEmpty());
    Peer.Answer(c.Requests[5].Id, "pong");
    ASSERT_TRUE(WaitFor([&] { return session->StatusText() == "Connected!"; }));
    EXPECT_EQ(Statuses, QStringList{"Connected!"});
}

TEST_F(MainConnectionTest, UnchangedCredentialsDoNothing)
{
    auto session = LoggedIn();
    TTalkWithServer* conversation = session->Conversation();
    session->SetUserName(QStringLiteral("trader"));
    session->SetPassword(QStringLiteral("secret"));
    DrainEvents();
    EXPECT_EQ(session->Conversation(), conversation);
    EXPECT_EQ(Peer.ConnectionCount(), 1);

    // A changed password alone starts afresh.
    session->SetPassword(QStringLiteral("other"));
    EXPECT_EQ(session->Conversation(), nullptr);
    ASSERT_TRUE(WaitForLogin(Peer, *session, 2));
    EXPECT_EQ(Peer.Connection().Requests[0].Value("password"), "other");
}

TEST_F(MainConnectionTest, CredentialsTravelAsUtf8)
{
    auto session = Make(PeerIni());
    session->SetUserName(QString::fromUtf8("J\xc3\xb6rg"));
    session->SetPassword(QString::fromUtf8("p\xc3\xa4ss"));
    EXPECT_EQ(session->UserName(), "J\xc3\xb6rg");
    ASSERT_TRUE(WaitForLogin(Peer, *session));
    EXPECT_EQ(Peer.Connection().Requests[0].Value("username"), "J\xc3\xb6rg");
    EXPECT_EQ(Peer.Connection().Requests[0].Value("password"), "p\xc3\xa4ss");
}

TEST_F(MainConnectionTest, SessionIdIsCarriedIntoTheNextLogin)
{
    auto session = LoggedIn();
    const qint32 loginId = Peer.Connection().Requests[0].Id;
    Peer.Answer(loginId, "SESSION ID\r\nabc123\r\n");
    ASSERT_TRUE(WaitFor([&] { return session->SessionId() == "abc123"; }));

    // The connection is lost; the next tick replaces the conversation.
    Peer.Drop();
    ASSERT_TRUE(WaitFor([&] { return session->Conversation()->State() == csClosed; }));
    session->Tick();
    EXPECT_EQ(session->Conversation(), nullptr);
    ASSERT_TRUE(WaitForLogin(Peer, *session, 2));
    EXPECT_EQ(Peer.Connection().Requests[0].Value("session_id"), "abc123");

    // Reset forgets it.
    session->Reset();
    EXPECT_TRUE(session->SessionId().isEmpty());
    ASSERT_TRUE(WaitForLogin(Peer, *session, 3));
    const TPeerRequest login = Peer.Connection().Requests[0];
    ASSERT_EQ(login.Pairs.size(), 4);
    EXPECT_EQ(login.Pairs[3], (TMessagePair{"session_id", ""}));
}

TEST_F(MainConnectionTest, LoginAnswers)
{
    struct Case {
        const char* name;
        QByteArray answer;
        bool stopped;
        QByteArray sessionId;
        QStringList statuses; // after the initial state
    };
    const Case cases[] = {
        {"stop with a reason", "STOP\r\nAccount suspended.\r\n", true, "", {"Account suspended."}},
        {"stop with a reason, LF only", "STOP\nBye", true, "", {"Bye"}},
        {"stop without a second line", "STOP\r\n", true, "", {}},
        {"stop alone", "STOP", true, "", {}},
        {"session id", "SESSION ID\rxyz", false, "xyz", {}},
        {"session id without its line", "SESSION ID\r\n", false, "", {}},
        {"empty answer", "", false, "", {}},
        {"unknown first line", "HELLO\r\nthere", false, "", {}},
        {"first line must match exactly", "stop\r\nx", false, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTestPeer peer;
        Statuses.clear();
        auto session = Make("[Connection]\nAddress=" + peer.Address().toLatin1() + "\n");
        session->SetUserName(QStringLiteral("u"));
        session->SetPassword(QStringLiteral("p"));
        ASSERT_TRUE(WaitForLogin(peer, *session));
        const qint32 loginId = peer.Connection().Requests[0].Id;
        const qint32 listenId = peer.Connection().Requests[1].Id;
        // The marker frame behind the answer shows when the answer has been handled.
        bool marker = false;
        session->AddAlertListener([&](const QByteArray&) { marker = true; });
        peer.Answer({{loginId, c.answer}, {listenId, "marker"}});
        ASSERT_TRUE(WaitFor([&] { return marker; }));
        EXPECT_EQ(session->Stopped(), c.stopped);
        EXPECT_EQ(session->SessionId(), c.sessionId);
        EXPECT_EQ(Statuses, c.statuses);
    }
}

TEST_F(MainConnectionTest, StoppedSessionNeitherPingsNorReconnects)
{
    auto session = LoggedIn();
    Peer.Answer(Peer.Connection().Requests[0].Id, "STOP\r\nGo away.");
    ASSERT_TRUE(WaitFor([&] { return session->Stopped(); }));
    EXPECT_EQ(session->StatusText(), "Go away.");

    for (int i = 0; i < 40; ++i)
        TickAfter(*session, 500);
    EXPECT_EQ(session->IdleTicks(), 0);
    DrainEvents();
    EXPECT_TRUE(PingsOf().size() == 1); // only the first ping of the login
    // The server closes: the conversation goes, no new one comes.
    Peer.Drop();
    ASSERT_TRUE(WaitFor([&] { return session->Conversation()->State() == csClosed; }));
    session->Tick();
    DrainEvents();
    EXPECT_EQ(session->Conversation(), nullptr);
    EXPECT_EQ(Peer.ConnectionCount(), 1);

    // Logging in again, even unchanged, starts a fresh login.
    session->SetUserName(QStringLiteral("trader"));
    EXPECT_FALSE(session->Stopped());
    ASSERT_TRUE(WaitForLogin(Peer, *session, 2));
    EXPECT_EQ(Peer.Connection().Requests[0].Value("command"), "login");
}

TEST_F(MainConnectionTest, ResetWithoutCredentialsConnectsButStaysQuiet)
{
    auto session = Make(PeerIni());
    session->Reset();
    ASSERT_TRUE(Peer.WaitForConnections(1));
    ASSERT_TRUE(WaitFor([&] { return Peer.Connection().Raw.size() >= 59; }));
    for (int i = 0; i < 30; ++i)
        TickAfter(*session, 500);
    DrainEvents();
    EXPECT_EQ(Peer.Connection().Raw, ModeSwitchText());
    EXPECT_EQ(session->IdleTicks(), 0);
    EXPECT_EQ(Peer.ConnectionCount(), 1);
    EXPECT_TRUE(Statuses.isEmpty());
}

// ---------------------------------------------------------------------------
// Pings and the watchdog

TEST_F(MainConnectionTest, PingsLeaveOnTheFirstTickAfterTheirInterval)
{
    auto session = LoggedIn();
    ASSERT_EQ(PingsOf().size(), 1); // the first ping of the login
    TickAfter(*session, 4400);
    TickAfter(*session, 100); // exactly 4.5 s: not later than the due time yet
    DrainEvents();
    EXPECT_EQ(PingsOf().size(), 1);
    TickAfter(*session, 1);
    ASSERT_TRUE(WaitFor([&] { return PingsOf().size() == 2; }));
    TickAfter(*session, 500);
    DrainEvents();
    EXPECT_EQ(PingsOf().size(), 2);
    EXPECT_EQ(session->LastPing().Id, PingsOf()[1].Id);
    EXPECT_EQ(session->NextPingTime(), Clock.addMSecs(-500 + 4500));

    // The answer shows the time and clears the watchdog.
    EXPECT_EQ(session->IdleTicks(), 4);
    Peer.Answer(PingsOf()[1].Id, "");
    const QString expected = WorkingText();
    ASSERT_TRUE(WaitFor([&] { return session->StatusText() == expected; }));
    EXPECT_EQ(session->IdleTicks(), 0);
}

TEST_F(MainConnectionTest, OnlyTheLatestPeriodicPingKeepsItsCallback)
{
    auto session = LoggedIn();
    TickAfter(*session, 4600);
    ASSERT_TRUE(WaitFor([&] { return PingsOf().size() == 2; }));
    const qint32 firstPeriodic = PingsOf()[1].Id;
    TickAfter(*session, 4600);
    ASSERT_TRUE(WaitFor([&] { return PingsOf().size() == 3; }));
    ASSERT_EQ(session->IdleTicks(), 2);

    // The first periodic ping was cancelled: its late answer counts for nothing.
    bool marker = false;
    session->AddAlertListener([&](const QByteArray&) { marker = true; });
    Peer.Answer({{firstPeriodic, ""}, {Peer.Connection().Requests[1].Id, "marker"}});
    ASSERT_TRUE(WaitFor([&] { return marker; }));
    EXPECT_EQ(session->IdleTicks(), 2);
    EXPECT_TRUE(Statuses.isEmpty());
}

TEST_F(MainConnectionTest, WatchdogRebuildsASilentConnection)
{
    auto session = LoggedIn();
    TTalkWithServer* first = session->Conversation();
    // 24 ticks of silence; periodic pings leave on the 10th and the 20th.
    for (int i = 0; i < 24; ++i)
        TickAfter(*session, 500);
    ASSERT_TRUE(WaitFor([&] { return PingsOf().size() == 3; }));
    EXPECT_EQ(session->Conversation(), first);
    EXPECT_EQ(session->IdleTicks(), 24);
    EXPECT_TRUE(Statuses.isEmpty());

    // The 25th drops it: "Disconnected.", then the waiting ping's failure
    // call shows the time of the drop.
    TickAfter(*session, 500);
    EXPECT_EQ(session->Conversation(), nullptr);
    EXPECT_EQ(Statuses, (QStringList{"Disconnected.", WorkingText()}));
    EXPECT_EQ(session->IdleTicks(), 0);
    ASSERT_TRUE(WaitForLogin(Peer, *session, 2));
    EXPECT_EQ(Peer.Connection().Requests[0].Value("command"), "login");
    EXPECT_TRUE(Peer.WaitForClose(0));
}

TEST_F(MainConnectionTest, LostConnectionIsReplacedOnTheNextTick)
{
    auto session = LoggedIn();
    TickAfter(*session, 4600); // a periodic ping is waiting
    ASSERT_TRUE(WaitFor([&] { return PingsOf().size() == 2; }));
    Peer.Drop();
    ASSERT_TRUE(WaitFor([&] { return session->Conversation()->State() == csClosed; }));
    // The waiting ping's failure call already shows the time.
    EXPECT_EQ(Statuses, QStringList{WorkingText()});
    EXPECT_EQ(session->IdleTicks(), 0);
    session->Tick();
    EXPECT_EQ(session->Conversation(), nullptr);
    ASSERT_TRUE(WaitForLogin(Peer, *session, 2));
}

TEST_F(MainConnectionTest, UnchangedStatusRaisesNoEvent)
{
    auto session = LoggedIn();
    TickAfter(*session, 4600);
    ASSERT_TRUE(WaitFor([&] { return PingsOf().size() == 2; }));
    Peer.Answer(PingsOf()[1].Id, "");
    ASSERT_TRUE(WaitFor([&] { return Statuses.size() == 1; }));
    const QDateTime answeredAt = Clock;
    const QString first = WorkingText();
    EXPECT_EQ(Statuses, QStringList{first});

    TickAfter(*session, 4600);
    ASSERT_TRUE(WaitFor([&] { return PingsOf().size() == 3; }));
    ASSERT_EQ(session->IdleTicks(), 1);
    // The next answer shows a time within the same second: the same text.
    Clock = answeredAt.addMSecs(200);
    ASSERT_EQ(WorkingText(), first);
    Peer.Answer(PingsOf()[2].Id, "");
    ASSERT_TRUE(WaitFor([&] { return session->IdleTicks() == 0; }));
    EXPECT_EQ(session->StatusText(), first);
    EXPECT_EQ(Statuses, QStringList{first});
}

TEST_F(MainConnectionTest, ThrowingStatusHandlerIsIgnored)
{
    auto session = LoggedIn();
    int calls = 0;
    session->OnStatusChange = [&] {
        ++calls;
        throw std::runtime_error("status handler failed");
    };
    Peer.Answer(FirstPingId(*session), "pong");
    ASSERT_TRUE(WaitFor([&] { return calls == 1; }));
    EXPECT_EQ(session->StatusText(), "Connected!");
    session->Reset();
    EXPECT_EQ(calls, 3); // "Disconnected.", then ""
    EXPECT_TRUE(session->StatusText().isEmpty());
}

// ---------------------------------------------------------------------------
// Alerts

TEST_F(MainConnectionTest, AlertsReachEveryListenerInOrder)
{
    auto session = LoggedIn();
    QStringList seen;
    session->AddAlertListener([&](const QByteArray& Data) { seen.append("1:" + QString::fromLatin1(Data)); });
    session->AddAlertListener([&](const QByteArray&) { throw std::runtime_error("listener failed"); });
    session->AddAlertListener([&](const QByteArray& Data) { seen.append("3:" + QString::fromLatin1(Data)); });

    const qint32 listenId = Peer.Connection().Requests[1].Id;
    Peer.Answer({{listenId, "Cat\r\nw_id=1&s=A"}, {listenId, "second"}});
    ASSERT_TRUE(WaitFor([&] { return seen.size() == 4; }));
    EXPECT_EQ(seen, (QStringList{"1:Cat\r\nw_id=1&s=A", "3:Cat\r\nw_id=1&s=A", "1:second", "3:second"}));

    // Failures reach no listener; direct calls (the alert test window) do.
    seen.clear();
    session->ListenForAlertsResponse(false, "lost", {});
    EXPECT_TRUE(seen.isEmpty());
    session->ListenForAlertsResponse(true, "typed", {});
    EXPECT_EQ(seen, (QStringList{"1:typed", "3:typed"}));
}
