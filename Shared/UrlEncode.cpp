#include "UrlEncode.h"

namespace {

bool IsHexDigit(char C)
{
    return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F') || (C >= 'a' && C <= 'f');
}

} // namespace

int HexDigitValue(char C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    // ASCII upper-casing only: bytes above 127 have no letter meaning here.
    const char Upper = (C >= 'a' && C <= 'z') ? static_cast<char>(C - 'a' + 'A') : C;
    return Upper - 'A' + 10;
}

QByteArray UrlDecode(const QByteArray& Text)
{
    QByteArray Result;
    Result.reserve(Text.size());
    const qsizetype N = Text.size();
    for (qsizetype I = 0; I < N; ++I) {
        const char C = Text.at(I);
        if (C == '%' && I + 2 < N && IsHexDigit(Text.at(I + 1)) && IsHexDigit(Text.at(I + 2))) {
            Result.append(static_cast<char>(16 * HexDigitValue(Text.at(I + 1)) + HexDigitValue(Text.at(I + 2))));
            I += 2;
        } else {
            Result.append(C);
        }
    }
    return Result;
}
