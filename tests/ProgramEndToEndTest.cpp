// The whole client against the real alert server program: the windows driven
// in-process through the keyboard, and the real BrenikAlerts program started
// headless and ended by SIGTERM.
#include "AlertWindowUnit.h"
#include "BrenikAlertsMain.h"
#include "ExternalLinkingUnit.h"
#include "MainConnectionUnit.h"
#include "QuilletGenericConnector2Proj1_TLB.h"
#include "RegistrySettings.h"
#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>

namespace {

const QString BinDir = QStringLiteral(BRENIK_BIN_DIR);
constexpr int StartTimeoutMs = 10000;
constexpr int AlertTimeoutMs = 10000;

// The alert server program on a free loopback port, stopped at the end.
class TServerProcess {
public:
    explicit TServerProcess(const QStringList& Arguments)
    {
        FProcess.setProgram(BinDir + QStringLiteral("/BrenikAlertServer"));
        FProcess.setArguments(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--quiet")}
            + Arguments);
        FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        FProcess.start();
        static const QRegularExpression listening(QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)"));
        TestSupport::WaitFor([&] {
            while (FProcess.canReadLine()) {
                const auto match = listening.match(QString::fromUtf8(FProcess.readLine()));
                if (match.hasMatch())
                    Port = match.captured(1).toUShort();
            }
            return Port != 0 || FProcess.state() == QProcess::NotRunning;
        }, StartTimeoutMs);
    }
    ~TServerProcess()
    {
        FProcess.terminate();
        if (!FProcess.waitForFinished(StartTimeoutMs))
            FProcess.kill();
    }
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;

    quint16 Port = 0;

private:
    QProcess FProcess;
};

class ProgramEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* program : {"BrenikAlertServer", "BrenikAlerts"})
            ASSERT_TRUE(QFileInfo(BinDir + QLatin1Char('/') + QLatin1String(program)).isExecutable())
                << program << " is not built in " << BinDir.toStdString();
        QFile users(Dir.filePath(QStringLiteral("users.txt")));
        ASSERT_TRUE(users.open(QIODevice::WriteOnly));
        users.write("trader:secret\n");
        users.close();
        Server = std::make_unique<TServerProcess>(QStringList{QStringLiteral("--users"), users.fileName(),
            QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--points-wid"), QStringLiteral("20")});
        ASSERT_NE(Server->Port, 0) << "the alert server did not start";

        QFile ini(Dir.filePath(QStringLiteral("ZVR.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Connection]\nAddress=127.0.0.1:" + QByteArray::number(Server->Port) + "\n\n"
                  "[Additional Alerts 1]\nvisible=1\nw_id=20\ntitle=Points\ndisplay=pointslist\n\n"
                  "[Additional Alerts 2]\nvisible=1\nw_id=7\ntitle=Breaks\ndisplay=symbol\n");
    }

    QByteArray ReadText(const QString& Name) const
    {
        QFile file(Name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir Dir;
    std::unique_ptr<TServerProcess> Server;
};

// Whether the process has a handler installed for Signal (its SigCgt mask).
bool CatchesSignal(qint64 Pid, int Signal)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(Pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:")) {
            bool ok = false;
            const quint64 mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            return ok && (mask >> (Signal - 1) & 1);
        }
    }
    return false;
}

} // namespace

TEST_F(ProgramEndToEndTest, LogInThroughTheKeyboardAndWatchAlertsArrive)
{
    // The session manager reads ZVR.ini from the current folder on first use,
    // which is the main window's creation.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(Dir.path());
    auto program = std::make_unique<TBrenikProgram>(Dir.filePath(QStringLiteral("BrenikAlerts.reg")));
    QDir::setCurrent(previous);
    TMainForm* form = program->MainForm();
    ASSERT_EQ(MainConnection()->ServerAddress(), QStringLiteral("127.0.0.1:%1").arg(Server->Port));
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    EXPECT_EQ(form->StatusLabel->text(), QString());

    ASSERT_EQ(QApplication::focusWidget(), form->UsernameEdit);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("trader"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("secret"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), form->LoginButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);

    ASSERT_TRUE(TestSupport::WaitFor([&] { return form->StatusLabel->text() == QStringLiteral("Connected!"); },
        StartTimeoutMs))
        << form->StatusLabel->text().toStdString();
    EXPECT_FALSE(MainConnection()->SessionId().isEmpty());

    // Alerts reach the fixed windows and both additional ones.
    TAlertForm* quickStrike = form->AlertWindow(0);
    TAlertForm* points = form->AlertWindow(8);
    TAlertForm* breaks = form->AlertWindow(9);
    EXPECT_TRUE(TestSupport::WaitFor([&] {
        return !quickStrike->QuickStrikeList().isEmpty() && !points->PointsList().isEmpty()
            && !breaks->SymbolOnlyList().isEmpty();
    }, AlertTimeoutMs))
        << quickStrike->QuickStrikeList().size() << " " << points->PointsList().size() << " "
        << breaks->SymbolOnlyList().size();
    EXPECT_EQ(form->AdditionalAlerts1Button->text(), QStringLiteral("Points"));

    // The periodic ping: move the clock past the ping interval instead of
    // waiting for it.
    MainConnection()->Timer()->stop();
    const QDateTime later = QDateTime::currentDateTime().addMSecs(TMainConnection::PingIntervalMs + 1000);
    MainConnection()->Now = [later] { return later; };
    MainConnection()->Tick();
    EXPECT_TRUE(TestSupport::WaitFor([&] { return form->StatusLabel->text().startsWith(QStringLiteral("Working:  ")); },
        StartTimeoutMs))
        << form->StatusLabel->text().toStdString();
    MainConnection()->Now = [] { return QDateTime::currentDateTime(); };
    MainConnection()->Timer()->start();

    // A click on a grid row hands its symbol to the external linking window.
    QTest::mouseClick(form->WindowButtons[0], Qt::LeftButton);
    ASSERT_TRUE(quickStrike->isVisible());
    TQuilletGenericConnector2X* connector = program->ExternalLinkingWindow()->Connector();
    ASSERT_NE(connector, nullptr);
    TQuickStrikeGrid* grid = quickStrike->QuickStrikeGrid();
    ASSERT_NE(grid, nullptr);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
    ASSERT_EQ(connector->RecentSymbols().size(), 1);
    bool fromTheWindow = false;
    for (const TQuickStrikeEntry& entry : quickStrike->QuickStrikeList())
        fromTheWindow = fromTheWindow || QString::fromLatin1(entry.Symbol) == connector->RecentSymbols().first();
    EXPECT_TRUE(fromTheWindow) << connector->RecentSymbols().first().toStdString();

    // Closing: the user name is kept, the password is not.
    form->close();
    std::array<TAlertForm*, TMainForm::AlertWindowCount> windows{};
    for (int i = 0; i < TMainForm::AlertWindowCount; ++i)
        windows[i] = form->AlertWindow(i);
    program.reset();
    for (TAlertForm* window : windows)
        window->hide();
    const QByteArray registry = ReadText(Dir.filePath(QStringLiteral("BrenikAlerts.reg")));
    EXPECT_TRUE(registry.contains("\"User\"=\"trader\"")) << registry.constData();
    EXPECT_FALSE(registry.contains("secret"));
    EXPECT_TRUE(registry.contains("Brenik Alerts\\Window20]\n")) << registry.constData();
}

TEST_F(ProgramEndToEndTest, ProgramStartsHeadlessAndSavesItsSettingsOnSigterm)
{
    QProcess client;
    client.setProgram(BinDir + QStringLiteral("/BrenikAlerts"));
    client.setWorkingDirectory(Dir.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Dir.filePath(QStringLiteral("config")));
    client.setProcessEnvironment(environment);
    client.setProcessChannelMode(QProcess::ForwardedChannels);
    client.start();
    ASSERT_TRUE(client.waitForStarted(StartTimeoutMs));

    // SIGTERM once the program has its handler: it then closes the main
    // window as a user would.
    ASSERT_TRUE(TestSupport::WaitFor([&] { return CatchesSignal(client.processId(), SIGTERM); }, StartTimeoutMs));
    ::kill(pid_t(client.processId()), SIGTERM);
    ASSERT_TRUE(client.waitForFinished(StartTimeoutMs));
    EXPECT_EQ(client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client.exitCode(), 0);

    TRegistrySettings saved(Dir.filePath(QStringLiteral("config/Quillet/BrenikAlerts.reg")));
    ASSERT_NO_THROW(saved.Load());
    ASSERT_TRUE(saved.OpenKey(QString::fromLatin1(BrenikRegistryKey), false));
    const QStringList keys = saved.GetKeyNames();
    for (const char* key : {"Main", "Window1", "Window2", "Window3", "Window4", "Window5", "Window6", "Window7",
             "Window8", "Window20"}) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(keys.contains(QString::fromLatin1(key)));
    }
    EXPECT_EQ(saved.ReadInteger(QStringLiteral("Main"), QStringLiteral("Left"), 0), TMainForm::DesignLeft);
}
