#include "QuickStrikeGrid.h"

#include <QFontMetrics>
#include <algorithm>
#include <array>
#include <cmath>

namespace {

enum { ColSymbol, ColLast, ColChg, ColPctChg, ColDivrg, ColTime, ColumnCount };

struct TColumn {
    const char* Header;
    const char* Sample; // widest text the column is sized for
};

constexpr std::array<TColumn, ColumnCount> Columns{{
    {"Symbol", "Symbol"},
    {"Last", "100.00"},
    {"Chg", "-1.93"},
    {"%Chg", "-13.3%"},
    {"Divrg", "-0.12"},
    {"Time", "00:00:00"},
}};

} // namespace

TQuickStrikeGrid::TQuickStrikeGrid(QWidget* Owner)
    : TAlertGrid(Owner, ColumnCount, true)
{
    QStringList samples;
    for (const TColumn& column : Columns)
        samples << QString::fromLatin1(column.Sample);
    SizeToSamples(samples);
}

void TQuickStrikeGrid::SetEntries(const TQuickStrikeEntries& Entries)
{
    FEntries = Entries;
    SetRowCount(FixedRows + std::max<int>(FEntries.size(), 1));
    viewport()->update();
}

QString TQuickStrikeGrid::HeaderText(int Col) const
{
    return QString::fromLatin1(Columns[Col].Header);
}

TCellContent TQuickStrikeGrid::DataCell(int Col, int Row, int TextWidth) const
{
    TCellContent content;
    content.TextColor = ColorFromRef(FTextColor);
    const int index = Row - FixedRows;
    if (index < 0 || index >= FEntries.size())
        return content;
    const TQuickStrikeEntry& entry = FEntries[index];
    content.Inverse = index == 0; // the newest row
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

bool TQuickStrikeGrid::EntrySymbol(int, int Row, QByteArray& Symbol) const
{
    const int index = Row - FixedRows;
    if (index < 0 || index >= FEntries.size())
        return false;
    Symbol = FEntries[index].Symbol;
    return true;
}
