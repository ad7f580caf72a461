#include "ExternalLinkingUnit.h"
#include "QuilletGenericConnector2Proj1_TLB.h"
#include "RegistrySettings.h"
#include "TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>

namespace {

// A control that records the calls made to it, then behaves as the real one.
class TRecordingConnector : public TQuilletGenericConnector2X {
public:
    using TQuilletGenericConnector2X::TQuilletGenericConnector2X;
    void SetProperty(int DispId, const QVariant& Value) override
    {
        Calls << QStringLiteral("put %1 %2").arg(DispId).arg(Value.toString());
        TQuilletGenericConnector2X::SetProperty(DispId, Value);
    }
    QVariant GetProperty(int DispId) const override
    {
        const QVariant value = TQuilletGenericConnector2X::GetProperty(DispId);
        Calls << QStringLiteral("get %1 = %2").arg(DispId).arg(value.toString());
        return value;
    }
    void Link() override
    {
        Calls << QStringLiteral("link ") + Symbol();
        TQuilletGenericConnector2X::Link();
    }
    mutable QStringList Calls;
};

TExternalLinkingWindow::TConnectorFactory RecordingFactory()
{
    return [](QWidget* Owner, TRegistrySettings* Settings) { return new TRecordingConnector(Owner, Settings); };
}

TRecordingConnector* Recorder(const TExternalLinkingWindow& Window)
{
    return static_cast<TRecordingConnector*>(Window.Connector());
}

} // namespace

TEST(ExternalLinkingWindow, StartsHiddenWithItsCaptionAndOnlyHidesOnClose)
{
    TExternalLinkingWindow window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("External Linking Window"));
    EXPECT_EQ(window.size(), QSize(443, 440));
    EXPECT_FALSE(window.isVisible());
    ASSERT_NE(window.Connector(), nullptr);
    EXPECT_TRUE(window.Connector()->Active()); // property 1 set at creation

    window.ShowAndRestore();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.Connector()->geometry(), window.rect()); // fills the window
    window.showMinimized();
    window.ShowAndRestore(); // "Configure External Linking" on an open, minimised window
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_FALSE(window.close()); // refused: it only hides
    EXPECT_FALSE(window.isVisible());
    EXPECT_NE(window.Connector(), nullptr);
}

TEST(ExternalLinkingWindow, SendSymbolStepsInOrderAndProperty19DecidesTheShowing)
{
    TExternalLinkingWindow window(nullptr, RecordingFactory());
    TRecordingConnector* control = Recorder(window);
    control->SetCopyToClipboard(false);
    control->Calls.clear();

    // Property 19 non-zero: a hidden window stays hidden.
    window.SendSymbol("IBM");
    EXPECT_EQ(control->Calls, (QStringList{QStringLiteral("put 18 IBM"), QStringLiteral("link IBM"),
                                  QStringLiteral("get 19 = 1")}));
    EXPECT_FALSE(window.isVisible());

    // A visible, minimised window is left as it is too.
    window.showMinimized();
    window.SendSymbol("MSFT");
    EXPECT_TRUE(window.isMinimized());

    // Property 19 zero: shown and restored from minimised.
    control->SetShowForEverySymbol(true);
    window.hide();
    window.setWindowState(Qt::WindowMinimized);
    control->Calls.clear();
    window.SendSymbol("");
    EXPECT_EQ(control->Calls, (QStringList{QStringLiteral("put 18 "), QStringLiteral("link "),
                                  QStringLiteral("get 19 = 0")}));
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_EQ(control->RecentSymbols(), (QStringList{QString(), QStringLiteral("MSFT"), QStringLiteral("IBM")}));
}

TEST(ExternalLinkingWindow, SymbolBytesAreLatin1AndReachTheClipboardAndTheList)
{
    TExternalLinkingWindow window;
    TQuilletGenericConnector2X* control = window.Connector();
    ASSERT_NE(control, nullptr);
    ASSERT_TRUE(control->CopyToClipboard()); // the default
    window.SendSymbol("\xC4XYZ\xE9");
    const QString expected = QStringLiteral("\u00c4XYZ\u00e9");
    EXPECT_EQ(control->Symbol(), expected);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), expected);
    ASSERT_EQ(control->RecentSymbolsList->count(), 1);
    EXPECT_TRUE(control->RecentSymbolsList->item(0)->text().endsWith(expected));

    // The list keeps the last symbols only, newest first.
    for (int i = 0; i < 25; ++i)
        window.SendSymbol(QByteArray("S") + QByteArray::number(i));
    EXPECT_EQ(control->RecentSymbols().size(), TQuilletGenericConnector2X::MaxRecentSymbols);
    EXPECT_EQ(control->RecentSymbolsList->count(), TQuilletGenericConnector2X::MaxRecentSymbols);
    EXPECT_EQ(control->RecentSymbols().first(), QStringLiteral("S24"));
    EXPECT_EQ(control->RecentSymbols().last(), QStringLiteral("S5"));
}

TEST(ExternalLinkingWindow, LinkCommandGetsTheSymbolAsOneLiteralArgument)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The small program: writes each argument followed by a NUL into the file
    // named by its first argument, then moves it in place.
    const QString script = dir.filePath(QStringLiteral("record args.sh"));
    {
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nout=\"$1\"\nshift\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$out.part\"\n"
                   "mv \"$out.part\" \"$out\"\n");
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    const QString output = dir.filePath(QStringLiteral("argv"));
    const QString oldCurrent = QDir::currentPath();
    QDir::setCurrent(dir.path()); // where an injected "touch X..." would land

    const QByteArray symbol = "A;touch X$(id)'\"`touch Y` {symbol} $HOME|&>Z";
    TExternalLinkingWindow window;
    TQuilletGenericConnector2X* control = window.Connector();
    ASSERT_NE(control, nullptr);
    control->SetLinkCommand(QStringLiteral("'%1' \"%2\" --symbol={symbol} -- {symbol}").arg(script, output));
    EXPECT_FALSE(control->CommandErrorLabel->isVisibleTo(control));
    window.SendSymbol(symbol);

    const bool arrived = TestSupport::WaitFor([&] { return QFile::exists(output); }, 10000);
    QDir::setCurrent(oldCurrent);
    ASSERT_TRUE(arrived);
    QFile file(output);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> args = file.readAll().split('\0');
    ASSERT_EQ(args.size(), 4); // three arguments and the empty tail after the last NUL
    EXPECT_EQ(args.at(0), QByteArray("--symbol=") + symbol);
    EXPECT_EQ(args.at(1), QByteArray("--"));
    EXPECT_EQ(args.at(2), symbol);
    const QStringList planted = QDir(dir.path()).entryList(QStringList{QStringLiteral("X*"), QStringLiteral("Y*"), QStringLiteral("Z*")}, QDir::Files);
    EXPECT_TRUE(planted.isEmpty()) << planted.join(QLatin1Char(' ')).toStdString();
}

TEST(ExternalLinkingWindow, FailingLinkCallRaisesAndSkipsTheRest)
{
    TExternalLinkingWindow window(nullptr, RecordingFactory());
    TRecordingConnector* control = Recorder(window);
    control->SetShowForEverySymbol(true);
    struct Case {
        const char* Command;
        const char* MessagePart;
        bool ShownAsTyped; // the control tells while the user types it
    };
    const Case cases[] = {
        {"/nonexistent/linker {symbol}", "could not start", false},
        {"tool 'unclosed {symbol}", "cannot be used", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Command);
        control->SetLinkCommand(QString::fromLatin1(c.Command));
        EXPECT_EQ(control->CommandErrorLabel->isVisibleTo(control), c.ShownAsTyped);
        control->Calls.clear();
        try {
            window.SendSymbol("AAPL");
            ADD_FAILURE() << "no exception";
        } catch (const EOleException& e) {
            EXPECT_TRUE(e.Message().contains(QString::fromLatin1(c.MessagePart))) << e.Message().toStdString();
        }
        // Property 19 was not read and the window was not shown.
        EXPECT_EQ(control->Calls, (QStringList{QStringLiteral("put 18 AAPL"), QStringLiteral("link AAPL")}));
        EXPECT_FALSE(window.isVisible());
    }
}

TEST(ExternalLinkingWindow, ControlThatCannotBeCreatedIsReportedAndSymbolsAreIgnored)
{
    TestSupport::TModalBoxCatcher boxes;
    TExternalLinkingWindow window(nullptr, [](QWidget*, TRegistrySettings*) -> TQuilletGenericConnector2X* {
        throw Exception(QStringLiteral("control not installed"));
    });
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_EQ(boxes.Captions.first(), QStringLiteral("Brenik Trading Alerts"));
    EXPECT_TRUE(boxes.Texts.first().contains(QStringLiteral("control not installed")));
    EXPECT_EQ(window.Connector(), nullptr);
    EXPECT_NO_THROW(window.SendSymbol("IBM"));
    EXPECT_FALSE(window.isVisible());
    window.ShowAndRestore(); // still opens, empty
    EXPECT_TRUE(window.isVisible());
}

TEST(ExternalLinkingWindow, InactiveControlLinksNothing)
{
    TQuilletGenericConnector2X control(nullptr, nullptr);
    control.SetProperty(TQuilletGenericConnector2X::DispIdSymbol, QStringLiteral("IBM"));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    control.Link();
    EXPECT_TRUE(control.RecentSymbols().isEmpty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
}

TEST(ExternalLinkingControl, DispatchErrors)
{
    TQuilletGenericConnector2X control(nullptr, nullptr);
    struct Case {
        const char* What;
        std::function<void()> Call;
    };
    const Case cases[] = {
        {"unknown id put", [&] { control.SetProperty(7, true); }},
        {"unknown id get", [&] { control.GetProperty(4); }},
        {"19 is read-only", [&] { control.SetProperty(19, 0); }},
        {"symbol must be a string", [&] { control.SetProperty(18, 5); }},
        {"active must be a Boolean", [&] { control.SetProperty(1, QStringLiteral("yes")); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        EXPECT_THROW(c.Call(), EOleException);
    }
    control.SetShowForEverySymbol(true);
    EXPECT_EQ(control.GetProperty(19).toInt(), 0);
    control.SetShowForEverySymbol(false);
    EXPECT_EQ(control.GetProperty(19).toInt(), 1);
}

TEST(ExternalLinkingControl, SplitCommandLine)
{
    struct Case {
        const char* Line;
        QStringList Words;
    };
    const Case cases[] = {
        {"", {}},
        {"  \t ", {}},
        {"prog", {"prog"}},
        {"  prog   a\tb  ", {"prog", "a", "b"}},
        {"prog 'a b' \"c d\"", {"prog", "a b", "c d"}},
        {"prog 'it\"s' \"say \\\"hi\\\" \\\\ \\n\"", {"prog", "it\"s", "say \"hi\" \\ \\n"}},
        {"prog a\\ b \\'q", {"prog", "a b", "'q"}},
        {"prog '' \"\" x", {"prog", "", "", "x"}},
        {"prog pre'mid dle'post\"!\"", {"prog", "premid dlepost!"}},
        {"prog ;|&$(x)", {"prog", ";|&$(x)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        EXPECT_EQ(TQuilletGenericConnector2X::SplitCommandLine(QString::fromLatin1(c.Line)), c.Words);
    }
    for (const char* bad : {"prog 'open", "prog \"open", "prog \"esc\\\"", "prog trailing\\"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(TQuilletGenericConnector2X::SplitCommandLine(QString::fromLatin1(bad)), EOleException);
    }
}

TEST(ExternalLinkingControl, LinkArgumentsSubstituteOnlyArguments)
{
    struct Case {
        const char* Line;
        QStringList Items;
    };
    const Case cases[] = {
        {"", {}},
        {"notify", {"notify", "A B"}},                                  // appended
        {"open https://x/q?s={symbol}&t={symbol}", {"open", "https://x/q?s=A B&t=A B"}},
        {"{symbol} x", {"{symbol}", "x", "A B"}},                       // program never substituted
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        EXPECT_EQ(TQuilletGenericConnector2X::LinkArguments(QString::fromLatin1(c.Line), QStringLiteral("A B")), c.Items);
    }
}

TEST(ExternalLinkingControl, SettingsLiveInTheRegistryStore)
{
    QTemporaryDir dir;
    TRegistrySettings settings(dir.filePath(QStringLiteral("BrenikAlerts.reg")));
    const QString key = TQuilletGenericConnector2X::SettingsKey;
    EXPECT_EQ(key, QStringLiteral("\\Software\\Quillet\\Brenik Alerts\\External Linking"));
    settings.WriteString(key, QStringLiteral("Command"), QStringLiteral("notify {symbol}"));
    settings.WriteInteger(key, QStringLiteral("Show Window For Every Symbol"), 1);
    settings.OpenKey(key, true);
    settings.CloseKey();

    {
        TExternalLinkingWindow window(&settings);
        TQuilletGenericConnector2X* control = window.Connector();
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->LinkCommandEdit->text(), QStringLiteral("notify {symbol}"));
        EXPECT_TRUE(control->ShowWindowCheck->isChecked());
        EXPECT_TRUE(control->CopyToClipboardCheck->isChecked()); // absent: default
        // Loading wrote nothing; the user's changes are written to the store.
        EXPECT_EQ(settings.GetDataType(key, QStringLiteral("Copy To Clipboard")), TRegDataType::Unknown);
        control->CopyToClipboardCheck->setChecked(false);
        control->LinkCommandEdit->setText(QStringLiteral("other"));
    }
    EXPECT_EQ(settings.ReadInteger(key, QStringLiteral("Copy To Clipboard"), 1), 0);
    EXPECT_EQ(settings.ReadString(key, QStringLiteral("Command"), QString()), QStringLiteral("other"));
}

TEST(ExternalLinkingControl, UnusableSettingIsReportedAndTheOthersApplied)
{
    QTemporaryDir dir;
    const QString fileName = dir.filePath(QStringLiteral("BrenikAlerts.reg"));
    {
        QFile file(fileName);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Windows Registry Editor Version 5.00\n\n"
                   "[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts\\External Linking]\n"
                   "\"Command\"=hex:01\n"
                   "\"Copy To Clipboard\"=\"0\"\n");
    }
    TRegistrySettings settings(fileName);
    settings.Load();
    TestSupport::TModalBoxCatcher boxes;
    TExternalLinkingWindow window(&settings);
    ASSERT_NE(window.Connector(), nullptr);
    ASSERT_EQ(boxes.Texts.size(), 1);
    EXPECT_TRUE(boxes.Texts.first().contains(QStringLiteral("Command"))) << boxes.Texts.first().toStdString();
    EXPECT_FALSE(window.Connector()->CopyToClipboard());
    EXPECT_EQ(window.Connector()->LinkCommand(), QString());
    EXPECT_EQ(settings.GetDataType(TQuilletGenericConnector2X::SettingsKey, QStringLiteral("Command")), TRegDataType::Other);
}
