// The alert windows: each shows one stream of alerts in one grid.
//
// Every alert the session receives reaches every alert window; a window keeps
// only the alerts whose "w_id" field equals its own identifier and applies them
// to its rows by the rules of its grid kind:
//   - quick strike and symbol-only: every alert inserts a row at the front;
//     the newest MaxListRows rows are kept;
//   - Bollinger: one row per symbol, ordered by decreasing absolute distance
//     from the band (equal distances by increasing symbol), "add" / "delete"
//     actions, rows expire BollingerLifetimeSecs after their last "add";
//   - points top list: each alert replaces the whole list.
//
// Alert message: a category line (unused), CR LF, then the field line of
// key=value pairs joined by "&", each key and value percent-decoded after
// splitting; anything after the next CR LF is ignored. Numbers on the wire use
// "." as the decimal separator whatever the user's locale; absent, empty or
// unparseable numbers are NaN (shown empty). Integers ("w_id", and "w_id" /
// "color" in ZVR.ini) are decimal, or hexadecimal after "$" or "0x".
//
// Lifetime: alert windows live for the whole run and are never destroyed while
// the program runs (their alert callbacks are never withdrawn). See
// FormDestroy for how a destruction is judged.
#pragma once

#include "BollingerGrid.h"
#include "MainConnectionUnit.h"
#include "PointsTopListGrid.h"
#include "QuickStrikeGrid.h"
#include "SymbolOnlyGrid.h"

#include <QByteArray>
#include <QDateTime>
#include <QWidget>
#include <functional>

class QAction;
class QContextMenuEvent;
class QMenu;
class QTimer;
class TIniFile;
class tHashTable;

// Finds the first Separator in Text: Before is the text ahead of it and After
// the text behind it; when there is none, Before is Text and After is empty.
void SplitAt(const QByteArray& Separator, const QByteArray& Text, QByteArray& Before, QByteArray& After);

// Stores the pairs of a field line ("k1=v1&k2=v2...") in Table with Put:
// pairs split at "&", each pair at its first "=", key and value decoded after
// splitting. Pairs without "=" (empty ones included) are skipped; a later pair
// with the same key replaces the earlier value.
void ParseAlertFields(const QByteArray& Text, tHashTable& Table);

// An integer as alerts and ZVR.ini write it: optional sign, then decimal
// digits, or hexadecimal digits after "$" or "0x"/"0X" (at most 8 of them,
// taken as a 32-bit pattern so "$FFFFFFFF" is -1). No blanks. False, and Value
// untouched, when Text is no such integer or a decimal one does not fit in 32
// bits.
bool TryParseInteger(const QByteArray& Text, qint32& Value);
qint32 IntegerOrDefault(const QByteArray& Text, qint32 Default);

// A number from an alert: decimal floating-point text with "." as the decimal
// separator (QLocale::c(), no group separators); NaN when empty, unparseable or
// not finite.
double AlertNumber(const QByteArray& Text);

enum TGridKind : quint8 {
    gkQuickStrike = 0, // also the value before a kind is given
    gkBollinger = 1,
    gkSymbolOnly = 2,
    gkPointsTopList = 3,
};

class TAlertForm : public QWidget {
    Q_OBJECT
public:
    // The local date and time as the window sees it; replaceable for tests.
    using TClock = std::function<QDateTime()>;

    static constexpr int DesignWidth = 401;
    static constexpr int DesignHeight = 480;
    static constexpr int FontPixelSize = 12;
    static constexpr int ExpirePeriodMs = 1000;      // ExpireBollingersTimer
    static constexpr int MaxListRows = 1000;         // quick strike and symbol-only
    static constexpr int BollingerLifetimeSecs = 120;
    static constexpr quint32 DefaultColor = 16777215; // 0x00FFFFFF, white

    // A top-level window (no parent) captioned "AlertForm", with no kind and
    // no grid yet, identifier 0. Registers ApplyAlert as an alert listener of
    // Connection (the process-wide session manager unless a test passes its
    // own); Connection must outlive the window's registration, which is never
    // withdrawn - a listener whose window is gone does nothing.
    explicit TAlertForm(TMainConnection* Connection = MainConnection());
    // Calls FormDestroy.
    ~TAlertForm() override;
    TAlertForm(const TAlertForm&) = delete;
    TAlertForm& operator=(const TAlertForm&) = delete;

    // The identifier that an alert's "w_id" must equal; 0 until a kind is
    // given.
    qint32 w_id = 0;

    // Applies one alert message (the registered alert callback). May raise
    // only on a fault of the program; the session manager absorbs that.
    void ApplyAlert(const QByteArray& Data);

    // Makes this one of the eight standard windows (1 to 8): identifier Kind,
    // title, grid kind and text colour from the fixed table. Anything else,
    // or a window that already has its grid, fails an assertion.
    void SetKind(int Kind);

    // Defines an additional window from Section of the settings file: "w_id"
    // (default -1), "title" (default "Alerts"), "color" (default white),
    // "display" ("set" Bollinger, "symbol" symbol-only, "pointslist" points
    // top list, anything else quick strike; case-sensitive). A window that
    // already has its grid fails an assertion.
    void LoadDefinition(const TIniFile& Ini, const QString& Section);

    // Empties the rows of a quick strike or symbol-only window and hands the
    // empty list to its grid; other kinds are left alone.
    void ClearWindow();
    // Handler of ClearWindowMenuItem.
    void ClearWindowMenuItemClick();
    // Handler of ExpireBollingersTimer: a Bollinger window drops the rows
    // whose last "add" lies BollingerLifetimeSecs or more in the past.
    void ExpireBollingersTimerTimer();

    // Judges the window's destruction (the destructor calls it; it never
    // raises). Destroying an alert window while the program runs is a
    // programming error: it is reported through ReportException as an
    // assertion failure of unit AlertWindowUnit (a destructor cannot raise).
    // It is expected, and not reported, once the application is quitting
    // (aboutToQuit emitted or the application object going away), while no
    // event loop runs (start-up failures, test programs), or after
    // PermitDestruction().
    void FormDestroy();
    // Marks this window's destruction as deliberate (owners tearing down
    // everything on purpose, tests).
    void PermitDestruction() { FDestructionPermitted = true; }

    TGridKind GridKind() const { return FGridKind; }
    bool HasGrid() const;

    // The window's rows (its own lists, not the grids' copies).
    const TQuickStrikeEntries& QuickStrikeList() const { return FQuickStrikeList; }
    const TBollingerEntries& BollingerList() const { return FBollingerList; }
    const TQuickStrikeEntries& SymbolOnlyList() const { return FSymbolOnlyList; }
    const TPointsTopListEntries& PointsList() const { return FPointsList; }

    // The grid of the window's kind, null for the other kinds and before a
    // kind is given. Owned by the window (Qt child).
    TQuickStrikeGrid* QuickStrikeGrid() const { return FQuickStrikeGrid; }
    TBollingerGrid* BollingerGrid() const { return FBollingerGrid; }
    TSymbolOnlyGrid* SymbolOnlyGrid() const { return FSymbolOnlyGrid; }
    TPointsTopListGrid* PointsGrid() const { return FPointsGrid; }

    // The popup menu attached to the window: ClearPopup for quick strike and
    // symbol-only windows, null otherwise.
    QMenu* PopupMenu() const { return FPopupMenu; }

    // Replaces the clock (default: QDateTime::currentDateTime).
    void SetClock(TClock Clock);

    // Components, owned through the Qt parent (this window).
    QTimer* ExpireBollingersTimer = nullptr;
    QMenu* ClearPopup = nullptr;
    QAction* ClearWindowMenuItem = nullptr;

protected:
    // Shows PopupMenu() at the pointer, when there is one.
    void contextMenuEvent(QContextMenuEvent* Event) override;

private:
    void FormCreate(TMainConnection* Connection);
    // Creates the grid of Kind filling the window, attaches ClearPopup for
    // quick strike and symbol-only grids and sets FGridKind.
    void CreateGrid(TGridKind Kind);
    void SetGridTextColor(quint32 Color);

    void ApplyQuickStrike(const tHashTable& Fields, TQuickStrikeEntries& List);
    void ApplyBollinger(const tHashTable& Fields);
    void ApplyPointsTopList(const tHashTable& Fields);

    QDateTime Now() const;

    TQuickStrikeGrid* FQuickStrikeGrid = nullptr; // owned (Qt child)
    TQuickStrikeEntries FQuickStrikeList;
    TBollingerGrid* FBollingerGrid = nullptr;      // owned (Qt child)
    TBollingerEntries FBollingerList;
    TSymbolOnlyGrid* FSymbolOnlyGrid = nullptr;    // owned (Qt child)
    TQuickStrikeEntries FSymbolOnlyList;
    TPointsTopListGrid* FPointsGrid = nullptr;     // owned (Qt child)
    TPointsTopListEntries FPointsList;
    TGridKind FGridKind = gkQuickStrike;

    QMenu* FPopupMenu = nullptr; // ClearPopup once attached, not owned separately
    TClock FClock;
    bool FDestructionPermitted = false;
};
