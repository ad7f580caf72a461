// The Bollinger grid: one row per symbol in the order the alert window keeps,
// in the columns Symbol, Last, Chg and BBand. Figures are coloured by their
// sign (green above 0, red below, white at 0); symbols are white; no row is
// shown inverse.
#pragma once

#include "RowGrid.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <limits>

// One Bollinger row. Missing numbers are NaN. Time is the local time of the
// last "add" for the symbol (the alert window expires rows by it).
struct TBollingerEntry {
    QByteArray Symbol;
    double Last = std::numeric_limits<double>::quiet_NaN();
    double PrevClose = std::numeric_limits<double>::quiet_NaN();
    double DistFromBB = std::numeric_limits<double>::quiet_NaN();
    QDateTime Time;
};

using TBollingerEntries = QList<TBollingerEntry>;

class TBollingerGrid : public TRowGrid<TBollingerEntry> {
    Q_OBJECT
public:
    static constexpr quint32 PositiveColor = 0x0064FF64; // green
    static constexpr quint32 NegativeColor = 0x004B4BFF; // red
    static constexpr quint32 ZeroColor = 0x00FFFFFF;     // white, also the symbol's

    // Owner: the alert window, which then owns the grid (Qt parent).
    explicit TBollingerGrid(QWidget* Owner);

    // SetEntries and Entries: see TRowGrid.

protected:
    TCellContent DataCell(int Col, int Row, int TextWidth) const override;
};
