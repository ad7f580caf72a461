#include "AlertBatch.h"

#include <cmath>

namespace {

const char HexDigits[] = "0123456789ABCDEF";

bool NeedsEncoding(uchar c)
{
    return c < 0x20 || c > 0x7E || c == '&' || c == '=' || c == '%';
}

// Largest magnitude written digit by digit; anything larger goes through the
// general formatter (prices never get there).
constexpr double MaxFastMagnitude = 1e15;

} // namespace

void AppendPercentEncoded(QByteArray& Out, QByteArrayView Bytes)
{
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < Bytes.size(); ++i) {
        const uchar c = uchar(Bytes[i]);
        if (!NeedsEncoding(c))
            continue;
        Out.append(Bytes.data() + runStart, i - runStart);
        const char escape[3] = {'%', HexDigits[c >> 4], HexDigits[c & 15]};
        Out.append(escape, 3);
        runStart = i + 1;
    }
    Out.append(Bytes.data() + runStart, Bytes.size() - runStart);
}

QByteArray PercentEncode(QByteArrayView Bytes)
{
    QByteArray out;
    out.reserve(Bytes.size());
    AppendPercentEncoded(out, Bytes);
    return out;
}

void AppendDecimal(QByteArray& Out, double Value, int Decimals)
{
    if (!std::isfinite(Value))
        return;
    Decimals = qBound(0, Decimals, 6);
    double scale = 1;
    for (int i = 0; i < Decimals; ++i)
        scale *= 10;
    if (std::fabs(Value) * scale >= MaxFastMagnitude) {
        Out.append(QByteArray::number(Value, 'f', Decimals));
        return;
    }
    long long scaled = std::llround(Value * scale);
    if (scaled < 0) {
        Out.append('-');
        scaled = -scaled;
    }
    const long long unit = std::llround(scale);
    char digits[32];
    int n = 0;
    long long fraction = scaled % unit;
    for (int i = 0; i < Decimals; ++i) {
        digits[n++] = char('0' + fraction % 10);
        fraction /= 10;
    }
    if (Decimals > 0)
        digits[n++] = '.';
    long long whole = scaled / unit;
    do {
        digits[n++] = char('0' + whole % 10);
        whole /= 10;
    } while (whole > 0);
    while (n > 0)
        Out.append(digits[--n]);
}

void TAlertBatch::Clear()
{
    FData.resize(0);
    FEntries.resize(0);
    FAlertStart = -1;
}

int TAlertBatch::CategoryIndex(const QByteArray& Name)
{
    const qsizetype index = FCategories.indexOf(Name);
    if (index >= 0)
        return int(index);
    FCategories.append(Name);
    return int(FCategories.size() - 1);
}

void TAlertBatch::BeginAlert(int Category)
{
    FAlertStart = FData.size();
    FAlertCategory = Category;
    FFieldCount = 0;
    FData.append(FCategories.at(Category));
    FData.append("\r\n", 2);
}

void TAlertBatch::BeginField(QByteArrayView Key)
{
    if (FFieldCount++ > 0)
        FData.append('&');
    AppendPercentEncoded(FData, Key);
    FData.append('=');
}

void TAlertBatch::AppendField(QByteArrayView Key, QByteArrayView Value)
{
    BeginField(Key);
    AppendPercentEncoded(FData, Value);
}

void TAlertBatch::AppendField(QByteArrayView Key, qint64 Value)
{
    BeginField(Key);
    char digits[24];
    int n = 0;
    quint64 magnitude = Value < 0 ? quint64(0) - quint64(Value) : quint64(Value);
    do {
        digits[n++] = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (Value < 0)
        FData.append('-');
    while (n > 0)
        FData.append(digits[--n]);
}

void TAlertBatch::AppendDecimalField(QByteArrayView Key, double Value, int Decimals)
{
    BeginField(Key);
    AppendDecimal(FData, Value, Decimals);
}

void TAlertBatch::EndAlert()
{
    FEntries.append(TEntry{FAlertStart, FData.size() - FAlertStart, FAlertCategory});
    FAlertStart = -1;
}

void TAlertBatch::AddEncodedAlert(int Category, QByteArrayView FieldLine)
{
    BeginAlert(Category);
    FData.append(FieldLine);
    EndAlert();
}

QByteArrayView TAlertBatch::Text(qsizetype Index) const
{
    const TEntry& entry = FEntries.at(Index);
    return QByteArrayView(FData.constData() + entry.Offset, entry.Length);
}
