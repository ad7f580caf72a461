#include "IniFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

TEST(IniFiles, ReadsSectionsKeysAndValuesByTheRules)
{
    const TIniFile Ini = TIniFile::FromText(
        "ignored=before any section\r\n"
        "; a comment\n"
        "[Connection]\r"
        "  Address =  host.example:9339  \r\n"
        "\t\n"
        "   ; an indented comment\n"
        "empty=\n"
        "url=a=b=c\n"
        "[ Additional Alerts 1 ]\n"
        "title= Big \"Movers\" \n"
        "novalue\n"
        "=nameless\n");
    struct Case {
        const char* Section;
        const char* Key;
        QString Expected;
    };
    const Case Cases[] = {
        {"Connection", "Address", "host.example:9339"},
        {"connection", "ADDRESS", "host.example:9339"}, // names ignore case
        {"Connection", "empty", ""},                    // present but empty: not the default
        {"Connection", "url", "a=b=c"},                 // split at the first "="
        {"Connection", "ignored", "<default>"},         // lines before the first section
        {"Connection", "; a comment", "<default>"},
        {"Additional Alerts 1", "title", "Big \"Movers\""}, // quotes stay
        {"Additional Alerts 1", "novalue", ""},
        {"Additional Alerts 1", "", "<default>"},
        {"Missing", "Address", "<default>"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(QStringLiteral("%1/%2").arg(C.Section, C.Key).toStdString());
        EXPECT_EQ(Ini.ReadString(C.Section, C.Key, "<default>"), C.Expected);
    }
    EXPECT_TRUE(Ini.SectionExists("CONNECTION"));
    EXPECT_TRUE(Ini.SectionExists("additional alerts 1"));
    EXPECT_FALSE(Ini.SectionExists("Missing"));
    EXPECT_EQ(Ini.ReadSection("Additional Alerts 1"), (QStringList{"title", "novalue"}));
}

TEST(IniFiles, LineEndsOfEveryKindAndTrimmingOfControlCharacters)
{
    const TIniFile Ini = TIniFile::FromText(
        "[S]\ra=1\nb=2\r\nc=3\r\r\n\n\x01\x1F d = 4 \x7F\t\r\n[T]x=1\n  [U]  \ne=5");
    EXPECT_EQ(Ini.ReadSection("S"), (QStringList{"a", "b", "c", "d", "[T]x"}));
    EXPECT_EQ(Ini.ReadString("S", "d", ""), "4");
    // "[T]x=1" does not end with "]": it is no section header but a key line
    // of section S.
    EXPECT_FALSE(Ini.SectionExists("T"));
    EXPECT_EQ(Ini.ReadString("S", "[T]x", ""), "1");
    // The last line has no line end.
    EXPECT_EQ(Ini.ReadString("U", "e", ""), "5");
}

TEST(IniFiles, FirstOccurrenceWinsForKeysAndSections)
{
    const TIniFile Ini = TIniFile::FromText(
        "[Subscriptions]\n"
        "Alpha=1\n"
        "beta=2\n"
        "ALPHA=3\n"
        "[Other]\n"
        "k=v\n"
        "[subscriptions]\n"
        "gamma=4\n"
        "beta=5\n");
    EXPECT_EQ(Ini.ReadSection("SUBSCRIPTIONS"), (QStringList{"Alpha", "beta"}));
    EXPECT_EQ(Ini.ReadString("Subscriptions", "alpha", ""), "1");
    EXPECT_EQ(Ini.ReadString("Subscriptions", "beta", ""), "2");
    // The repeated section is ignored as a whole.
    EXPECT_EQ(Ini.ReadString("Subscriptions", "gamma", "none"), "none");
    EXPECT_EQ(Ini.ReadString("Other", "k", ""), "v");
}

TEST(IniFiles, EmptyAndOddSectionHeaders)
{
    const TIniFile Ini = TIniFile::FromText("[]\nk=1\n[  ]\nk=2\n[ a ] \nk=3\n[\nk=4\n");
    // "[]" and "[  ]" both name the empty section; the first wins.
    EXPECT_TRUE(Ini.SectionExists(""));
    EXPECT_EQ(Ini.ReadString("", "k", ""), "1");
    // "[" alone is no header: a key line of section "a".
    EXPECT_EQ(Ini.ReadSection("a"), (QStringList{"k", "["}));
    EXPECT_EQ(Ini.ReadString("a", "k", ""), "3");
}

TEST(IniFiles, DecodesUtf8AndFallsBackToLatin1)
{
    const TIniFile Utf8 = TIniFile::FromText("\xEF\xBB\xBF[W]\ntitle=Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\n");
    EXPECT_TRUE(Utf8.SectionExists("W")); // byte order mark dropped
    EXPECT_EQ(Utf8.ReadString("W", "title", ""), QString::fromUtf8("Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"));
    // Not valid UTF-8: a single-byte file keeps every character.
    const TIniFile Latin1 = TIniFile::FromText("[W]\ntitle=Gr\xFC\xDF" "e\n");
    EXPECT_EQ(Latin1.ReadString("W", "title", ""), QString::fromLatin1("Gr\xFC\xDF" "e"));
    // Case-insensitive names beyond ASCII.
    EXPECT_EQ(Utf8.ReadString("w", "TITLE", "").size(), 7);
}

TEST(IniFiles, EmptyContentReadsAsEmpty)
{
    for (const QByteArray& Content : {QByteArray(), QByteArray("\r\n\n;only a comment\n"), QByteArray("k=v\n")}) {
        SCOPED_TRACE(Content.constData());
        const TIniFile Ini = TIniFile::FromText(Content);
        EXPECT_FALSE(Ini.SectionExists(""));
        EXPECT_TRUE(Ini.ReadSection("").isEmpty());
        EXPECT_EQ(Ini.ReadString("", "k", "d"), "d");
    }
}

TEST(IniFiles, ReadsAFileAndTreatsAMissingOneAsEmpty)
{
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    const QString Path = Dir.filePath("ZVR.ini");
    {
        QFile File(Path);
        ASSERT_TRUE(File.open(QIODevice::WriteOnly));
        File.write("[Connection]\r\nAddress=127.0.0.1:9339\r\n");
    }
    const TIniFile Ini(Path);
    EXPECT_EQ(Ini.ReadString("Connection", "Address", ""), "127.0.0.1:9339");
    EXPECT_TRUE(Ini.ErrorText().isEmpty());

    const TIniFile Missing(Dir.filePath("nothere.ini"));
    EXPECT_FALSE(Missing.SectionExists("Connection"));
    EXPECT_EQ(Missing.ReadString("Connection", "Address", "default"), "default");
    EXPECT_TRUE(Missing.ErrorText().isEmpty());
}

TEST(IniFiles, UnreadableFileReadsAsEmptyAndSaysWhy)
{
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    // A folder where the file should be cannot be read whoever runs the test.
    const QString Path = Dir.filePath("ZVR.ini");
    ASSERT_TRUE(QDir().mkdir(Path));
    const TIniFile Ini(Path);
    EXPECT_FALSE(Ini.SectionExists("Connection"));
    EXPECT_EQ(Ini.ReadString("Connection", "Address", "default"), "default");
    EXPECT_TRUE(Ini.ErrorText().contains(Path)) << Ini.ErrorText().toStdString();
}
