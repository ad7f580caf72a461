#include "PointsTopListGrid.h"

#include <QFontMetrics>
#include <array>

namespace {

enum { ColSymbol, ColLast, ColChg, ColumnCount };

constexpr std::array<TGridColumn, ColumnCount> Columns{{
    {"Symbol", "Symbol"},
    {"Last", "100.00"},
    {"Chg", "-1.93"},
}};

} // namespace

TPointsTopListGrid::TPointsTopListGrid(QWidget* Owner)
    : TRowGrid(Owner, Columns)
{
}

TCellContent TPointsTopListGrid::DataCell(int Col, int Row, int TextWidth) const
{
    TCellContent content;
    content.TextColor = ColorFromRef(FTextColor);
    const TPointsTopListEntry* row = EntryAt(Row);
    if (!row)
        return content;
    const TPointsTopListEntry& entry = *row;
    content.Inverse = Row == FixedRows; // the top of the list
    const QFontMetrics metrics(CellFont());
    switch (Col) {
    case ColSymbol:
        content.Align = TTextAlign::Left;
        content.Text = FitText(ByteText(entry.Symbol), TextWidth, metrics);
        break;
    case ColLast:
        content.Align = TTextAlign::Right;
        content.Text = FitNumber(entry.Last, TextWidth, metrics);
        break;
    case ColChg:
        content.Align = TTextAlign::Right;
        content.Text = FitNumber(entry.Change, TextWidth, metrics);
        break;
    default:
        break;
    }
    return content;
}
