#include "P64.h"
#include "UrlEncode.h"

#include <gtest/gtest.h>

#include <QSet>

TEST(P64, AlphabetHoldsSixtyFourDistinctUnreservedCharacters)
{
    const QByteArray& A = P64Alphabet();
    ASSERT_EQ(A.size(), 64);
    EXPECT_EQ(A, QByteArray("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"));
    QSet<char> Distinct(A.begin(), A.end());
    EXPECT_EQ(Distinct.size(), 64);
}

TEST(P64, EncodesTheWorkedExamples)
{
    struct Case {
        QByteArray Data;
        QByteArray Encoded;
    };
    const Case Cases[] = {
        {"", ""},
        {"a", "yq"},
        {"ab", "ywi"},
        {"abc", "ywjJ"},
        {"abcd", "ywjJza"},
        // All-ones and all-zeros bits reach both ends of the alphabet.
        {QByteArray("\xFF\xFF\xFF", 3), "----"},
        {QByteArray("\0\0\0", 3), "aaaa"},
        // 0xFB 0xEF 0xBE: bit groups 62, 62, 62, 62.
        {QByteArray("\xFB\xEF\xBE", 3), "____"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Data.toHex().constData());
        EXPECT_EQ(P64Encode(C.Data), C.Encoded);
    }
}

TEST(P64, MatchesBase64BitLayoutWithOwnAlphabetAndNoPadding)
{
    // Same bit grouping as RFC 4648 Base64: map Base64's alphabet onto ours.
    const QByteArray Base64Alphabet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    QByteArray Data;
    for (int I = 0; I < 256; ++I)
        Data.append(static_cast<char>((I * 37 + 11) & 0xFF));
    for (int N = 0; N <= 40; ++N) {
        SCOPED_TRACE(N);
        const QByteArray Chunk = Data.left(N);
        QByteArray Expected = Chunk.toBase64(QByteArray::OmitTrailingEquals);
        for (char& C : Expected)
            C = P64Alphabet().at(Base64Alphabet.indexOf(C));
        EXPECT_EQ(P64Encode(Chunk), Expected);
    }
}

TEST(P64, LengthIsFourPerThreeBytesPlusTail)
{
    for (int N : {0, 1, 2, 3, 4, 5, 6, 7, 5999, 6000}) {
        SCOPED_TRACE(N);
        const qsizetype Expected = 4 * (N / 3) + (N % 3 ? N % 3 + 1 : 0);
        EXPECT_EQ(P64Encode(QByteArray(N, '\x5A')).size(), Expected);
    }
}

TEST(UrlDecode, DecodesPercentSequencesOnly)
{
    struct Case {
        QByteArray Text;
        QByteArray Decoded;
    };
    const Case Cases[] = {
        {"", ""},
        {"A%42C", "ABC"},
        {"A+B", "A+B"},              // plus is not a space here
        {"A%4", "A%4"},              // too short at the end
        {"A%", "A%"},
        {"%", "%"},
        {"A%zz", "A%zz"},
        {"A%4z", "A%4z"},            // second digit not hex
        {"%2a%2A", "**"},            // lower- and upper-case hex
        {"%4a%4B%6c", "JKl"},
        {"%26", "&"},
        {"%3D", "="},
        {"%%41", "%A"},              // the first % is copied, then %41 decodes
        {"%2541", "%41"},            // decoded once, not twice
        {"%00", QByteArray("\0", 1)},
        {"%FF%e9", "\xFF\xE9"},      // bytes above 127
        {"\xE9t\xE9", "\xE9t\xE9"},  // raw high bytes pass through
        {"sym%62ol", "symbol"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text.constData());
        EXPECT_EQ(UrlDecode(C.Text), C.Decoded);
    }
}

TEST(HexDigitValue, DigitsAndLettersOfBothCases)
{
    struct Case {
        char C;
        int Value;
    };
    const Case Cases[] = {
        {'0', 0}, {'9', 9}, {'A', 10}, {'a', 10}, {'F', 15}, {'f', 15},
        {'c', 12}, {'D', 13},
        // Outside the digits every character is taken as a letter.
        {'G', 16}, {'g', 16}, {'z', 35}, {'@', 9},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.C);
        EXPECT_EQ(HexDigitValue(C.C), C.Value);
    }
}
