#include "RegistrySettings.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class RegistrySettingsTest : public ::testing::Test {
protected:
    QTemporaryDir Dir;
    QString FileName() const { return Dir.filePath(QStringLiteral("Quillet/BrenikAlerts.reg")); }

    void WriteFile(const QByteArray& Text)
    {
        QDir().mkpath(Dir.filePath(QStringLiteral("Quillet")));
        ASSERT_TRUE(TestSupport::WriteFile(FileName(), Text));
    }
    QByteArray ReadFile(const QString& Name) const
    {
        QFile file(Name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    QStringList FilesInFolder() const
    {
        return QDir(Dir.filePath(QStringLiteral("Quillet"))).entryList(QDir::Files | QDir::Hidden);
    }
};

const QByteArray MainKeyLine = "[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts\\Main]\n";

} // namespace

TEST_F(RegistrySettingsTest, SavesTheExportFormatExactlyAndReadsItBack)
{
    {
        TRegistrySettings settings(FileName());
        settings.Load(); // no file yet: empty, no error
        ASSERT_TRUE(settings.OpenKey(QString::fromLatin1(BrenikRegistryKey), true));
        settings.WriteString(QStringLiteral("Main"), QStringLiteral("User"), QStringLiteral("al\"i\\ce"));
        settings.WriteInteger(QStringLiteral("Main"), QStringLiteral("Left"), 70);
        settings.WriteInteger(QStringLiteral("Window-1"), QStringLiteral("Top"), -2);
        settings.Save();
    }
    EXPECT_EQ(ReadFile(FileName()),
        QByteArray("Windows Registry Editor Version 5.00\n"
                   "\n"
                   "[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts]\n"
                   "\n"
                   "[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts\\Main]\n"
                   "\"User\"=\"al\\\"i\\\\ce\"\n"
                   "\"Left\"=dword:00000046\n"
                   "\n"
                   "[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts\\Window-1]\n"
                   "\"Top\"=dword:fffffffe\n"
                   "\n"));

    TRegistrySettings again(FileName());
    again.Load();
    ASSERT_TRUE(again.OpenKey(QString::fromLatin1(BrenikRegistryKey), false));
    EXPECT_EQ(again.ReadString(QStringLiteral("Main"), QStringLiteral("User"), QString()), QStringLiteral("al\"i\\ce"));
    EXPECT_EQ(again.GetDataType(QStringLiteral("Main"), QStringLiteral("Left")), TRegDataType::Integer);
    EXPECT_EQ(again.ReadInteger(QStringLiteral("Main"), QStringLiteral("Left"), 0), 70);
    EXPECT_EQ(again.ReadInteger(QStringLiteral("Window-1"), QStringLiteral("Top"), 0), -2);
    // Names compare without case, as in the registry.
    EXPECT_EQ(again.ReadInteger(QStringLiteral("MAIN"), QStringLiteral("left"), 0), 70);
    EXPECT_EQ(again.FileText(), ReadFile(FileName()));
}

TEST_F(RegistrySettingsTest, IntegerStoredAsStringIsReadAsNumberAndWrittenBackAsString)
{
    WriteFile("Windows Registry Editor Version 5.00\n\n" + MainKeyLine + "\"Left\"=\"120\"\n");
    TRegistrySettings settings(FileName());
    settings.Load();
    ASSERT_TRUE(settings.OpenKey(QString::fromLatin1(BrenikRegistryKey), false));
    EXPECT_EQ(settings.GetDataType(QStringLiteral("Main"), QStringLiteral("Left")), TRegDataType::String);
    EXPECT_EQ(settings.ReadInteger(QStringLiteral("Main"), QStringLiteral("Left"), 70), 120);

    settings.WriteInteger(QStringLiteral("Main"), QStringLiteral("Left"), 130);
    settings.WriteInteger(QStringLiteral("Main"), QStringLiteral("Top"), 123);
    settings.Save();
    const QByteArray text = ReadFile(FileName());
    EXPECT_TRUE(text.contains("\"Left\"=\"130\"\n")) << text.constData();
    EXPECT_TRUE(text.contains("\"Top\"=dword:0000007b\n")) << text.constData();
}

TEST_F(RegistrySettingsTest, IntegerReadingRules)
{
    struct Case {
        const char* Line;
        qint32 Expected;
    };
    const Case cases[] = {
        {"\"V\"=dword:00000078", 120},
        {"\"V\"=dword:ffffffff", -1},
        {"\"V\"=\"-5\"", -5},
        {"\"V\"=\" 7 \"", 7},
        {"\"V\"=\"seven\"", 99},      // not a number: the default
        {"\"V\"=\"\"", 99},
        {"\"V\"=\"99999999999\"", 99}, // out of range: the default
        {"\"V\"=hex(4):2a,00,00,00", 42},
        {"\"Other\"=dword:00000001", 99}, // absent: the default
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        WriteFile("Windows Registry Editor Version 5.00\n\n" + MainKeyLine + c.Line + "\n");
        TRegistrySettings settings(FileName());
        settings.Load();
        settings.OpenKey(QString::fromLatin1(BrenikRegistryKey), true);
        EXPECT_EQ(settings.ReadInteger(QStringLiteral("Main"), QStringLiteral("V"), 99), c.Expected);
    }
}

TEST_F(RegistrySettingsTest, ValueOfAnotherTypeRaisesAndIsKeptOnSave)
{
    WriteFile("Windows Registry Editor Version 5.00\n\n" + MainKeyLine
        + "\"Left\"=hex:01,02\n"
          "\"Path\"=hex(2):25,00,48,00,00,00\n");
    TRegistrySettings settings(FileName());
    settings.Load();
    settings.OpenKey(QString::fromLatin1(BrenikRegistryKey), true);
    EXPECT_EQ(settings.GetDataType(QStringLiteral("Main"), QStringLiteral("Left")), TRegDataType::Other);
    EXPECT_EQ(settings.GetDataType(QStringLiteral("Main"), QStringLiteral("Path")), TRegDataType::Other);
    try {
        settings.ReadInteger(QStringLiteral("Main"), QStringLiteral("Left"), 70);
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_TRUE(e.Message().contains(QStringLiteral("Left"))) << e.Message().toStdString();
    }
    EXPECT_THROW(settings.ReadString(QStringLiteral("Main"), QStringLiteral("Path"), QString()), ERegistryException);
    // A string where a string is read, an integer where a string is read.
    settings.WriteInteger(QStringLiteral("Main"), QStringLiteral("User"), 5);
    EXPECT_THROW(settings.ReadString(QStringLiteral("Main"), QStringLiteral("User"), QString()), ERegistryException);

    settings.Save();
    const QByteArray text = ReadFile(FileName());
    EXPECT_TRUE(text.contains("\"Left\"=hex:01,02\n")) << text.constData();
    EXPECT_TRUE(text.contains("\"Path\"=hex(2):25,00,48,00,00,00\n")) << text.constData();
}

TEST_F(RegistrySettingsTest, UnknownKeysValuesAndLongHexSurviveAWrite)
{
    const QByteArray foreign =
        "[HKEY_CURRENT_USER\\Software\\Other Program]\n"
        "@=\"default value\"\n"
        "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
        "  16,17,18,19\n";
    WriteFile("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
        "; a comment\r\n"
        + MainKeyLine + "\"Unused\"=dword:00000005\r\n\r\n" + foreign);
    TRegistrySettings settings(FileName());
    settings.Load();
    ASSERT_TRUE(settings.OpenKey(QStringLiteral("\\Software\\Other Program"), false));
    EXPECT_EQ(settings.ReadString(QString()), QStringLiteral("default value"));
    settings.OpenKey(QString::fromLatin1(BrenikRegistryKey), true);
    settings.WriteString(QStringLiteral("Main"), QStringLiteral("User"), QStringLiteral("bob"));
    settings.Save();

    const QByteArray text = ReadFile(FileName());
    EXPECT_TRUE(text.contains(MainKeyLine + "\"Unused\"=dword:00000005\n\"User\"=\"bob\"\n")) << text.constData();
    EXPECT_TRUE(text.contains(foreign)) << text.constData();
}

TEST_F(RegistrySettingsTest, StringsThatCannotStandOnOneLineRoundTripAsHex)
{
    const QString awkward = QStringLiteral("line one\nline two\r\u00e4\u20ac");
    TRegistrySettings settings(FileName());
    settings.OpenKey(QStringLiteral("\\Software\\Test"), true);
    settings.WriteString(QStringLiteral("Text"), awkward);
    settings.Save();
    EXPECT_TRUE(ReadFile(FileName()).contains("\"Text\"=hex(1):6c,00,69,00")) << ReadFile(FileName()).constData();

    TRegistrySettings again(FileName());
    again.Load();
    again.OpenKey(QStringLiteral("\\Software\\Test"), false);
    EXPECT_EQ(again.GetDataType(QStringLiteral("Text")), TRegDataType::String);
    EXPECT_EQ(again.ReadString(QStringLiteral("Text")), awkward);
}

TEST_F(RegistrySettingsTest, DamagedFileIsReportedOnceKeptAsideAndDefaultsUsed)
{
    struct Case {
        const char* What;
        QByteArray Text;
    };
    const QByteArray header = "Windows Registry Editor Version 5.00\n\n";
    const Case cases[] = {
        {"no header", MainKeyLine + "\"User\"=\"alice\"\n"},
        {"empty file", ""},
        {"value before the first key", header + "\"User\"=\"alice\"\n"},
        {"unclosed string", header + MainKeyLine + "\"User\"=\"alice\n"},
        {"dword too long", header + MainKeyLine + "\"Left\"=dword:123456789\n"},
        {"dword not hex", header + MainKeyLine + "\"Left\"=dword:12g\n"},
        {"unknown data form", header + MainKeyLine + "\"Left\"=70\n"},
        {"bad hex byte", header + MainKeyLine + "\"B\"=hex:01,zz\n"},
        {"hex continued past the end", header + MainKeyLine + "\"B\"=hex:01,\\\n"},
        {"key line not closed", header + "[HKEY_CURRENT_USER\\Software\n"},
        {"key deletion", header + "[-HKEY_CURRENT_USER\\Software]\n"},
        {"not UTF-8", header + MainKeyLine + "\"User\"=\"\xff\xfe\xfd\"\n"},
        {"half-written file", header + MainKeyLine + "\"Us"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        for (const QString& name : FilesInFolder())
            QFile::remove(Dir.filePath(QStringLiteral("Quillet/") + name));
        WriteFile(c.Text);

        TRegistrySettings settings(FileName());
        try {
            settings.Load();
            ADD_FAILURE() << "no exception";
        } catch (const ERegistryFileDamaged& e) {
            EXPECT_TRUE(e.Message().contains(FileName())) << e.Message().toStdString();
            EXPECT_TRUE(e.Message().contains(QStringLiteral(".damaged-"))) << e.Message().toStdString();
        }
        // Defaults: nothing was taken from the damaged file.
        settings.OpenKey(QString::fromLatin1(BrenikRegistryKey), true);
        EXPECT_EQ(settings.ReadString(QStringLiteral("Main"), QStringLiteral("User"), QStringLiteral("default")),
            QStringLiteral("default"));
        // Kept aside byte for byte.
        const QStringList files = FilesInFolder();
        ASSERT_EQ(files.size(), 1) << files.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(files.first().startsWith(QStringLiteral("BrenikAlerts.reg.damaged-")));
        EXPECT_EQ(ReadFile(Dir.filePath(QStringLiteral("Quillet/") + files.first())), c.Text);

        // Reported once: the next start finds no file; saving writes a fresh
        // one beside the damaged copy.
        TRegistrySettings next(FileName());
        EXPECT_NO_THROW(next.Load());
        settings.WriteString(QStringLiteral("Main"), QStringLiteral("User"), QStringLiteral("carol"));
        settings.Save();
        EXPECT_EQ(FilesInFolder().size(), 2);
        EXPECT_TRUE(ReadFile(FileName()).contains("\"User\"=\"carol\""));
    }
}

TEST_F(RegistrySettingsTest, SavingLeavesNoTemporaryFilesAndFailsCleanly)
{
    TRegistrySettings settings(FileName());
    settings.OpenKey(QString::fromLatin1(BrenikRegistryKey), true);
    for (int i = 0; i < 3; ++i) {
        settings.WriteInteger(QStringLiteral("Main"), QStringLiteral("Left"), i);
        settings.Save();
    }
    EXPECT_EQ(FilesInFolder(), QStringList{QStringLiteral("BrenikAlerts.reg")});
    EXPECT_TRUE(ReadFile(FileName()).contains("\"Left\"=dword:00000002"));

    // A folder where the file should be: Save raises and leaves nothing behind.
    const QString blocked = Dir.filePath(QStringLiteral("Blocked/BrenikAlerts.reg"));
    ASSERT_TRUE(QDir().mkpath(blocked));
    TRegistrySettings failing(blocked);
    failing.OpenKey(QString::fromLatin1(BrenikRegistryKey), true);
    failing.WriteInteger(QStringLiteral("Main"), QStringLiteral("Left"), 1);
    EXPECT_THROW(failing.Save(), ERegistryException);
    EXPECT_EQ(QDir(Dir.filePath(QStringLiteral("Blocked"))).entryList(QDir::Files | QDir::Hidden), QStringList());
}

TEST_F(RegistrySettingsTest, UnreadableFileIsNeverOverwritten)
{
    // A folder in the file's place cannot be read; the settings must then
    // refuse to be saved rather than replace it.
    ASSERT_TRUE(QDir().mkpath(FileName()));
    TRegistrySettings settings(FileName());
    EXPECT_THROW(settings.Load(), ERegistryException);
    settings.OpenKey(QString::fromLatin1(BrenikRegistryKey), true);
    EXPECT_THROW(settings.Save(), ERegistryException);
    EXPECT_TRUE(QFileInfo(FileName()).isDir());
}

TEST_F(RegistrySettingsTest, KeyNavigationAndUtf16File)
{
    const QString text = QStringLiteral(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts\\Window1]\r\n"
        "\"Visible\"=\"1\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts\\Window2]\r\n"
        "\"Visible\"=\"0\"\r\n");
    QByteArray bytes("\xFF\xFE");
    for (QChar c : text) {
        bytes += char(c.unicode() & 0xFF);
        bytes += char(c.unicode() >> 8);
    }
    WriteFile(bytes);
    TRegistrySettings settings(FileName());
    settings.Load();
    EXPECT_TRUE(settings.KeyExists(QStringLiteral("\\Software\\Quillet")));
    EXPECT_FALSE(settings.KeyExists(QStringLiteral("\\Software\\Nobody")));
    EXPECT_FALSE(settings.OpenKey(QStringLiteral("\\Software\\Nobody"), false));
    ASSERT_TRUE(settings.OpenKey(QStringLiteral("\\Software\\Quillet"), false));
    ASSERT_TRUE(settings.OpenKey(QStringLiteral("Brenik Alerts"), false)); // relative
    EXPECT_EQ(settings.CurrentPath(), QStringLiteral("HKEY_CURRENT_USER\\Software\\Quillet\\Brenik Alerts"));
    EXPECT_EQ(settings.GetKeyNames(), (QStringList{QStringLiteral("Window1"), QStringLiteral("Window2")}));
    EXPECT_EQ(settings.ReadInteger(QStringLiteral("Window1"), QStringLiteral("Visible"), 0), 1);
    ASSERT_TRUE(settings.OpenKey(QStringLiteral("window2"), false));
    EXPECT_EQ(settings.GetValueNames(), QStringList{QStringLiteral("Visible")});
    EXPECT_TRUE(settings.DeleteValue(QStringLiteral("VISIBLE")));
    EXPECT_FALSE(settings.ValueExists(QStringLiteral("Visible")));
    settings.CloseKey();
    EXPECT_EQ(settings.CurrentPath(), QStringLiteral("HKEY_CURRENT_USER"));
}

TEST(RegistrySettingsFileName, FollowsXdgConfigHome)
{
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/tmp/some-config");
    EXPECT_EQ(TRegistrySettings::DefaultFileName(), QStringLiteral("/tmp/some-config/Quillet/BrenikAlerts.reg"));
    EXPECT_EQ(TRegistrySettings().FileName(), QStringLiteral("/tmp/some-config/Quillet/BrenikAlerts.reg"));
    qputenv("XDG_CONFIG_HOME", "relative/ignored");
    EXPECT_EQ(TRegistrySettings::DefaultFileName(), QDir::homePath() + QStringLiteral("/.config/Quillet/BrenikAlerts.reg"));
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(TRegistrySettings::DefaultFileName(), QDir::homePath() + QStringLiteral("/.config/Quillet/BrenikAlerts.reg"));
    if (!saved.isNull())
        qputenv("XDG_CONFIG_HOME", saved);
}
