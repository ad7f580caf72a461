#include "AlertWindowTestUnit.h"
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
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>

namespace {

// The process-wide session manager reads ZVR.ini from the current folder on
// first use: point it at a listening socket of ours before any test runs, so
// logins reach something real and can be counted.
class TSessionEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        Folder = std::make_unique<QTemporaryDir>();
        Server = std::make_unique<QTcpServer>();
        ASSERT_TRUE(Server->listen(QHostAddress::LocalHost, 0));
        QObject::connect(Server.get(), &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = Server->nextPendingConnection()) {
                socket->setParent(Server.get());
                ++Connections;
            }
        });
        QFile ini(Folder->filePath(QStringLiteral("ZVR.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[Connection]\nAddress=127.0.0.1:" + QByteArray::number(Server->serverPort()) + "\n");
        ini.close();
        const QString previous = QDir::currentPath();
        QDir::setCurrent(Folder->path());
        MainConnection();
        QDir::setCurrent(previous);
        // No reconnections or watchdog behind the tests' backs.
        MainConnection()->Timer()->stop();
    }
    void TearDown() override
    {
        Server.reset();
        Folder.reset();
    }
    std::unique_ptr<QTemporaryDir> Folder;
    std::unique_ptr<QTcpServer> Server;
    int Connections = 0;
};

TSessionEnvironment* const Session =
    static_cast<TSessionEnvironment*>(::testing::AddGlobalTestEnvironment(new TSessionEnvironment));

const QByteArray RegHeader = "Windows Registry Editor Version 5.00\n\n";
const QByteArray KeyPrefix = "[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts\\";

class MainWindowTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    QString RegistryFile() const { return Dir.filePath(QStringLiteral("BrenikAlerts.reg")); }
    QString IniFile() const { return Dir.filePath(QStringLiteral("ZVR.ini")); }

    void WriteText(const QString& Name, const QByteArray& Text)
    {
        ASSERT_TRUE(TestSupport::WriteFile(Name, Text)) << Name.toStdString();
    }
    QByteArray ReadText(const QString& Name) const
    {
        QFile file(Name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    std::unique_ptr<TMainForm> Start()
    {
        return std::make_unique<TMainForm>(RegistryFile(), IniFile());
    }
    // Destroys the form (which writes the registry) and tidies up its alert
    // windows, which live on.
    void Finish(std::unique_ptr<TMainForm>& Form)
    {
        std::array<TAlertForm*, TMainForm::AlertWindowCount> windows{};
        for (int i = 0; i < TMainForm::AlertWindowCount; ++i)
            windows[i] = Form->AlertWindow(i);
        Form.reset();
        for (TAlertForm* window : windows)
            if (window)
                window->hide();
    }
    // The registry as the next start would read it.
    std::unique_ptr<TRegistrySettings> Saved() const
    {
        auto settings = std::make_unique<TRegistrySettings>(RegistryFile());
        settings->Load();
        settings->OpenKey(QString::fromLatin1(BrenikRegistryKey), false);
        return settings;
    }
};

} // namespace

TEST_F(MainWindowTest, FirstStartShowsTheDesignedFormAndWritesEveryKeyAtExit)
{
    auto form = Start();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Brenik Trading Alerts 1.1.3"));
    EXPECT_EQ(form->pos(), QPoint(70, 123));
    EXPECT_EQ(form->size(), QSize(353, 267));
    EXPECT_EQ(form->PageControl1->currentWidget(), form->Connection);
    EXPECT_EQ(form->PageControl1->tabText(0), QStringLiteral("Connection"));
    EXPECT_EQ(form->PageControl1->tabText(1), QStringLiteral("Windows"));
    EXPECT_EQ(form->UsernameEdit->text(), QString());
    EXPECT_EQ(form->UsernameEdit->geometry().topLeft(), QPoint(8, 64));
    EXPECT_EQ(form->UsernameEdit->width(), 121);
    EXPECT_EQ(form->PasswordEdit->geometry().topLeft(), QPoint(144, 64));

    struct Control {
        const char* Name;
        const char* Caption;
        QRect Geometry;
        int Tag; // 0: none
    };
    const Control controls[] = {
        {"LoginButton", "Login", {24, 96, 75, 25}, 0},
        {"ResetConnectionButton", "Reset Connection", {120, 96, 121, 25}, 0},
        {"Button1", "Quickstrike Down", {8, 8, 153, 25}, 1},
        {"Button2", "Quickstrike Up", {168, 8, 153, 25}, 2},
        {"Button3", "Bollinger Long (NASDAQ)", {8, 40, 153, 25}, 3},
        {"Button4", "Bollinger Short (NASDAQ)", {168, 40, 153, 25}, 4},
        {"Button5", "Bollinger Long (NYSE)", {8, 72, 153, 25}, 5},
        {"Button6", "Bollinger Short (NYSE)", {168, 72, 153, 25}, 6},
        {"Button7", "Break Lo 5", {8, 104, 153, 25}, 7},
        {"Button8", "Break Hi 5", {168, 104, 153, 25}, 8},
        {"AdditionalAlerts1Button", "Additional Alerts 1", {8, 136, 153, 25}, 9},
        {"AdditionalAlerts2Button", "Additional Alerts 2", {168, 136, 153, 25}, 10},
        {"ConfigureExternalLinkingButton", "Configure External Linking", {88, 168, 153, 25}, 0},
    };
    QWidget* previous = nullptr;
    for (const Control& c : controls) {
        SCOPED_TRACE(c.Name);
        auto* button = form->findChild<QPushButton*>(QString::fromLatin1(c.Name));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), QString::fromLatin1(c.Caption));
        EXPECT_EQ(button->geometry(), c.Geometry);
        EXPECT_EQ(button->property("Tag").toInt(), c.Tag);
        if (previous && previous->parentWidget() == button->parentWidget()) {
            EXPECT_EQ(previous->nextInFocusChain(), button); // tab order of the table
        }
        previous = button;
    }
    EXPECT_EQ(form->findChild<QLabel*>(QStringLiteral("Label3"))->text(), QStringLiteral("Status:"));
    EXPECT_EQ(form->StatusLabel->pos(), QPoint(48, 8));
    EXPECT_EQ(form->UsernameEdit->nextInFocusChain(), form->PasswordEdit);
    EXPECT_EQ(form->PasswordEdit->nextInFocusChain(), form->LoginButton);
    EXPECT_TRUE(form->AdditionalAlerts1Button->isHidden());
    EXPECT_TRUE(form->AdditionalAlerts2Button->isHidden());
    for (int i = 0; i < TMainForm::AlertWindowCount; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(form->AlertWindow(i), nullptr);
        EXPECT_FALSE(form->AlertWindow(i)->isVisible());
        EXPECT_EQ(form->AlertWindow(i)->w_id, i < 8 ? i + 1 : 0);
    }
    EXPECT_EQ(form->AlertWindow(0)->windowTitle(), QStringLiteral("Quickstrike Down"));
    // The registry key exists from the start.
    EXPECT_TRUE(form->RegistrySettings()->KeyExists(QString::fromLatin1(BrenikRegistryKey)));
    Finish(form);

    auto saved = Saved();
    EXPECT_EQ(saved->GetKeyNames(), (QStringList{"Main", "Window0", "Window1", "Window2", "Window3", "Window4",
                                        "Window5", "Window6", "Window7", "Window8"}));
    EXPECT_EQ(saved->ReadString(QStringLiteral("Main"), QStringLiteral("User"), QStringLiteral("?")), QString());
    EXPECT_EQ(saved->ReadInteger(QStringLiteral("Main"), QStringLiteral("Left"), 0), 70);
    EXPECT_EQ(saved->ReadInteger(QStringLiteral("Main"), QStringLiteral("Top"), 0), 123);
    EXPECT_EQ(saved->GetDataType(QStringLiteral("Window1"), QStringLiteral("Visible")), TRegDataType::String);
    EXPECT_EQ(saved->ReadString(QStringLiteral("Window1"), QStringLiteral("Visible"), QString()), QStringLiteral("0"));
    EXPECT_EQ(saved->GetDataType(QStringLiteral("Window1"), QStringLiteral("Width")), TRegDataType::Integer);
    EXPECT_EQ(saved->ReadInteger(QStringLiteral("Window1"), QStringLiteral("State"), -1), 0);
}

TEST_F(MainWindowTest, AdditionalWindowIsEnabledOnlyByExactlyOne)
{
    struct Case {
        const char* Visible;
        bool Enabled;
    };
    const Case cases[] = {{"yes", false}, {"true", false}, {"01", false}, {"", false}, {" 1 ", true}, {"1", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Visible);
        WriteText(IniFile(), QByteArray("[Additional Alerts 1]\nvisible=") + c.Visible
                + "\nw_id=20\n\n[Additional Alerts 2]\nvisible=" + c.Visible + "\ntitle=My Picks\nw_id=$1F\n");
        auto form = Start();
        EXPECT_EQ(form->AdditionalAlerts1Button->isHidden(), !c.Enabled);
        EXPECT_EQ(form->AdditionalAlerts2Button->isHidden(), !c.Enabled);
        if (c.Enabled) {
            EXPECT_EQ(form->AdditionalAlerts1Button->text(), QStringLiteral("Alerts")); // the default title
            EXPECT_EQ(form->AdditionalAlerts2Button->text(), QStringLiteral("My Picks"));
            EXPECT_EQ(form->AlertWindow(8)->w_id, 20);
            EXPECT_EQ(form->AlertWindow(9)->w_id, 31);
        } else {
            EXPECT_EQ(form->AdditionalAlerts1Button->text(), QStringLiteral("Additional Alerts 1"));
            EXPECT_EQ(form->AlertWindow(8)->w_id, 0);
            EXPECT_FALSE(form->AlertWindow(9)->HasGrid());
        }
        Finish(form);
    }
}

TEST_F(MainWindowTest, AdditionalWindowWithoutIdentifierUsesWindowMinusOne)
{
    WriteText(IniFile(), "[Additional Alerts 2]\nvisible=1\ntitle=Mine\n");
    auto form = Start();
    EXPECT_EQ(form->AlertWindow(9)->w_id, -1);
    QTest::mouseClick(form->AdditionalAlerts2Button, Qt::LeftButton);
    EXPECT_TRUE(form->AlertWindow(9)->isVisible());
    Finish(form);
    auto saved = Saved();
    EXPECT_TRUE(saved->GetKeyNames().contains(QStringLiteral("Window-1")));
    EXPECT_EQ(saved->ReadString(QStringLiteral("Window-1"), QStringLiteral("Visible"), QString()), QStringLiteral("1"));
}

TEST_F(MainWindowTest, MaximisedWindowComesBackMaximisedWithItsRestoredRectangle)
{
    const QRect restored(100, 120, 300, 200);
    WriteText(RegistryFile(), RegHeader + KeyPrefix + "Window3]\n"
            "\"Width\"=dword:0000012c\n\"Height\"=dword:000000c8\n"
            "\"Left\"=dword:00000064\n\"Top\"=dword:00000078\n"
            "\"Visible\"=\"1\"\n\"State\"=dword:00000002\n");
    auto form = Start();
    TAlertForm* window = form->AlertWindow(2);
    EXPECT_TRUE(window->isVisible()); // shown at start, before the main window
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(window->isMaximized());
    EXPECT_EQ(window->normalGeometry(), restored);
    Finish(form);

    // At exit the restored rectangle is written, not the maximised one.
    auto saved = Saved();
    EXPECT_EQ(saved->ReadInteger(QStringLiteral("Window3"), QStringLiteral("State"), -1), 2);
    EXPECT_EQ(QRect(saved->ReadInteger(QStringLiteral("Window3"), QStringLiteral("Left"), 0),
                  saved->ReadInteger(QStringLiteral("Window3"), QStringLiteral("Top"), 0),
                  saved->ReadInteger(QStringLiteral("Window3"), QStringLiteral("Width"), 0),
                  saved->ReadInteger(QStringLiteral("Window3"), QStringLiteral("Height"), 0)),
        restored);

    // Restoring it gives the rectangle back.
    auto again = Start();
    TAlertForm* same = again->AlertWindow(2);
    ASSERT_TRUE(same->isMaximized());
    same->showNormal();
    EXPECT_EQ(same->geometry(), restored);
    Finish(again);
}

TEST_F(MainWindowTest, IntegerStoredAsStringIsReadAndWrittenBackAsString)
{
    WriteText(RegistryFile(), RegHeader + KeyPrefix + "Main]\n\"Left\"=\"120\"\n\"User\"=\"alice\"\n");
    auto form = Start();
    EXPECT_EQ(form->x(), 120);
    EXPECT_EQ(form->y(), 123);
    EXPECT_EQ(form->UsernameEdit->text(), QStringLiteral("alice"));
    Finish(form);
    const QByteArray text = ReadText(RegistryFile());
    EXPECT_TRUE(text.contains("\"Left\"=\"120\"\n")) << text.constData();
    EXPECT_TRUE(text.contains("\"Top\"=dword:0000007b\n")) << text.constData();
}

TEST_F(MainWindowTest, UnusableRegistryValuesAreShownOnceAndLoseNoOtherSetting)
{
    WriteText(RegistryFile(), RegHeader + KeyPrefix + "Main]\n\"Left\"=hex:01,02\n\"User\"=dword:00000001\n"
            "\"Top\"=dword:00000050\n\n"
            + KeyPrefix + "Window2]\n\"Left\"=dword:00000020\n\"Top\"=dword:00000030\n\"Width\"=dword:00000150\n"
            "\"Height\"=dword:00000100\n\"Visible\"=\"1\"\n");
    TestSupport::TModalBoxCatcher boxes;
    auto form = Start();
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_EQ(boxes.Captions.first(), QStringLiteral("Brenik Trading Alerts"));
    EXPECT_TRUE(boxes.Texts.first().contains(QStringLiteral("\"Left\""))) << boxes.Texts.first().toStdString();
    EXPECT_TRUE(boxes.Texts.first().contains(QStringLiteral("\"User\""))) << boxes.Texts.first().toStdString();
    // The unusable values keep their defaults; everything else is restored.
    EXPECT_EQ(form->pos(), QPoint(70, 80));
    EXPECT_EQ(form->UsernameEdit->text(), QString());
    EXPECT_TRUE(form->AlertWindow(1)->isVisible());
    EXPECT_EQ(form->AlertWindow(1)->geometry(), QRect(32, 48, 336, 256));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Brenik Trading Alerts 1.1.3"));
    Finish(form);
    EXPECT_EQ(boxes.Texts.size(), 1);
    // At exit the window's Left replaces the unusable value as an integer,
    // and the other window's placement survives.
    const QByteArray text = ReadText(RegistryFile());
    EXPECT_TRUE(text.contains("\"Left\"=dword:00000046\n")) << text.constData();
    EXPECT_TRUE(text.contains(KeyPrefix + "Window2]\n\"Left\"=dword:00000020\n\"Top\"=dword:00000030\n"
                                          "\"Width\"=dword:00000150\n\"Height\"=dword:00000100\n"))
        << text.constData();
}

TEST_F(MainWindowTest, DamagedRegistryIsReportedOnceAndDefaultsUsed)
{
    WriteText(RegistryFile(), "this is not a registry file\n");
    TestSupport::TModalBoxCatcher boxes;
    auto form = Start();
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_TRUE(boxes.Texts.first().contains(QStringLiteral("damaged"))) << boxes.Texts.first().toStdString();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Brenik Trading Alerts 1.1.3")); // start-up went on
    EXPECT_EQ(form->pos(), QPoint(70, 123));
    Finish(form);
    EXPECT_EQ(boxes.Texts.size(), 1);
    const QStringList aside = QDir(Dir.path()).entryList({QStringLiteral("BrenikAlerts.reg.damaged-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(ReadText(Dir.filePath(aside.first())), QByteArray("this is not a registry file\n"));
    EXPECT_TRUE(Saved()->KeyExists(QStringLiteral("Main")));
}

TEST_F(MainWindowTest, OffScreenPlacementsComeBackOnThePrimaryScreen)
{
    WriteText(RegistryFile(), RegHeader + KeyPrefix + "Main]\n\"Left\"=dword:ffffd8f0\n\"Top\"=dword:ffffd8f0\n\n"
            + KeyPrefix + "Window1]\n\"Left\"=dword:00030d40\n\"Top\"=dword:00000010\n\"Width\"=dword:00000190\n"
            "\"Height\"=dword:00000100\n");
    auto form = Start();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(form->pos(), area.topLeft());
    EXPECT_EQ(form->AlertWindow(0)->geometry(), QRect(area.topLeft(), QSize(400, 256)));
    Finish(form);
}

TEST_F(MainWindowTest, WindowButtonRestoresAndRaisesMinimisedWindows)
{
    // One that was minimised and then closed: hidden at start, normal when its
    // button brings it back.
    WriteText(RegistryFile(), RegHeader + KeyPrefix + "Window5]\n\"Visible\"=\"0\"\n\"State\"=dword:00000001\n");
    auto form = Start();
    TAlertForm* closed = form->AlertWindow(4);
    EXPECT_FALSE(closed->isVisible());
    QTest::mouseClick(form->WindowButtons[4], Qt::LeftButton);
    EXPECT_TRUE(closed->isVisible());
    EXPECT_FALSE(closed->isMinimized());

    // One that is open and minimised.
    TAlertForm* open = form->AlertWindow(1);
    open->showMinimized();
    ASSERT_TRUE(open->isMinimized());
    QTest::mouseClick(form->WindowButtons[1], Qt::LeftButton);
    EXPECT_TRUE(open->isVisible());
    EXPECT_FALSE(open->isMinimized());
    Finish(form);
}

TEST_F(MainWindowTest, PasswordShowsTildesAndIsNeverStored)
{
    auto form = Start();
    QTest::keyClicks(form->PasswordEdit, QStringLiteral("s3cr3t"));
    EXPECT_EQ(form->PasswordEdit->text(), QStringLiteral("s3cr3t"));
    EXPECT_EQ(form->PasswordEdit->displayText(), QStringLiteral("~~~~~~"));
    QTest::keyClick(form->PasswordEdit, Qt::Key_Backspace);
    QTest::keyClick(form->PasswordEdit, Qt::Key_Home);
    QTest::keyClick(form->PasswordEdit, Qt::Key_Delete);
    EXPECT_EQ(form->PasswordEdit->text(), QStringLiteral("3cr3"));
    EXPECT_EQ(form->PasswordEdit->displayText(), QStringLiteral("~~~~"));
    form->UsernameEdit->setText(QStringLiteral("pat"));
    Finish(form);
    const QByteArray text = ReadText(RegistryFile());
    EXPECT_TRUE(text.contains("\"User\"=\"pat\"")) << text.constData();
    EXPECT_FALSE(text.contains("3cr")) << text.constData();
}

TEST_F(MainWindowTest, KeyboardLoginAndLoginTwiceWithUnchangedFields)
{
    auto form = Start();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    ASSERT_EQ(QApplication::focusWidget(), form->UsernameEdit);
    const int before = Session->Connections;

    // Name, Tab, password, Tab, Space on "Login".
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("kbd-user"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), form->PasswordEdit);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("kbd-pass"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), form->LoginButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_EQ(MainConnection()->UserName(), QByteArray("kbd-user"));
    EXPECT_EQ(MainConnection()->Password(), QByteArray("kbd-pass"));
    ASSERT_TRUE(TestSupport::WaitFor([&] { return Session->Connections == before + 1; }));

    // Login again, and Enter in either edit, with nothing changed: no new
    // connection.
    TTalkWithServer* conversation = MainConnection()->Conversation();
    QTest::mouseClick(form->LoginButton, Qt::LeftButton);
    QTest::keyClick(form->UsernameEdit, Qt::Key_Return);
    QTest::keyClick(form->PasswordEdit, Qt::Key_Enter);
    TestSupport::DrainEvents();
    QTest::qWait(100); // a connection would be on its way by now
    EXPECT_EQ(MainConnection()->Conversation(), conversation);
    EXPECT_EQ(Session->Connections, before + 1);

    // A changed password does start anew, through Enter.
    QTest::keyClicks(form->PasswordEdit, QStringLiteral("2"));
    QTest::keyClick(form->PasswordEdit, Qt::Key_Return);
    EXPECT_EQ(MainConnection()->Password(), QByteArray("kbd-pass2"));
    EXPECT_TRUE(TestSupport::WaitFor([&] { return Session->Connections == before + 2; }));
    Finish(form);

    // The session manager lives on; the destroyed window is no longer its
    // status listener (a status change now must not reach it).
    EXPECT_FALSE(static_cast<bool>(MainConnection()->OnStatusChange));
    MainConnection()->Reset();
    EXPECT_EQ(MainConnection()->StatusText(), QString());
}

TEST_F(MainWindowTest, ProgramWindowsAndTheirButtons)
{
    auto program = std::make_unique<TBrenikProgram>(RegistryFile(), IniFile());
    TMainForm* form = program->MainForm();
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QStringLiteral("Brenik Trading Alerts"));
    EXPECT_FALSE(program->AlertTestForm()->isVisible());
    EXPECT_FALSE(program->ExternalLinkingWindow()->isVisible());
    form->show(); // FormShow shows the alert test window
    EXPECT_TRUE(program->AlertTestForm()->isVisible());

    QTest::mouseClick(form->ConfigureExternalLinkingButton, Qt::LeftButton);
    EXPECT_TRUE(program->ExternalLinkingWindow()->isVisible());
    program->ExternalLinkingWindow()->showMinimized();
    QTest::mouseClick(form->ConfigureExternalLinkingButton, Qt::LeftButton);
    EXPECT_FALSE(program->ExternalLinkingWindow()->isMinimized());

    // The external linking control keeps its settings in the same registry.
    ASSERT_NE(program->ExternalLinkingWindow()->Connector(), nullptr);
    program->ExternalLinkingWindow()->Connector()->SetLinkCommand(QStringLiteral("notify {symbol}"));
    std::array<TAlertForm*, TMainForm::AlertWindowCount> windows{};
    for (int i = 0; i < TMainForm::AlertWindowCount; ++i)
        windows[i] = form->AlertWindow(i);
    program.reset();
    for (TAlertForm* window : windows)
        window->hide();
    EXPECT_TRUE(ReadText(RegistryFile()).contains("[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts\\External Linking]\n"
                                                  "\"Command\"=\"notify {symbol}\"\n"));
}
