#include "AlertWindowUnit.h"

#include "ErrorBox.h"
#include "IniFiles.h"
#include "MiscDebugWindows.h"
#include "StringStringHashtables.h"
#include "UrlEncode.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QLocale>
#include <QMenu>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <limits>

namespace {

const char* const UnitName = "AlertWindowUnit";
const QByteArray LineEnd("\r\n");

// Set once the application has announced that it is quitting; from then on
// the windows going away is the normal end of the run.
bool GApplicationQuitting = false;

void WatchForQuit()
{
    static bool Connected = false;
    if (Connected || !QCoreApplication::instance())
        return;
    Connected = true;
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                     [] { GApplicationQuitting = true; });
}

struct TStandardWindow {
    const char* Title;
    TGridKind Kind;
    bool HasColor;
    quint32 Color; // 0x00BBGGRR
};

// Windows 1 to 8. Bollinger windows colour their figures by sign instead.
const TStandardWindow StandardWindows[8] = {
    {"Quickstrike Down", gkQuickStrike, true, 0x004B4BFF},
    {"Quickstrike Up", gkQuickStrike, true, 0x0064FF64},
    {"Bollinger Long (NASDAQ)", gkBollinger, false, 0},
    {"Bollinger Short (NASDAQ)", gkBollinger, false, 0},
    {"Bollinger Long (NYSE)", gkBollinger, false, 0},
    {"Bollinger Short (NYSE)", gkBollinger, false, 0},
    {"Break Lo 5", gkSymbolOnly, true, 0x0000FFFF},
    {"Break Hi 5", gkSymbolOnly, true, 0x00FFFF00},
};

int DigitValue(char C, int Base)
{
    int V = -1;
    if (C >= '0' && C <= '9')
        V = C - '0';
    else if (Base == 16 && ((C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F')))
        V = HexDigitValue(C);
    return V;
}

// Equal, or missing on either side: an "add" that repeats a row's figures.
bool SameOrMissing(double A, double B)
{
    return std::isnan(A) || std::isnan(B) || A == B;
}

// Whether Row stands before New in a Bollinger list: greater absolute
// distance, or equal distance (a missing one counts as equal) and a smaller
// symbol in byte order.
bool ComesBefore(const TBollingerEntry& Row, const TBollingerEntry& New)
{
    const double A = std::fabs(Row.DistFromBB);
    const double B = std::fabs(New.DistFromBB);
    if (!std::isnan(A) && !std::isnan(B) && A != B)
        return A > B;
    return Row.Symbol < New.Symbol;
}

} // namespace

// ------------------------------------------------------------ free functions

void SplitAt(const QByteArray& Separator, const QByteArray& Text, QByteArray& Before, QByteArray& After)
{
    const qsizetype At = Text.indexOf(Separator);
    if (At < 0) {
        Before = Text;
        After.clear();
        return;
    }
    // Copies first: Before or After may be the same object as Text.
    QByteArray Ahead = Text.left(At);
    QByteArray Behind = Text.mid(At + Separator.size());
    Before = std::move(Ahead);
    After = std::move(Behind);
}

void ParseAlertFields(const QByteArray& Text, tHashTable& Table)
{
    // Walks the pairs in place: splitting the remainder off at every "&"
    // would copy the rest of the line once per pair.
    const QByteArrayView Line(Text);
    qsizetype Start = 0;
    while (Start < Line.size()) {
        qsizetype End = Line.indexOf('&', Start);
        if (End < 0)
            End = Line.size();
        const QByteArrayView Pair = Line.sliced(Start, End - Start);
        Start = End + 1;
        const qsizetype Equals = Pair.indexOf('=');
        if (Equals < 0)
            continue; // no "=": not a pair (an empty one included)
        Table.Put(UrlDecode(Pair.first(Equals).toByteArray()),
                  UrlDecode(Pair.sliced(Equals + 1).toByteArray()));
    }
}

bool TryParseInteger(const QByteArray& Text, qint32& Value)
{
    qsizetype I = 0;
    bool Negative = false;
    if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) {
        Negative = Text[I] == '-';
        ++I;
    }
    int Base = 10;
    if (Text.mid(I, 1) == "$") {
        Base = 16;
        I += 1;
    } else if (Text.mid(I, 2) == "0x" || Text.mid(I, 2) == "0X") {
        Base = 16;
        I += 2;
    }
    const qsizetype Digits = Text.size() - I;
    if (Digits <= 0 || (Base == 16 && Digits > 8))
        return false;
    quint64 Magnitude = 0;
    for (; I < Text.size(); ++I) {
        const int D = DigitValue(Text[I], Base);
        if (D < 0)
            return false;
        Magnitude = Magnitude * static_cast<quint64>(Base) + static_cast<quint64>(D);
        if (Base == 10 && Magnitude > 0x80000000ull)
            return false;
    }
    if (Base == 16) {
        // A 32-bit pattern, as colours are written.
        const quint32 Pattern = static_cast<quint32>(Magnitude);
        Value = static_cast<qint32>(Negative ? 0u - Pattern : Pattern);
        return true;
    }
    if (!Negative && Magnitude > 0x7FFFFFFFull)
        return false;
    Value = Negative ? static_cast<qint32>(-static_cast<qint64>(Magnitude)) : static_cast<qint32>(Magnitude);
    return true;
}

qint32 IntegerOrDefault(const QByteArray& Text, qint32 Default)
{
    qint32 Value = Default;
    return TryParseInteger(Text, Value) ? Value : Default;
}

double AlertNumber(const QByteArray& Text)
{
    const double Missing = std::numeric_limits<double>::quiet_NaN();
    if (Text.isEmpty())
        return Missing;
    QLocale C = QLocale::c();
    C.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    bool Ok = false;
    const double Value = C.toDouble(QString::fromLatin1(Text), &Ok);
    return Ok && std::isfinite(Value) ? Value : Missing;
}

// ---------------------------------------------------------------- TAlertForm

TAlertForm::TAlertForm(TMainConnection* Connection)
    : QWidget(nullptr)
{
    WatchForQuit();
    setWindowTitle(QStringLiteral("AlertForm"));
    resize(DesignWidth, DesignHeight);
    // Closing only hides the window; it must not keep the program running
    // once the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);

    // The grids take this font: set it before any grid exists.
    QFont Font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    Font.setPixelSize(FontPixelSize);
    Font.setBold(false);
    Font.setItalic(false);
    setFont(Font);

    auto* Layout = new QVBoxLayout(this); // owned by the window
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->setSpacing(0);

    ExpireBollingersTimer = new QTimer(this);
    ExpireBollingersTimer->setInterval(ExpirePeriodMs);
    connect(ExpireBollingersTimer, &QTimer::timeout, this, [this] {
        try {
            ExpireBollingersTimerTimer();
        } catch (const std::exception& E) {
            ReportException(E, QStringLiteral("AlertWindowUnit, TAlertForm.ExpireBollingersTimerTimer"));
        }
    });
    ExpireBollingersTimer->start();

    ClearPopup = new QMenu(this);
    ClearWindowMenuItem = ClearPopup->addAction(QStringLiteral("Clear Window"));
    connect(ClearWindowMenuItem, &QAction::triggered, this,
            [this] { RunShowingErrors([this] { ClearWindowMenuItemClick(); }); });

    FormCreate(Connection);
}

TAlertForm::~TAlertForm()
{
    FormDestroy();
}

void TAlertForm::FormCreate(TMainConnection* Connection)
{
    Assert(Connection != nullptr, UnitName);
    // The registration outlives any window that is destroyed against the
    // rules; the guard turns its calls into nothing then.
    Connection->AddAlertListener([Window = QPointer<TAlertForm>(this)](const QByteArray& Data) {
        if (Window)
            Window->ApplyAlert(Data);
    });
}

void TAlertForm::FormDestroy()
{
    const bool Running = QCoreApplication::instance() && !QCoreApplication::closingDown()
        && !GApplicationQuitting && QThread::currentThread()->loopLevel() > 0;
    if (!Running || FDestructionPermitted)
        return;
    ReportException(EAssertionFailed(QString::fromLatin1(UnitName), QStringLiteral("Assertion failure")),
                    QStringLiteral("AlertWindowUnit, TAlertForm.FormDestroy"));
}

bool TAlertForm::HasGrid() const
{
    return FQuickStrikeGrid || FBollingerGrid || FSymbolOnlyGrid || FPointsGrid;
}

void TAlertForm::SetClock(TClock Clock)
{
    FClock = std::move(Clock);
}

QDateTime TAlertForm::Now() const
{
    return FClock ? FClock() : QDateTime::currentDateTime();
}

void TAlertForm::CreateGrid(TGridKind Kind)
{
    Assert(!HasGrid(), UnitName);
    QWidget* Grid = nullptr;
    switch (Kind) {
    case gkQuickStrike:
        Grid = FQuickStrikeGrid = new TQuickStrikeGrid(this);
        break;
    case gkBollinger:
        Grid = FBollingerGrid = new TBollingerGrid(this);
        break;
    case gkSymbolOnly:
        Grid = FSymbolOnlyGrid = new TSymbolOnlyGrid(this);
        break;
    case gkPointsTopList:
        Grid = FPointsGrid = new TPointsTopListGrid(this);
        break;
    }
    Assert(Grid != nullptr, UnitName);
    layout()->addWidget(Grid);
    Grid->show();
    // Size the grid to the client area now, shown or not: a symbol-only grid
    // lays its cells out by its size, and alerts arrive while windows are
    // hidden.
    layout()->activate();
    if (Kind == gkQuickStrike || Kind == gkSymbolOnly)
        FPopupMenu = ClearPopup;
    FGridKind = Kind;
}

void TAlertForm::SetGridTextColor(quint32 Color)
{
    if (FQuickStrikeGrid)
        FQuickStrikeGrid->FTextColor = Color;
    if (FSymbolOnlyGrid)
        FSymbolOnlyGrid->FTextColor = Color;
    if (FPointsGrid)
        FPointsGrid->FTextColor = Color;
    // A Bollinger grid colours by sign and ignores the colour.
}

void TAlertForm::SetKind(int Kind)
{
    Assert(Kind >= 1 && Kind <= 8, UnitName);
    Assert(!HasGrid(), UnitName);
    const TStandardWindow& Definition = StandardWindows[Kind - 1];
    w_id = Kind;
    setWindowTitle(QString::fromLatin1(Definition.Title));
    CreateGrid(Definition.Kind);
    if (Definition.HasColor)
        SetGridTextColor(Definition.Color);
}

void TAlertForm::LoadDefinition(const TIniFile& Ini, const QString& Section)
{
    Assert(!HasGrid(), UnitName);
    w_id = IntegerOrDefault(Ini.ReadString(Section, QStringLiteral("w_id"), QString()).toUtf8(), -1);
    setWindowTitle(Ini.ReadString(Section, QStringLiteral("title"), QStringLiteral("Alerts")));
    const quint32 Color = static_cast<quint32>(IntegerOrDefault(
        Ini.ReadString(Section, QStringLiteral("color"), QString()).toUtf8(), static_cast<qint32>(DefaultColor)));
    const QString Display = Ini.ReadString(Section, QStringLiteral("display"), QString());
    TGridKind Kind = gkQuickStrike;
    if (Display == QLatin1String("set"))
        Kind = gkBollinger;
    else if (Display == QLatin1String("symbol"))
        Kind = gkSymbolOnly;
    else if (Display == QLatin1String("pointslist"))
        Kind = gkPointsTopList;
    CreateGrid(Kind);
    SetGridTextColor(Color);
}

void TAlertForm::ApplyAlert(const QByteArray& Data)
{
    QByteArray CategoryLine, Rest, FieldLine, Ignored;
    SplitAt(LineEnd, Data, CategoryLine, Rest);
    SplitAt(LineEnd, Rest, FieldLine, Ignored);

    tHashTable Fields(0); // released however this ends
    ParseAlertFields(FieldLine, Fields);
    if (IntegerOrDefault(Fields.Get("w_id"), -1) != w_id)
        return;
    // A window that was never given a kind shows nothing, whatever the alert.
    if (!HasGrid())
        return;
    switch (FGridKind) {
    case gkQuickStrike:
        ApplyQuickStrike(Fields, FQuickStrikeList);
        FQuickStrikeGrid->SetEntries(FQuickStrikeList);
        break;
    case gkSymbolOnly:
        ApplyQuickStrike(Fields, FSymbolOnlyList);
        FSymbolOnlyGrid->SetEntries(FSymbolOnlyList);
        break;
    case gkBollinger:
        ApplyBollinger(Fields);
        break;
    case gkPointsTopList:
        ApplyPointsTopList(Fields);
        break;
    }
}

void TAlertForm::ApplyQuickStrike(const tHashTable& Fields, TQuickStrikeEntries& List)
{
    TQuickStrikeEntry Entry;
    Entry.Symbol = Fields.Get("symbol");
    Entry.Last = AlertNumber(Fields.Get("last"));
    Entry.PrevClose = AlertNumber(Fields.Get("prev_close"));
    Entry.SmaDivergence = AlertNumber(Fields.Get("sma_divergence"));
    Entry.Time = Fields.Get("time");
    List.prepend(Entry);
    while (List.size() > MaxListRows)
        List.removeLast();
}

void TAlertForm::ApplyBollinger(const tHashTable& Fields)
{
    TBollingerEntry Entry;
    Entry.Symbol = Fields.Get("symbol");
    Entry.Time = Now();

    qsizetype Found = -1;
    for (qsizetype I = 0; I < FBollingerList.size(); ++I) {
        if (FBollingerList[I].Symbol == Entry.Symbol) {
            Found = I;
            break;
        }
    }

    const QByteArray Action = Fields.Get("action");
    if (Action == "add") {
        Entry.Last = AlertNumber(Fields.Get("last"));
        Entry.PrevClose = AlertNumber(Fields.Get("prev_close"));
        Entry.DistFromBB = AlertNumber(Fields.Get("dist_from_bb"));
        if (Found >= 0) {
            TBollingerEntry& Row = FBollingerList[Found];
            if (SameOrMissing(Row.Last, Entry.Last) && SameOrMissing(Row.PrevClose, Entry.PrevClose)
                && SameOrMissing(Row.DistFromBB, Entry.DistFromBB)) {
                // Nothing to show changed: only keep the row alive longer.
                Row.Time = Entry.Time;
                return;
            }
        }
        qsizetype P = Found;
        if (P < 0) {
            FBollingerList.append(Entry);
            P = FBollingerList.size() - 1;
        }
        // The first row, the one at P included with its old values, that does
        // not stand before the new one.
        qsizetype Q = -1;
        for (qsizetype I = 0; I < FBollingerList.size(); ++I) {
            if (!ComesBefore(FBollingerList[I], Entry)) {
                Q = I;
                break;
            }
        }
        if (Q == P) {
            FBollingerList[P] = Entry;
        } else if (Q < 0) {
            FBollingerList.removeAt(P);
            FBollingerList.append(Entry);
        } else if (Q < P) {
            FBollingerList.removeAt(P);
            FBollingerList.insert(Q, Entry);
        } else {
            FBollingerList.removeAt(P);
            FBollingerList.insert(Q - 1, Entry);
        }
    } else if (Action == "delete") {
        if (Found < 0)
            return;
        FBollingerList.removeAt(Found);
    }
    FBollingerGrid->SetEntries(FBollingerList);
}

void TAlertForm::ApplyPointsTopList(const tHashTable& Fields)
{
    FPointsList.clear();
    for (qint64 N = 0;; ++N) {
        const QByteArray Suffix = QByteArray::number(N);
        TPointsTopListEntry Entry;
        Entry.Symbol = Fields.Get("symbol" + Suffix);
        Entry.Last = AlertNumber(Fields.Get("last" + Suffix));
        Entry.Change = AlertNumber(Fields.Get("change" + Suffix));
        if (Entry.Symbol.isEmpty() || std::isnan(Entry.Last) || std::isnan(Entry.Change))
            break;
        FPointsList.append(Entry);
    }
    FPointsGrid->SetEntries(FPointsList);
}

void TAlertForm::ClearWindow()
{
    if (FGridKind == gkQuickStrike && FQuickStrikeGrid) {
        FQuickStrikeList.clear();
        FQuickStrikeGrid->SetEntries(FQuickStrikeList);
    } else if (FGridKind == gkSymbolOnly && FSymbolOnlyGrid) {
        FSymbolOnlyList.clear();
        FSymbolOnlyGrid->SetEntries(FSymbolOnlyList);
    }
}

void TAlertForm::ClearWindowMenuItemClick()
{
    ClearWindow();
}

void TAlertForm::ExpireBollingersTimerTimer()
{
    if (FGridKind != gkBollinger || !FBollingerGrid)
        return;
    const QDateTime Moment = Now();
    TBollingerEntries Kept;
    Kept.reserve(FBollingerList.size());
    for (const TBollingerEntry& Row : FBollingerList)
        if (Row.Time.addSecs(BollingerLifetimeSecs) > Moment)
            Kept.append(Row);
    if (Kept.size() == FBollingerList.size())
        return;
    FBollingerList = Kept;
    FBollingerGrid->SetEntries(FBollingerList);
}

void TAlertForm::contextMenuEvent(QContextMenuEvent* Event)
{
    if (!FPopupMenu) {
        Event->ignore();
        return;
    }
    FPopupMenu->popup(Event->globalPos());
    Event->accept();
}
