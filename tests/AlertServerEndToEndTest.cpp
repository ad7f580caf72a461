// The client's own conversation and session manager against the local alert
// server, in one process over loopback: the login, the session identifier,
// listening, categories, alerts, ping answers, and the client's recovery from
// each fault the server can inject. The session manager's timer is stopped and
// its clock moved by hand, so pings and the watchdog need no waiting.
#include "AlertServer.h"
#include "MainConnectionUnit.h"
#include "TalkWithServer.h"

#include "TestSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using TestSupport::DrainEvents;
using TestSupport::WaitFor;

namespace {

// Three alerts sent one after the other as soon as someone listens: two on the
// main category, one on a category the client adds from ZVR.ini.
const QByteArray ReplayAlerts = "0\tBRENIK-main\tw_id=1&symbol=R%26D&last=10.50&prev_close=10&time=09:31:05\n"
                                "0\tnews\tw_id=7&symbol=B\n"
                                "0\tunwanted\tw_id=8&symbol=C\n"
                                "0\tBRENIK-main\tw_id=20&symbol0=D&last0=1.5&change0=-0.25\n";

class AlertServerEndToEndTest : public ::testing::Test {
protected:
    std::unique_ptr<TAlertServer> StartServer(TServerOptions Options)
    {
        Options.ListenAddress = QHostAddress(QHostAddress::LocalHost);
        Options.Port = 0;
        if (Options.ReplayFile.isEmpty())
            Options.ReplayFile = WriteFile("alerts.txt", ReplayAlerts);
        auto server = std::make_unique<TAlertServer>(Options);
        server->OnLog = [this](const QString& Line) { LogLines.append(Line); };
        EXPECT_TRUE(server->Listen()) << server->ErrorText().toStdString();
        return server;
    }

    // A session manager of its own, reading a ZVR.ini that points at the
    // server and adds the category "news"; its timer is stopped and its clock
    // is Clock. It logs in at once.
    std::unique_ptr<TMainConnection> StartClient(quint16 Port)
    {
        const QString ini = WriteFile("ZVR.ini", "[Connection]\r\nAddress=127.0.0.1:" + QByteArray::number(Port)
                                                     + "\r\n[Subscriptions]\r\nnews=1\r\n");
        auto client = std::make_unique<TMainConnection>(ini);
        client->Timer()->stop();
        client->Now = [this] { return Clock; };
        TMainConnection* raw = client.get();
        client->OnStatusChange = [this, raw] { Statuses.append(raw->StatusText()); };
        client->AddAlertListener([this](const QByteArray& Data) { Alerts.append(Data); });
        client->SetUserName(QStringLiteral("ann"));
        client->SetPassword(QStringLiteral("pw"));
        return client;
    }

    // One tick of the session manager, Ms milliseconds after the last one.
    void Tick(TMainConnection& Client, qint64 Ms = TMainConnection::TickIntervalMs)
    {
        Clock = Clock.addMSecs(Ms);
        Client.Tick();
        DrainEvents();
    }

    bool LogHas(const QString& Text) const
    {
        for (const QString& line : LogLines)
            if (line.contains(Text))
                return true;
        return false;
    }

    QString WriteFile(const QString& Name, const QByteArray& Content)
    {
        const QString path = Dir.filePath(Name);
        EXPECT_TRUE(TestSupport::WriteFile(path, Content)) << path.toStdString();
        return path;
    }

    QTemporaryDir Dir;
    QDateTime Clock = QDateTime(QDate(2024, 3, 4), QTime(9, 30));
    QStringList LogLines;
    QStringList Statuses;
    QList<QByteArray> Alerts;
};

} // namespace

TEST_F(AlertServerEndToEndTest, TheConversationLogsInListensAndGetsAnswers)
{
    auto server = StartServer({});
    TTalkWithServer talk;
    talk.ServerAddress = QStringLiteral("127.0.0.1:%1").arg(server->Port());
    QList<QByteArray> loginAnswers, alerts;
    int pingAnswers = 0;
    talk.SendMessage(BuildMessage("command", "login", "username", "ann", "password", "pw", "session_id", ""), true,
                     [&](bool Success, const QByteArray& Response, const TMessageToServer&) {
                         if (Success)
                             loginAnswers.append(Response);
                     });
    talk.SendMessage(BuildMessage("command", "listen_for_alerts"), true,
                     [&](bool Success, const QByteArray& Response, const TMessageToServer&) {
                         if (Success)
                             alerts.append(Response);
                     });
    talk.SendMessage(BuildMessage("command", "add_alert_category", "category", "BRENIK-main"));
    talk.SendMessage(BuildMessage("command", "ping", "response", '1'), false,
                     [&](bool Success, const QByteArray&, const TMessageToServer&) { pingAnswers += Success; });
    talk.Connect();

    ASSERT_TRUE(WaitFor([&] { return alerts.size() >= 2 && pingAnswers == 1; }));
    ASSERT_EQ(loginAnswers.size(), 1);
    EXPECT_TRUE(loginAnswers[0].startsWith("SESSION ID\r\n"));
    EXPECT_EQ(loginAnswers[0].size(), 12 + 32);
    EXPECT_EQ(alerts[0], "BRENIK-main\r\nw_id=1&symbol=R%26D&last=10.50&prev_close=10&time=09:31:05");
    EXPECT_EQ(alerts[1], "BRENIK-main\r\nw_id=20&symbol0=D&last0=1.5&change0=-0.25");
    EXPECT_EQ(talk.State(), csConnected);
}

TEST_F(AlertServerEndToEndTest, TheSessionManagerConnectsReceivesAlertsAndPings)
{
    auto server = StartServer({});
    auto client = StartClient(server->Port());
    ASSERT_TRUE(WaitFor([&] { return client->StatusText() == QLatin1String("Connected!"); }));
    ASSERT_TRUE(WaitFor([&] { return Alerts.size() == 3; }));
    // The main category and the one from ZVR.ini, in the server's order; not
    // the category nobody asked for.
    EXPECT_EQ(Alerts[0], "BRENIK-main\r\nw_id=1&symbol=R%26D&last=10.50&prev_close=10&time=09:31:05");
    EXPECT_EQ(Alerts[1], "news\r\nw_id=7&symbol=B");
    EXPECT_EQ(Alerts[2], "BRENIK-main\r\nw_id=20&symbol0=D&last0=1.5&change0=-0.25");
    EXPECT_EQ(client->SessionId().size(), 32);
    EXPECT_TRUE(LogHas(QStringLiteral("(\"command\" --> \"add_alert_category\", \"category\" --> \"news\")")));

    // The periodic ping goes out once 4.5 s have passed and is answered.
    Tick(*client, 4600);
    ASSERT_TRUE(WaitFor([&] { return client->StatusText().startsWith(QLatin1String("Working:  ")); }));
    EXPECT_EQ(client->IdleTicks(), 0);
    EXPECT_EQ(Statuses.first(), QStringLiteral("Connected!"));
    EXPECT_EQ(server->Statistics().Connections, 1u);
}

TEST_F(AlertServerEndToEndTest, ADroppedConnectionIsRebuiltAndLogsInWithTheSessionId)
{
    TServerOptions options;
    options.DropAfterSeconds = 0.5;
    auto server = StartServer(options);
    auto client = StartClient(server->Port());
    ASSERT_TRUE(WaitFor([&] { return !client->SessionId().isEmpty(); }));
    const QByteArray sessionId = client->SessionId();
    ASSERT_TRUE(WaitFor([&] { return client->Conversation()->State() == csClosed; }));
    EXPECT_EQ(client->Conversation()->DisconnectReason(), QStringLiteral("Unexpected disconnect from server."));

    Tick(*client); // notices the closed conversation and builds a new one
    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("#2 logged in")); }));
    bool presented = false;
    for (const QString& line : LogLines)
        presented = presented
                    || (line.startsWith(QLatin1String("#2 (")) && line.contains(QLatin1String("\"login\""))
                        && line.contains(QStringLiteral("\"session_id\" --> \"%1\"").arg(QString::fromLatin1(sessionId))));
    EXPECT_TRUE(presented) << "the second login carries the session id of the first";
    EXPECT_TRUE(LogHas(QStringLiteral("#2 logged in as \"ann\", session ") + QString::fromLatin1(sessionId)))
        << "the server kept the session";
    EXPECT_EQ(client->SessionId(), sessionId);
}

TEST_F(AlertServerEndToEndTest, GarbageIsInvalidDataAndTheClientReconnects)
{
    TServerOptions options;
    options.GarbageAfterSeconds = 0.5;
    auto server = StartServer(options);
    auto client = StartClient(server->Port());
    ASSERT_TRUE(WaitFor([&] { return client->StatusText() == QLatin1String("Connected!"); }));
    ASSERT_TRUE(WaitFor([&] { return client->Conversation()->State() == csClosed; }));
    EXPECT_TRUE(client->Conversation()->DisconnectReason().startsWith(QLatin1String("Invalid data from server: ")))
        << client->Conversation()->DisconnectReason().toStdString();

    Tick(*client);
    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("#2 logged in")); }));
    EXPECT_TRUE(WaitFor([&] { return client->Conversation() && client->Conversation()->State() == csConnected; }));
}

TEST_F(AlertServerEndToEndTest, StopShowsTheTextAndTheClientStaysAway)
{
    TServerOptions options;
    options.StopText = QByteArray("Closed for maintenance");
    auto server = StartServer(options);
    auto client = StartClient(server->Port());
    ASSERT_TRUE(WaitFor([&] { return client->StatusText() == QLatin1String("Closed for maintenance"); }));
    EXPECT_TRUE(client->Stopped());
    ASSERT_TRUE(WaitFor([&] { return server->ConnectionCount() == 0; })) << "the server closes after the STOP";
    for (int i = 0; i < 30; ++i)
        Tick(*client);
    EXPECT_EQ(client->Conversation(), nullptr);
    EXPECT_EQ(server->Statistics().Connections, 1u) << "no reconnect after a STOP";
    EXPECT_EQ(Statuses, QStringList{QStringLiteral("Closed for maintenance")}) << "never \"Connected!\" over the text";
}

TEST_F(AlertServerEndToEndTest, UnansweredPingsLetTheWatchdogRebuildTheConnection)
{
    TServerOptions options;
    options.IgnorePings = true;
    auto server = StartServer(options);
    auto client = StartClient(server->Port());
    ASSERT_TRUE(WaitFor([&] { return !client->SessionId().isEmpty() && Alerts.size() == 3; }));
    const QByteArray sessionId = client->SessionId();

    // Half-second ticks: the periodic ping leaves after 4.5 s and is never
    // answered; the 25th tick gives up on the connection.
    for (int i = 1; i < TMainConnection::WatchdogTicks; ++i)
        Tick(*client);
    EXPECT_EQ(server->Statistics().Connections, 1u);
    const auto pingsSeen = [this] {
        int pings = 0;
        for (const QString& line : LogLines)
            pings += line.startsWith(QLatin1String("#1 (")) && line.contains(QLatin1String("\"ping\""));
        return pings;
    };
    EXPECT_TRUE(WaitFor([&] { return pingsSeen() == 2; }))
        << "the first ping and one periodic ping went out, neither answered";
    Tick(*client);
    ASSERT_GE(Statuses.size(), 2);
    EXPECT_FALSE(Statuses.contains(QStringLiteral("Connected!")));
    EXPECT_EQ(Statuses[Statuses.size() - 2], QStringLiteral("Disconnected."));
    EXPECT_TRUE(Statuses.last().startsWith(QLatin1String("Working:  "))) << "the waiting ping's failure call";

    ASSERT_TRUE(WaitFor([&] { return LogHas(QStringLiteral("#2 logged in as \"ann\", session ") + QString::fromLatin1(sessionId)); }));
    EXPECT_EQ(server->Statistics().Connections, 2u);
}
