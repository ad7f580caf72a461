#include "QuickStrikeGrid.h"

#include <QFontMetrics>
#include <array>
#include <cmath>

namespace {

enum { ColSymbol, ColLast, ColChg, ColPctChg, ColDivrg, ColTime, ColumnCount };

constexpr std::array<TGridColumn, ColumnCount> Columns{{
    {"Symbol", "Symbol"},
    {"Last", "100.00"},
    {"Chg", "-1.93"},
    {"%Chg", "-13.3%"},
    {"Divrg", "-0.12"},
    {"Time", "00:00:00"},
}};

} // namespace

TQuickStrikeGrid::TQuickStrikeGrid(QWidget* Owner)
    : TRowGrid(Owner, Columns)
{
}

TCellContent TQuickStrikeGrid::DataCell(int Col, int Row, int TextWidth) const
{
    TCellContent content;
    content.TextColor = ColorFromRef(FTextColor);
    const TQuickStrikeEntry* row = EntryAt(Row);
    if (!row)
        return content;
    const TQuickStrikeEntry& entry = *row;
    content.Inverse = Row == FixedRows; // the newest row
    const QFontMetrics metrics(CellFont());
    content.Align = TTextAlign::Right;
    switch (Col) {
    case ColSymbol:
        content.Align = TTextAlign::Left;
        content.Text = FitText(ByteText(entry.Symbol), TextWidth, metrics);
        break;
    case ColLast:
        content.Text = FitNumber(entry.Last, TextWidth, metrics);
        break;
    case ColChg:
        content.Text = FitNumber(entry.Last - entry.PrevClose, TextWidth, metrics);
        break;
    case ColPctChg:
        if (entry.PrevClose != 0)
            content.Text = FitNumber((entry.Last - entry.PrevClose) / entry.PrevClose * 100,
                                     TextWidth, metrics, true);
        break;
    case ColDivrg:
        content.Text = FitNumber(entry.SmaDivergence, TextWidth, metrics);
        break;
    case ColTime:
        // Shown as it came, only clipped by the cell.
        content.Align = TTextAlign::Left;
        content.Text = ByteText(entry.Time);
        break;
    default:
        break;
    }
    return content;
}
