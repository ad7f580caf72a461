#include "SymbolOnlyGrid.h"

#include <QFontMetrics>
#include <QResizeEvent>
#include <algorithm>

namespace {
// Every header, and the sample that sizes every column.
const QString SymbolHeader = QStringLiteral("Symbol");
// The column count before the first layout.
constexpr int InitialColCount = 6;
}

TSymbolOnlyGrid::TSymbolOnlyGrid(QWidget* Owner)
    : TAlertGrid(Owner, InitialColCount, false)
{
    // The cells always fill the grid; nothing is ever scrolled.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    if (HasOwner()) {
        SizeRows();
        SetDefaultColWidth(SampleColumnWidth(SymbolHeader));
        Relayout(true);
    }
}

int TSymbolOnlyGrid::DataCellCount() const
{
    return std::max((RowCount() - FixedRows) * ColCount(), 1);
}

void TSymbolOnlyGrid::Relayout(bool Force)
{
    const int oldCols = ColCount();
    const int oldRows = RowCount();
    SetColCount(std::max(width() / DefaultColWidth(), 1));
    SetRowCount(std::max(height() / DefaultRowHeight(), FixedRows + 1));
    if (Force || ColCount() != oldCols || RowCount() != oldRows) {
        FNewestCell = std::min<int>(FEntries.size(), DataCellCount()) - 1;
        viewport()->update();
    }
}

bool TSymbolOnlyGrid::CellToEntry(int Col, int Row, int& Index) const
{
    Index = -1;
    if (Row < FixedRows)
        return false;
    const int position = (Row - FixedRows) + (RowCount() - FixedRows) * Col;
    int index = FNewestCell - position;
    if (index < 0)
        index += DataCellCount();
    if (index < 0 || index >= FEntries.size())
        return false;
    Index = index;
    return true;
}

void TSymbolOnlyGrid::SetEntries(const TQuickStrikeEntries& Entries)
{
    if (Entries.isEmpty()) {
        FEntries.clear();
        Relayout(true);
        return;
    }
    if (!FLaidOut) {
        Relayout(true);
        FLaidOut = true;
    }
    FEntries = Entries;
    FNewestCell = (FNewestCell + 1) % DataCellCount();
    viewport()->update();
}

QString TSymbolOnlyGrid::HeaderText(int) const
{
    return SymbolHeader;
}

TCellContent TSymbolOnlyGrid::DataCell(int Col, int Row, int TextWidth) const
{
    TCellContent content;
    content.TextColor = ColorFromRef(FTextColor);
    int index = -1;
    if (!CellToEntry(Col, Row, index))
        return content;
    content.Inverse = index == 0; // the newest symbol
    content.Text = FitText(ByteText(FEntries[index].Symbol), TextWidth, QFontMetrics(CellFont()));
    return content;
}

bool TSymbolOnlyGrid::EntrySymbol(int Col, int Row, QByteArray& Symbol) const
{
    int index = -1;
    if (!CellToEntry(Col, Row, index))
        return false;
    Symbol = FEntries[index].Symbol;
    return true;
}

void TSymbolOnlyGrid::resizeEvent(QResizeEvent* Event)
{
    TAlertGrid::resizeEvent(Event);
    Relayout(false);
}
