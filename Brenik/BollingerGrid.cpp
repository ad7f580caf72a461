#include "BollingerGrid.h"

#include <QFontMetrics>
#include <algorithm>
#include <array>
#include <cmath>

namespace {

enum { ColSymbol, ColLast, ColChg, ColBBand, ColumnCount };

struct TColumn {
    const char* Header;
    const char* Sample; // widest text the column is sized for
};

constexpr std::array<TColumn, ColumnCount> Columns{{
    {"Symbol", "Symbol"},
    {"Last", "100.00"},
    {"Chg", "-1.93"},
    {"BBand", "-13.3%"},
}};

quint32 SignColor(double Value)
{
    if (Value > 0)
        return TBollingerGrid::PositiveColor;
    if (Value < 0)
        return TBollingerGrid::NegativeColor;
    return TBollingerGrid::ZeroColor;
}

} // namespace

TBollingerGrid::TBollingerGrid(QWidget* Owner)
    : TAlertGrid(Owner, ColumnCount, true)
{
    QStringList samples;
    for (const TColumn& column : Columns)
        samples << QString::fromLatin1(column.Sample);
    SizeToSamples(samples);
}

void TBollingerGrid::SetEntries(const TBollingerEntries& Entries)
{
    FEntries = Entries;
    SetRowCount(FixedRows + std::max<int>(FEntries.size(), 1));
    viewport()->update();
}

QString TBollingerGrid::HeaderText(int Col) const
{
    return QString::fromLatin1(Columns[Col].Header);
}

TCellContent TBollingerGrid::DataCell(int Col, int Row, int TextWidth) const
{
    TCellContent content;
    content.TextColor = ColorFromRef(ZeroColor);
    const int index = Row - FixedRows;
    if (index < 0 || index >= FEntries.size())
        return content;
    const TBollingerEntry& entry = FEntries[index];
    const QFontMetrics metrics(CellFont());
    double value = std::nan("");
    switch (Col) {
    case ColSymbol:
        content.Align = TTextAlign::Left;
        content.Text = FitText(ByteText(entry.Symbol), TextWidth, metrics);
        return content;
    case ColLast:
        value = entry.Last;
        break;
    case ColChg:
        value = entry.Last - entry.PrevClose;
        break;
    case ColBBand:
        value = entry.DistFromBB;
        break;
    default:
        return content;
    }
    content.Align = TTextAlign::Right;
    content.TextColor = ColorFromRef(SignColor(value));
    content.Text = FitNumber(value, TextWidth, metrics);
    return content;
}

bool TBollingerGrid::EntrySymbol(int, int Row, QByteArray& Symbol) const
{
    const int index = Row - FixedRows;
    if (index < 0 || index >= FEntries.size())
        return false;
    Symbol = FEntries[index].Symbol;
    return true;
}
