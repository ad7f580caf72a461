// The points top list grid: the latest list in server order, first row
// inverse, in the columns Symbol, Last and Chg.
#pragma once

#include "RowGrid.h"

#include <QByteArray>
#include <QList>
#include <limits>

// One entry of a points top list. Missing numbers are NaN.
struct TPointsTopListEntry {
    QByteArray Symbol;
    double Last = std::numeric_limits<double>::quiet_NaN();
    double Change = std::numeric_limits<double>::quiet_NaN();
};

using TPointsTopListEntries = QList<TPointsTopListEntry>;

class TPointsTopListGrid : public TRowGrid<TPointsTopListEntry> {
    Q_OBJECT
public:
    // Owner: the alert window, which then owns the grid (Qt parent).
    explicit TPointsTopListGrid(QWidget* Owner);

    // SetEntries and Entries: see TRowGrid.

    // Colour of the data text (0x00BBGGRR); set by the alert window after
    // construction, used from the next paint on.
    quint32 FTextColor = DefaultTextColor;

protected:
    TCellContent DataCell(int Col, int Row, int TextWidth) const override;
};
