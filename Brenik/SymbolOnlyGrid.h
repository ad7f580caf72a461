// The symbol-only grid: the whole area is filled with equal cells, and each
// new symbol is written into the next cell, down a column and on into the
// next, wrapping round, so older symbols stay where they were written until
// they are overwritten. The cell of the newest symbol is shown inverse.
//
// Cells are numbered by position p = (Row - 1) + (RowCount - 1) * Col, down
// the first column, then down the next; there are N = (RowCount - 1) *
// ColCount of them. FNewestCell is the position of entry 0 (the newest), -1
// while there are no entries; the cell at p shows entry FNewestCell - p
// (plus N when negative). Every change of size lays the grid out again: the
// visible entries then start from the first cell, oldest visible first.
#pragma once

#include "QuickStrikeGrid.h" // TQuickStrikeEntry, TQuickStrikeEntries

class TSymbolOnlyGrid : public TAlertGrid {
    Q_OBJECT
public:
    // Owner: the alert window, which then owns the grid (Qt parent).
    explicit TSymbolOnlyGrid(QWidget* Owner);

    // Entries holds the window's rows, newest first; each new list is expected
    // to carry one new entry at its front. An empty list clears the grid, and
    // the next symbol goes into the first cell.
    void SetEntries(const TQuickStrikeEntries& Entries);
    const TQuickStrikeEntries& Entries() const { return FEntries; }

    // Fits the column and row counts to the grid's size (at least one column
    // and one data row). When Force is set or a count changed, the visible
    // entries are laid out again from the first cell and the grid repaints.
    void Relayout(bool Force);

    // The entry that cell (Col, Row) shows; false for the header row and for
    // cells that show none.
    bool CellToEntry(int Col, int Row, int& Index) const;

    // The number of data cells, N.
    int DataCellCount() const;
    int NewestCell() const { return FNewestCell; }
    bool LaidOut() const { return FLaidOut; }

    // Colour of the data text (0x00BBGGRR); set by the alert window after
    // construction, used from the next paint on.
    quint32 FTextColor = DefaultTextColor;

protected:
    QString HeaderText(int Col) const override;
    TCellContent DataCell(int Col, int Row, int TextWidth) const override;
    bool EntrySymbol(int Col, int Row, QByteArray& Symbol) const override;
    void resizeEvent(QResizeEvent* Event) override;

private:
    int FNewestCell = -1;
    TQuickStrikeEntries FEntries;
    bool FLaidOut = false;
};
