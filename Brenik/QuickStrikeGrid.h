// The quick strike grid: one row per alert, newest first and shown inverse,
// in the columns Symbol, Last, Chg, %Chg, Divrg and Time.
#pragma once

#include "RowGrid.h"

#include <QByteArray>
#include <QList>
#include <limits>

// One quick strike alert (also the row of a symbol-only window). Missing
// numbers are NaN.
struct TQuickStrikeEntry {
    QByteArray Symbol;
    double Last = std::numeric_limits<double>::quiet_NaN();
    double PrevClose = std::numeric_limits<double>::quiet_NaN();
    double SmaDivergence = std::numeric_limits<double>::quiet_NaN();
    QByteArray Time; // shown unchanged, e.g. "09:31:05"
};

using TQuickStrikeEntries = QList<TQuickStrikeEntry>;

class TQuickStrikeGrid : public TRowGrid<TQuickStrikeEntry> {
    Q_OBJECT
public:
    // Owner: the alert window, which then owns the grid (Qt parent).
    explicit TQuickStrikeGrid(QWidget* Owner);

    // SetEntries and Entries: see TRowGrid.

    // Colour of the data text (0x00BBGGRR); set by the alert window after
    // construction, used from the next paint on.
    quint32 FTextColor = DefaultTextColor;

protected:
    TCellContent DataCell(int Col, int Row, int TextWidth) const override;
};
