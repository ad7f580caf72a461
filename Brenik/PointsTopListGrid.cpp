#include "PointsTopListGrid.h"

#include <QFontMetrics>
#include <algorithm>
#include <array>

namespace {

enum { ColSymbol, ColLast, ColChg, ColumnCount };

struct TColumn {
    const char* Header;
    const char* Sample; // widest text the column is sized for
};

constexpr std::array<TColumn, ColumnCount> Columns{{
    {"Symbol", "Symbol"},
    {"Last", "100.00"},
    {"Chg", "-1.93"},
}};

} // namespace

TPointsTopListGrid::TPointsTopListGrid(QWidget* Owner)
    : TAlertGrid(Owner, ColumnCount, true)
{
    QStringList samples;
    for (const TColumn& column : Columns)
        samples << QString::fromLatin1(column.Sample);
    SizeToSamples(samples);
}

void TPointsTopListGrid::SetEntries(const TPointsTopListEntries& Entries)
{
    FEntries = Entries;
    SetRowCount(FixedRows + std::max<int>(FEntries.size(), 1));
    viewport()->update();
}

QString TPointsTopListGrid::HeaderText(int Col) const
{
    return QString::fromLatin1(Columns[Col].Header);
}

TCellContent TPointsTopListGrid::DataCell(int Col, int Row, int TextWidth) const
{
    TCellContent content;
    content.TextColor = ColorFromRef(FTextColor);
    const int index = Row - FixedRows;
    if (index < 0 || index >= FEntries.size())
        return content;
    const TPointsTopListEntry& entry = FEntries[index];
    content.Inverse = index == 0; // the top of the list
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

bool TPointsTopListGrid::EntrySymbol(int, int Row, QByteArray& Symbol) const
{
    const int index = Row - FixedRows;
    if (index < 0 || index >= FEntries.size())
        return false;
    Symbol = FEntries[index].Symbol;
    return true;
}
