#include "BollingerGrid.h"

#include <QFontMetrics>
#include <array>
#include <cmath>

namespace {

enum { ColSymbol, ColLast, ColChg, ColBBand, ColumnCount };

constexpr std::array<TGridColumn, ColumnCount> Columns{{
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
    : TRowGrid(Owner, Columns)
{
}

TCellContent TBollingerGrid::DataCell(int Col, int Row, int TextWidth) const
{
    TCellContent content;
    content.TextColor = ColorFromRef(ZeroColor);
    const TBollingerEntry* row = EntryAt(Row);
    if (!row)
        return content;
    const TBollingerEntry& entry = *row;
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
