// The quick strike grid: one row per alert, newest first and shown inverse,
// in the columns Symbol, Last, Chg, %Chg, Divrg and Time.
#pragma once

#include "AlertGrid.h"

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

class TQuickStrikeGrid : public TAlertGrid {
    Q_OBJECT
public:
    // Owner: the alert window, which then owns the grid (Qt parent).
    explicit TQuickStrikeGrid(QWidget* Owner);

    // Keeps a private copy of Entries (newest first) and repaints. The grid
    // shows one data row even for an empty list.
    void SetEntries(const TQuickStrikeEntries& Entries);
    const TQuickStrikeEntries& Entries() const { return FEntries; }

    // Colour of the data text (0x00BBGGRR); set by the alert window after
    // construction, used from the next paint on.
    quint32 FTextColor = DefaultTextColor;

protected:
    QString HeaderText(int Col) const override;
    TCellContent DataCell(int Col, int Row, int TextWidth) const override;
    bool EntrySymbol(int Col, int Row, QByteArray& Symbol) const override;

private:
    TQuickStrikeEntries FEntries;
};
