// TRowGrid: what the grids that show one entry per data row share (quick
// strike, Bollinger, points top list): entry i stands in row i + 1, a table of
// columns gives the headers and the column widths, and a click on a row hands
// that entry's symbol on.
#pragma once

#include "AlertGrid.h"

#include <QByteArray>
#include <QList>
#include <algorithm>
#include <span>

template <typename TEntry>
class TRowGrid : public TAlertGrid {
public:
    using TEntries = QList<TEntry>;

    // Keeps a private copy of Entries and repaints. The grid shows one data
    // row even for an empty list.
    void SetEntries(const TEntries& Entries)
    {
        FEntries = Entries;
        SetRowCount(FixedRows + std::max<int>(FEntries.size(), 1));
        viewport()->update();
    }
    const TEntries& Entries() const { return FEntries; }

protected:
    // Columns is a static table of the subclass; the grid keeps a view of it.
    TRowGrid(QWidget* Owner, std::span<const TGridColumn> Columns)
        : TAlertGrid(Owner, static_cast<int>(Columns.size()), true), FColumns(Columns)
    {
        SizeToColumns(Columns);
    }

    // The entry that row Row shows, or null for the header and empty rows.
    const TEntry* EntryAt(int Row) const
    {
        const int index = Row - FixedRows;
        return index >= 0 && index < FEntries.size() ? &FEntries[index] : nullptr;
    }

    QString HeaderText(int Col) const override { return QString::fromLatin1(FColumns[Col].Header); }

    bool EntrySymbol(int /*Col*/, int Row, QByteArray& Symbol) const override
    {
        const TEntry* entry = EntryAt(Row);
        if (entry)
            Symbol = entry->Symbol;
        return entry != nullptr;
    }

private:
    std::span<const TGridColumn> FColumns;
    TEntries FEntries;
};
