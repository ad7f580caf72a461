#include "P64.h"

#include "Exceptions.h"

namespace {

QByteArray BuildAlphabet()
{
    QByteArray Alphabet;
    for (char C = 'a'; C <= 'z'; ++C)
        Alphabet.append(C);
    for (char C = 'A'; C <= 'Z'; ++C)
        Alphabet.append(C);
    for (char C = '0'; C <= '9'; ++C)
        Alphabet.append(C);
    Alphabet.append('_');
    Alphabet.append('-');
    Assert(Alphabet.size() == 64, "P64");
    return Alphabet;
}

} // namespace

const QByteArray& P64Alphabet()
{
    static const QByteArray Alphabet = BuildAlphabet();
    return Alphabet;
}

QByteArray P64Encode(const QByteArray& Data)
{
    const char* const A = P64Alphabet().constData();
    const qsizetype N = Data.size();
    QByteArray Result;
    Result.reserve(4 * (N / 3) + (N % 3 ? N % 3 + 1 : 0));
    auto Byte = [&Data](qsizetype I) { return static_cast<quint8>(Data.at(I)); };
    qsizetype I = 0;
    for (; I + 3 <= N; I += 3) {
        const quint8 B0 = Byte(I), B1 = Byte(I + 1), B2 = Byte(I + 2);
        Result.append(A[B0 >> 2]);
        Result.append(A[((B0 & 3) << 4) | (B1 >> 4)]);
        Result.append(A[((B1 & 15) << 2) | (B2 >> 6)]);
        Result.append(A[B2 & 63]);
    }
    if (N - I == 2) {
        const quint8 B0 = Byte(I), B1 = Byte(I + 1);
        Result.append(A[B0 >> 2]);
        Result.append(A[((B0 & 3) << 4) | (B1 >> 4)]);
        Result.append(A[(B1 & 15) << 2]);
    } else if (N - I == 1) {
        const quint8 B0 = Byte(I);
        Result.append(A[B0 >> 2]);
        Result.append(A[(B0 & 3) << 4]);
    }
    return Result;
}
