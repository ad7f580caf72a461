#include "AlertWindowUnit.h"

#include "IniFiles.h"
#include "MiscDebugWindows.h"
#include "StringStringHashtables.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QMenu>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <map>
#include <memory>
#include <vector>

namespace {

const QByteArray Category("BRENIK-main\r\n");

std::map<QByteArray, QByteArray> TableContents(tHashTable& Table)
{
    std::map<QByteArray, QByteArray> Result;
    auto It = Table.NewIterator();
    while (It->IsEntryValid()) {
        Result[It->Key()] = It->Value();
        It->Next();
    }
    return Result;
}

template <typename TList>
std::vector<QByteArray> Symbols(const TList& List)
{
    std::vector<QByteArray> Result;
    for (const auto& Entry : List)
        Result.push_back(Entry.Symbol);
    return Result;
}

// A session manager of its own (no settings file, never logged in) and alert
// windows registered with it. The windows go first, the session manager last.
class AlertWindowTest : public ::testing::Test {
protected:
    AlertWindowTest()
        : Connection(Dir.filePath("ZVR.ini"))
    {
    }

    ~AlertWindowTest() override
    {
        for (auto& W : Windows)
            W->PermitDestruction();
    }

    TAlertForm& NewWindow()
    {
        Windows.push_back(std::make_unique<TAlertForm>(&Connection));
        TAlertForm& W = *Windows.back();
        W.SetClock([this] { return Clock; });
        return W;
    }

    TAlertForm& Standard(int Kind)
    {
        TAlertForm& W = NewWindow();
        W.SetKind(Kind);
        return W;
    }

    TAlertForm& Defined(const QByteArray& SectionBody)
    {
        TAlertForm& W = NewWindow();
        W.LoadDefinition(TIniFile::FromText("[Additional Alerts 1]\n" + SectionBody), "Additional Alerts 1");
        return W;
    }

    // Delivers an alert the way the session does.
    void Deliver(const QByteArray& Data)
    {
        Connection.ListenForAlertsResponse(true, Data, TMessageToServer());
    }
    void Send(const QByteArray& FieldLine) { Deliver(Category + FieldLine); }

    QTemporaryDir Dir;
    TMainConnection Connection;
    QDateTime Clock = QDateTime(QDate(2024, 3, 1), QTime(9, 30, 0));
    std::vector<std::unique_ptr<TAlertForm>> Windows;
};

} // namespace

TEST(AlertFields, SplitAt)
{
    struct Case {
        QByteArray Separator, Text, Before, After;
    };
    const Case Cases[] = {
        {"&", "a=1&b=2&c=3", "a=1", "b=2&c=3"},
        {"&", "a=1", "a=1", ""},
        {"&", "&a", "", "a"},
        {"&", "a&", "a", ""},
        {"&", "", "", ""},
        {"\r\n", "cat\r\nline\r\nrest", "cat", "line\r\nrest"},
        {"\r\n", "cat\nline", "cat\nline", ""}, // a bare LF is no line end
        {"=", "a==b", "a", "=b"},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text.constData());
        QByteArray Before = "x", After = "y";
        SplitAt(C.Separator, C.Text, Before, After);
        EXPECT_EQ(Before, C.Before);
        EXPECT_EQ(After, C.After);
    }
    // Splitting a text into itself.
    QByteArray Text = "a&b&c", Pair;
    SplitAt("&", Text, Pair, Text);
    EXPECT_EQ(Pair, "a");
    EXPECT_EQ(Text, "b&c");
}

TEST(AlertFields, ParseAlertFieldsDecodesAfterSplitting)
{
    struct Case {
        QByteArray Line;
        std::map<QByteArray, QByteArray> Fields;
    };
    const std::vector<Case> Cases = {
        {"", {}},
        {"a==b", {{"a", "=b"}}},
        {"w_id=1&w_id=2", {{"w_id", "2"}}},
        {"&a=1", {{"a", "1"}}},
        {"a=1&", {{"a", "1"}}},
        {"a=1&&b=2", {{"a", "1"}, {"b", "2"}}},
        {"&&&", {}},
        {"flag&a=1&=empty key", {{"a", "1"}, {"", "empty key"}}},
        {"sym%62ol=A%42C", {{"symbol", "ABC"}}},
        {"t=a%26b%3Dc&x=1", {{"t", "a&b=c"}, {"x", "1"}}}, // decoded "&" and "=" stay in the value
        {"a=A+B&b=A%4&c=A%zz", {{"a", "A+B"}, {"b", "A%4"}, {"c", "A%zz"}}},
        {"k=%e9t%C3%A9", {{"k", "\xE9t\xC3\xA9"}}},
        {"a=", {{"a", ""}}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Line.constData());
        tHashTable Table(0);
        ParseAlertFields(C.Line, Table);
        EXPECT_EQ(TableContents(Table), C.Fields);
    }
}

TEST(AlertFields, IntegersInDecimalAndHexadecimal)
{
    struct Case {
        const char* Text;
        bool Ok;
        qint32 Value;
    };
    const Case Cases[] = {
        {"7", true, 7}, {"-1", true, -1}, {"+5", true, 5}, {"0", true, 0}, {"007", true, 7},
        {"$FF0000", true, 0xFF0000}, {"$ff", true, 255}, {"0x1F", true, 31}, {"0X10", true, 16},
        {"$FFFFFFFF", true, -1}, {"-$10", true, -16},
        {"2147483647", true, 2147483647}, {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0}, {"99999999999999999999", false, 0}, {"$123456789", false, 0},
        {"", false, 0}, {"-", false, 0}, {"$", false, 0}, {"0x", false, 0}, {"x", false, 0},
        {"1.5", false, 0}, {" 7", false, 0}, {"7 ", false, 0}, {"12a", false, 0}, {"$G", false, 0},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        qint32 Value = 12345;
        EXPECT_EQ(TryParseInteger(C.Text, Value), C.Ok);
        EXPECT_EQ(Value, C.Ok ? C.Value : 12345);
        EXPECT_EQ(IntegerOrDefault(C.Text, -1), C.Ok ? C.Value : -1);
    }
}

TEST(AlertFields, NumbersUseThePointWhateverTheLocale)
{
    const QLocale Saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    struct Case {
        const char* Text;
        double Value; // NaN: missing
    };
    const double Missing = std::nan("");
    const Case Cases[] = {
        {"10.5", 10.5}, {"-0.25", -0.25}, {"3", 3}, {"1e3", 1000}, {"+2.5", 2.5},
        {"", Missing}, {"abc", Missing}, {"x", Missing}, {"1,5", Missing}, {"1,000.5", Missing},
        {"10.5abc", Missing}, {"inf", Missing}, {"nan", Missing},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        const double Value = AlertNumber(C.Text);
        if (std::isnan(C.Value)) {
            EXPECT_TRUE(std::isnan(Value)) << Value;
        } else {
            EXPECT_DOUBLE_EQ(Value, C.Value);
        }
    }
    QLocale::setDefault(Saved);
}

TEST_F(AlertWindowTest, ANewWindowHasNoKindAndTheDesignedLook)
{
    TAlertForm& W = NewWindow();
    EXPECT_EQ(W.windowTitle(), "AlertForm");
    EXPECT_EQ(W.w_id, 0);
    EXPECT_FALSE(W.HasGrid());
    EXPECT_EQ(W.GridKind(), gkQuickStrike);
    EXPECT_EQ(W.size(), QSize(401, 480));
    EXPECT_EQ(W.font().pixelSize(), 12);
    // A fixed-pitch face: every character takes the same width. (Measured
    // rather than asked: some monospaced faces, Noto Sans Mono among them, do
    // not flag themselves as fixed pitch.)
    const QFontMetrics Metrics(W.font());
    for (QChar C : QStringLiteral("W.1%"))
        EXPECT_EQ(Metrics.horizontalAdvance(C), Metrics.horizontalAdvance(QLatin1Char('i'))) << C.toLatin1();
    EXPECT_TRUE(W.ExpireBollingersTimer->isActive());
    EXPECT_EQ(W.ExpireBollingersTimer->interval(), 1000);
    EXPECT_EQ(W.ClearWindowMenuItem->text(), "Clear Window");
    EXPECT_EQ(W.PopupMenu(), nullptr);

    // Closing only hides.
    W.show();
    EXPECT_TRUE(W.close());
    EXPECT_TRUE(W.isHidden());
    EXPECT_FALSE(W.testAttribute(Qt::WA_DeleteOnClose));
}

TEST_F(AlertWindowTest, StandardKindsGetTitleGridAndColour)
{
    struct Case {
        int Kind;
        const char* Title;
        TGridKind Grid;
        quint32 Color; // 0: Bollinger, coloured by sign
    };
    const Case Cases[] = {
        {1, "Quickstrike Down", gkQuickStrike, 0x004B4BFF},
        {2, "Quickstrike Up", gkQuickStrike, 0x0064FF64},
        {3, "Bollinger Long (NASDAQ)", gkBollinger, 0},
        {4, "Bollinger Short (NASDAQ)", gkBollinger, 0},
        {5, "Bollinger Long (NYSE)", gkBollinger, 0},
        {6, "Bollinger Short (NYSE)", gkBollinger, 0},
        {7, "Break Lo 5", gkSymbolOnly, 0x0000FFFF},
        {8, "Break Hi 5", gkSymbolOnly, 0x00FFFF00},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Kind);
        TAlertForm& W = Standard(C.Kind);
        EXPECT_EQ(W.w_id, C.Kind);
        EXPECT_EQ(W.windowTitle(), C.Title);
        EXPECT_EQ(W.GridKind(), C.Grid);
        EXPECT_EQ(W.QuickStrikeGrid() != nullptr, C.Grid == gkQuickStrike);
        EXPECT_EQ(W.BollingerGrid() != nullptr, C.Grid == gkBollinger);
        EXPECT_EQ(W.SymbolOnlyGrid() != nullptr, C.Grid == gkSymbolOnly);
        EXPECT_EQ(W.PointsGrid(), nullptr);
        if (W.QuickStrikeGrid()) {
            EXPECT_EQ(W.QuickStrikeGrid()->FTextColor, C.Color);
        }
        if (W.SymbolOnlyGrid()) {
            EXPECT_EQ(W.SymbolOnlyGrid()->FTextColor, C.Color);
        }
        // The grid fills the window and takes its font.
        QWidget* Grid = W.QuickStrikeGrid() ? static_cast<QWidget*>(W.QuickStrikeGrid())
            : W.BollingerGrid()           ? static_cast<QWidget*>(W.BollingerGrid())
                                          : static_cast<QWidget*>(W.SymbolOnlyGrid());
        EXPECT_EQ(Grid->parentWidget(), &W);
        EXPECT_EQ(Grid->font().pixelSize(), 12);
        W.show();
        EXPECT_EQ(Grid->geometry(), W.rect());
        W.hide();
    }
}

TEST_F(AlertWindowTest, BrokenKindsAreAssertions)
{
    for (int Kind : {0, 9, -1}) {
        SCOPED_TRACE(Kind);
        TAlertForm& W = NewWindow();
        EXPECT_THROW(W.SetKind(Kind), EAssertionFailed);
        EXPECT_FALSE(W.HasGrid());
    }
    // A window gets one grid only.
    TAlertForm& W = Standard(1);
    EXPECT_THROW(W.SetKind(2), EAssertionFailed);
    EXPECT_THROW(W.LoadDefinition(TIniFile::FromText(""), "Additional Alerts 1"), EAssertionFailed);
    EXPECT_EQ(W.w_id, 1);
    EXPECT_EQ(W.windowTitle(), "Quickstrike Down");
}

TEST_F(AlertWindowTest, DefinitionsFromTheSettingsFile)
{
    struct Case {
        QByteArray Body;
        qint32 Id;
        const char* Title;
        TGridKind Kind;
        quint32 Color;
    };
    const Case Cases[] = {
        {"", -1, "Alerts", gkQuickStrike, 0x00FFFFFF},
        {"w_id=12\ntitle=Movers\ndisplay=set\n", 12, "Movers", gkBollinger, 0},
        {"w_id=$10\ndisplay=symbol\ncolor=255\n", 16, "Alerts", gkSymbolOnly, 255},
        {"W_ID=0x1F\nDisplay=pointslist\nColor=$FF0000\n", 31, "Alerts", gkPointsTopList, 0xFF0000},
        {"w_id=ten\ncolor=blue\ndisplay=Set\n", -1, "Alerts", gkQuickStrike, 0x00FFFFFF},
        {"display= SYMBOL\ncolor=$00FF00\n", -1, "Alerts", gkQuickStrike, 0x00FF00},
        {"title=\n", -1, "", gkQuickStrike, 0x00FFFFFF},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Body.constData());
        TAlertForm& W = Defined(C.Body);
        EXPECT_EQ(W.w_id, C.Id);
        EXPECT_EQ(W.windowTitle(), C.Title);
        EXPECT_EQ(W.GridKind(), C.Kind);
        if (W.QuickStrikeGrid()) {
            EXPECT_EQ(W.QuickStrikeGrid()->FTextColor, C.Color);
        }
        if (W.SymbolOnlyGrid()) {
            EXPECT_EQ(W.SymbolOnlyGrid()->FTextColor, C.Color);
        }
        if (W.PointsGrid()) {
            EXPECT_EQ(W.PointsGrid()->FTextColor, C.Color);
        }
        EXPECT_TRUE(W.HasGrid());
    }
}

TEST_F(AlertWindowTest, ColoursFromTheSettingsFileReachThePaintedText)
{
    struct Case {
        QByteArray Color;
        QColor Shown;
    };
    const Case Cases[] = {{"255", QColor(255, 0, 0)}, {"$FF0000", QColor(0, 0, 255)}};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Color.constData());
        TAlertForm& W = Defined("w_id=20\ncolor=" + C.Color + "\n");
        Send("w_id=20&symbol=OLD");
        Send("w_id=20&symbol=NEW");
        // Row 1 (the newest) is shown inverse; row 2 shows the text colour.
        ASSERT_EQ(W.QuickStrikeGrid()->CellText(0, 2), "OLD");
        EXPECT_EQ(W.QuickStrikeGrid()->CellTextColor(0, 2), C.Shown);
        EXPECT_EQ(W.QuickStrikeGrid()->CellBackground(0, 1), C.Shown);
    }
}

TEST_F(AlertWindowTest, TheWorkedQuickStrikeAlert)
{
    TAlertForm& Down = Standard(1);
    TAlertForm& Up = Standard(2);
    Send("w_id=1&symbol=ABC&last=10.5&prev_close=10&sma_divergence=0.2&time=09:31:05");
    ASSERT_EQ(Down.QuickStrikeList().size(), 1);
    const TQuickStrikeEntry& Row = Down.QuickStrikeList().front();
    EXPECT_EQ(Row.Symbol, "ABC");
    EXPECT_DOUBLE_EQ(Row.Last, 10.5);
    EXPECT_DOUBLE_EQ(Row.PrevClose, 10);
    EXPECT_DOUBLE_EQ(Row.SmaDivergence, 0.2);
    EXPECT_EQ(Row.Time, "09:31:05");
    const TQuickStrikeGrid& Grid = *Down.QuickStrikeGrid();
    ASSERT_EQ(Grid.Entries().size(), 1);
    EXPECT_EQ(Grid.CellText(0, 1), "ABC");
    EXPECT_EQ(Grid.CellText(5, 1), "09:31:05");
    EXPECT_TRUE(Up.QuickStrikeList().isEmpty());
    EXPECT_TRUE(Up.QuickStrikeGrid()->Entries().isEmpty());
}

TEST_F(AlertWindowTest, AlertsReachTheWindowsTheirIdentifierNames)
{
    TAlertForm& One = Standard(1);
    TAlertForm& AlsoOne = Standard(1);
    TAlertForm& Two = Standard(2);
    TAlertForm& Minus = Defined("title=No id\n"); // identifier -1
    TAlertForm& Undefined = NewWindow();           // identifier 0, no grid

    struct Case {
        QByteArray Data;
        std::vector<TAlertForm*> Receivers;
    };
    const std::vector<Case> Cases = {
        {Category + "w_id=1&symbol=A", {&One, &AlsoOne}},
        {Category + "w_id=1&w_id=2&symbol=B", {&Two}},
        {Category + "w_id=2\r\nw_id=1&symbol=C", {&Two}},  // only the second line counts
        {Category + "symbol=D", {&Minus}},                 // no w_id: -1
        {Category + "w_id=x&symbol=E", {&Minus}},          // not an integer: -1
        {"w_id=1&symbol=F", {&Minus}},                     // no CR LF: no field line at all
        {"", {&Minus}},
        {Category + "w_id=0&symbol=G", {}},                // the undefined window ignores it
        {Category + "w_id=%31&symbol=H", {&One, &AlsoOne}}, // decoded before reading
        {Category + "w_id=3&symbol=I", {}},
    };
    const std::vector<TAlertForm*> All = {&One, &AlsoOne, &Two, &Minus};
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Data.constData());
        std::vector<qsizetype> Before;
        for (TAlertForm* W : All)
            Before.push_back(W->QuickStrikeList().size());
        Deliver(C.Data);
        for (size_t I = 0; I < All.size(); ++I) {
            const bool Expected = std::find(C.Receivers.begin(), C.Receivers.end(), All[I]) != C.Receivers.end();
            EXPECT_EQ(All[I]->QuickStrikeList().size(), Before[I] + (Expected ? 1 : 0)) << "window " << I;
            EXPECT_EQ(All[I]->QuickStrikeGrid()->Entries().size(), All[I]->QuickStrikeList().size());
        }
        EXPECT_FALSE(Undefined.HasGrid());
    }
    // The text without CR LF made a row of nothing: empty symbol, missing
    // numbers, empty time.
    const TQuickStrikeEntry& Empty = Minus.QuickStrikeList().at(1);
    EXPECT_EQ(Empty.Symbol, "");
    EXPECT_TRUE(std::isnan(Empty.Last));
    EXPECT_TRUE(std::isnan(Empty.PrevClose));
    EXPECT_TRUE(std::isnan(Empty.SmaDivergence));
    EXPECT_EQ(Empty.Time, "");
    EXPECT_EQ(Symbols(One.QuickStrikeList()), (std::vector<QByteArray>{"H", "A"}));
}

TEST_F(AlertWindowTest, QuickStrikeAndSymbolOnlyKeepTheNewestThousand)
{
    for (int Kind : {1, 7}) {
        SCOPED_TRACE(Kind);
        TAlertForm& W = Standard(Kind);
        const QByteArray Id = QByteArray::number(Kind);
        for (int I = 0; I < 1001; ++I)
            Send("w_id=" + Id + "&symbol=S" + QByteArray::number(I));
        const TQuickStrikeEntries& List = Kind == 1 ? W.QuickStrikeList() : W.SymbolOnlyList();
        ASSERT_EQ(List.size(), 1000);
        EXPECT_EQ(List.front().Symbol, "S1000");
        EXPECT_EQ(List.back().Symbol, "S1");
        const TQuickStrikeEntries& Shown =
            Kind == 1 ? W.QuickStrikeGrid()->Entries() : W.SymbolOnlyGrid()->Entries();
        ASSERT_EQ(Shown.size(), 1000);
        EXPECT_EQ(Shown.front().Symbol, "S1000");
        EXPECT_EQ(Shown.back().Symbol, "S1");
    }
    // Equal symbols are not merged.
    TAlertForm& W = Standard(2);
    Send("w_id=2&symbol=SAME");
    Send("w_id=2&symbol=SAME");
    EXPECT_EQ(W.QuickStrikeList().size(), 2);
}

TEST_F(AlertWindowTest, BollingerRowsStayOrderedByDistanceThenSymbol)
{
    struct Case {
        const char* What;
        std::vector<QByteArray> Alerts; // field lines after "w_id=3&"
        std::vector<QByteArray> Order;
    };
    const std::vector<Case> Cases = {
        {"new symbols by absolute distance",
         {"action=add&symbol=A&dist_from_bb=1", "action=add&symbol=B&dist_from_bb=3",
          "action=add&symbol=C&dist_from_bb=-2"},
         {"B", "C", "A"}},
        {"-3 and 3 are equal: symbol order",
         {"action=add&symbol=Y&dist_from_bb=3", "action=add&symbol=X&dist_from_bb=-3",
          "action=add&symbol=Z&dist_from_bb=-3"},
         {"X", "Y", "Z"}},
        {"a smaller distance moves the row down",
         {"action=add&symbol=B&dist_from_bb=3", "action=add&symbol=C&dist_from_bb=2",
          "action=add&symbol=A&dist_from_bb=1", "action=add&symbol=B&dist_from_bb=1.5"},
         {"C", "B", "A"}},
        {"down to just before an equal distance with a greater symbol",
         {"action=add&symbol=C&dist_from_bb=2", "action=add&symbol=B&dist_from_bb=1",
          "action=add&symbol=D&dist_from_bb=1", "action=add&symbol=C&dist_from_bb=1"},
         {"B", "C", "D"}},
        {"down to the end",
         {"action=add&symbol=A&dist_from_bb=5", "action=add&symbol=B&dist_from_bb=4",
          "action=add&symbol=A&dist_from_bb=0.5"},
         {"B", "A"}},
        {"a greater distance moves the row up",
         {"action=add&symbol=A&dist_from_bb=3", "action=add&symbol=B&dist_from_bb=2",
          "action=add&symbol=C&dist_from_bb=1", "action=add&symbol=C&dist_from_bb=-4"},
         {"C", "A", "B"}},
        {"a changed figure in place keeps the place",
         {"action=add&symbol=A&dist_from_bb=3", "action=add&symbol=B&dist_from_bb=2&last=1",
          "action=add&symbol=B&dist_from_bb=2&last=9"},
         {"A", "B"}},
        {"a missing distance lets the symbols decide",
         {"action=add&symbol=B&dist_from_bb=3", "action=add&symbol=D&dist_from_bb=1",
          "action=add&symbol=C"},
         {"B", "C", "D"}},
        {"delete",
         {"action=add&symbol=A&dist_from_bb=1", "action=add&symbol=B&dist_from_bb=2",
          "action=delete&symbol=B"},
         {"A"}},
        {"delete of an unknown symbol", {"action=add&symbol=A&dist_from_bb=1", "action=delete&symbol=Q"}, {"A"}},
        {"other actions change nothing",
         {"action=add&symbol=A&dist_from_bb=1", "action=update&symbol=B&dist_from_bb=2", "symbol=C",
          "action=ADD&symbol=D"},
         {"A"}},
        {"symbols compare exactly",
         {"action=add&symbol=abc&dist_from_bb=1", "action=add&symbol=ABC&dist_from_bb=1"},
         {"ABC", "abc"}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        TAlertForm& W = Standard(3);
        for (const QByteArray& Alert : C.Alerts)
            Send("w_id=3&" + Alert);
        EXPECT_EQ(Symbols(W.BollingerList()), C.Order);
        EXPECT_EQ(Symbols(W.BollingerGrid()->Entries()), C.Order);
    }
}

TEST_F(AlertWindowTest, BollingerAddCarriesTheFiguresAndTheTime)
{
    TAlertForm& W = Standard(4);
    Send("w_id=4&action=add&symbol=XYZ&last=12.5&prev_close=12.75&dist_from_bb=-0.5&time=ignored");
    ASSERT_EQ(W.BollingerList().size(), 1);
    const TBollingerEntry& Row = W.BollingerList().front();
    EXPECT_DOUBLE_EQ(Row.Last, 12.5);
    EXPECT_DOUBLE_EQ(Row.PrevClose, 12.75);
    EXPECT_DOUBLE_EQ(Row.DistFromBB, -0.5);
    EXPECT_EQ(Row.Time, Clock);
    EXPECT_EQ(W.BollingerGrid()->CellText(0, 1), "XYZ");
}

TEST_F(AlertWindowTest, IdenticalBollingerAddOnlyRefreshesTheTime)
{
    TAlertForm& W = Standard(3);
    const QDateTime Start = Clock;
    Send("w_id=3&action=add&symbol=A&last=1&prev_close=2&dist_from_bb=3");
    Send("w_id=3&action=add&symbol=B&last=1&prev_close=2&dist_from_bb=1");
    struct Case {
        const char* What;
        QByteArray Alert;
    };
    const Case Cases[] = {
        {"same figures", "action=add&symbol=A&last=1&prev_close=2&dist_from_bb=3"},
        {"a figure missing in the alert counts as equal", "action=add&symbol=A&last=1&dist_from_bb=3"},
        {"every figure missing", "action=add&symbol=A"},
    };
    int Step = 0;
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        Clock = Start.addSecs(10 * ++Step);
        Send("w_id=3&" + C.Alert);
        ASSERT_EQ(Symbols(W.BollingerList()), (std::vector<QByteArray>{"A", "B"}));
        EXPECT_EQ(W.BollingerList().at(0).Time, Clock);
        EXPECT_DOUBLE_EQ(W.BollingerList().at(0).PrevClose, 2); // figures kept
        // The grid was not told: its copy still has the first time.
        EXPECT_EQ(W.BollingerGrid()->Entries().at(0).Time, Start);
    }
    // A changed figure is told.
    Send("w_id=3&action=add&symbol=A&last=1.5&prev_close=2&dist_from_bb=3");
    EXPECT_EQ(W.BollingerGrid()->Entries().at(0).Time, Clock);
    EXPECT_DOUBLE_EQ(W.BollingerGrid()->Entries().at(0).Last, 1.5);
}

TEST_F(AlertWindowTest, DeleteOfAnUnknownSymbolTellsTheGridNothing)
{
    TAlertForm& W = Standard(5);
    Send("w_id=5&action=add&symbol=A&dist_from_bb=1");
    // Refresh the time in the window's list only, then delete something else:
    // the grid's copy keeps the old time, so it was not handed a new list.
    Clock = Clock.addSecs(5);
    Send("w_id=5&action=add&symbol=A&dist_from_bb=1");
    Send("w_id=5&action=delete&symbol=NOPE");
    EXPECT_EQ(W.BollingerList().size(), 1);
    EXPECT_EQ(W.BollingerGrid()->Entries().at(0).Time, Clock.addSecs(-5));
    Send("w_id=5&action=delete&symbol=A");
    EXPECT_TRUE(W.BollingerList().isEmpty());
    EXPECT_TRUE(W.BollingerGrid()->Entries().isEmpty());
}

TEST_F(AlertWindowTest, BollingerRowsExpireTwoMinutesAfterTheirLastAdd)
{
    TAlertForm& W = Standard(6);
    const QDateTime Start = Clock;
    Send("w_id=6&action=add&symbol=OLD&dist_from_bb=2");
    Clock = Start.addSecs(30);
    Send("w_id=6&action=add&symbol=NEW&dist_from_bb=1");
    struct Step {
        int Seconds; // after Start
        std::vector<QByteArray> Left;
    };
    const Step Steps[] = {
        {119, {"OLD", "NEW"}},
        {120, {"NEW"}}, // OLD is exactly two minutes old: gone
        {149, {"NEW"}},
        {150, {}},
    };
    for (const Step& S : Steps) {
        SCOPED_TRACE(S.Seconds);
        Clock = Start.addSecs(S.Seconds);
        W.ExpireBollingersTimerTimer();
        EXPECT_EQ(Symbols(W.BollingerList()), S.Left);
        EXPECT_EQ(Symbols(W.BollingerGrid()->Entries()), S.Left);
    }

    // An identical add keeps a row alive; the timer tells the grid only when
    // it drops something.
    Clock = Start;
    Send("w_id=6&action=add&symbol=KEEP&dist_from_bb=1");
    Clock = Start.addSecs(100);
    Send("w_id=6&action=add&symbol=KEEP&dist_from_bb=1");
    Clock = Start.addSecs(200);
    W.ExpireBollingersTimerTimer();
    EXPECT_EQ(Symbols(W.BollingerList()), (std::vector<QByteArray>{"KEEP"}));
    EXPECT_EQ(W.BollingerGrid()->Entries().at(0).Time, Start); // grid not told
    Clock = Start.addSecs(221);
    W.ExpireBollingersTimerTimer();
    EXPECT_TRUE(W.BollingerList().isEmpty());
    EXPECT_TRUE(W.BollingerGrid()->Entries().isEmpty());
}

TEST_F(AlertWindowTest, ExpiryLeavesOtherKindsAlone)
{
    TAlertForm& W = Standard(1);
    Send("w_id=1&symbol=A");
    Clock = Clock.addDays(1);
    W.ExpireBollingersTimerTimer();
    EXPECT_EQ(W.QuickStrikeList().size(), 1);
    TAlertForm& Undefined = NewWindow();
    EXPECT_NO_THROW(Undefined.ExpireBollingersTimerTimer());
}

TEST_F(AlertWindowTest, PointsTopListIsRebuiltFromEachAlert)
{
    TAlertForm& W = Defined("w_id=50\ndisplay=pointslist\n");
    struct Case {
        const char* What;
        QByteArray Fields;
        std::vector<QByteArray> Shown;
    };
    const Case Cases[] = {
        {"three entries", "symbol0=A&last0=1&change0=0.5&symbol1=B&last1=2&change1=1&symbol2=C&last2=3&change2=-1",
         {"A", "B", "C"}},
        {"entry 1 with last x stops", "symbol0=A&last0=1&change0=0.5&symbol1=B&last1=x&change1=1", {"A"}},
        {"first entry numbered 1", "symbol1=B&last1=2&change1=1", {}},
        {"an empty symbol stops", "symbol0=A&last0=1&change0=0.5&symbol1=&last1=2&change1=1", {"A"}},
        {"a missing change stops", "symbol0=A&last0=1&change0=0.5&symbol1=B&last1=2", {"A"}},
        {"a gap stops", "symbol0=A&last0=1&change0=0.5&symbol2=C&last2=3&change2=1", {"A"}},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        Send("w_id=50&" + C.Fields);
        EXPECT_EQ(Symbols(W.PointsList()), C.Shown);
        EXPECT_EQ(Symbols(W.PointsGrid()->Entries()), C.Shown);
    }
    Send("w_id=50&symbol0=A&last0=1&change0=0.5&symbol1=B&last1=x&change1=1");
    ASSERT_EQ(W.PointsList().size(), 1);
    EXPECT_DOUBLE_EQ(W.PointsList().front().Last, 1);
    EXPECT_DOUBLE_EQ(W.PointsList().front().Change, 0.5);
    EXPECT_EQ(W.PointsGrid()->CellText(0, 1), "A");
}

TEST_F(AlertWindowTest, ClearWindowIsOfferedOnlyOnQuickStrikeAndSymbolOnlyWindows)
{
    struct Case {
        const char* What;
        std::function<TAlertForm&()> Make;
        QByteArray Alert;
        bool Offered;
    };
    const std::vector<Case> Cases = {
        {"quick strike", [this]() -> TAlertForm& { return Standard(1); }, "w_id=1&symbol=A", true},
        {"symbol-only", [this]() -> TAlertForm& { return Standard(8); }, "w_id=8&symbol=A", true},
        {"Bollinger", [this]() -> TAlertForm& { return Standard(3); }, "w_id=3&action=add&symbol=A", false},
        {"points top list", [this]() -> TAlertForm& { return Defined("w_id=9\ndisplay=pointslist\n"); },
         "w_id=9&symbol0=A&last0=1&change0=1", false},
        {"no kind", [this]() -> TAlertForm& { return NewWindow(); }, "w_id=0&symbol=A", false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        TAlertForm& W = C.Make();
        W.show();
        Send(C.Alert);
        EXPECT_EQ(W.PopupMenu() != nullptr, C.Offered);
        // A right click on the grid (or the bare window) asks for the menu.
        QWidget* Target = &W;
        if (auto* Grid = W.findChild<QAbstractScrollArea*>())
            Target = Grid->viewport();
        const QPoint Local(20, 40);
        QContextMenuEvent Event(QContextMenuEvent::Mouse, Local, Target->mapToGlobal(Local));
        QApplication::sendEvent(Target, &Event);
        EXPECT_EQ(W.ClearPopup->isVisible(), C.Offered);
        W.ClearPopup->hide();

        const auto RowsOf = [&W] {
            return W.QuickStrikeList().size() + W.SymbolOnlyList().size() + W.BollingerList().size()
                + W.PointsList().size();
        };
        const qsizetype Before = RowsOf();
        W.ClearWindowMenuItem->trigger();
        EXPECT_EQ(RowsOf(), C.Offered ? 0 : Before);
        if (W.QuickStrikeGrid()) {
            EXPECT_TRUE(W.QuickStrikeGrid()->Entries().isEmpty());
        }
        if (W.SymbolOnlyGrid()) {
            EXPECT_TRUE(W.SymbolOnlyGrid()->Entries().isEmpty());
            // The next symbol goes into the first cell again.
            Send("w_id=8&symbol=NEXT");
            int Index = -1;
            EXPECT_TRUE(W.SymbolOnlyGrid()->CellToEntry(0, 1, Index));
            EXPECT_EQ(Index, 0);
            EXPECT_EQ(W.SymbolOnlyGrid()->CellText(0, 1), "NEXT");
        }
        W.hide();
    }
}

TEST_F(AlertWindowTest, ADestroyedWindowNoLongerListens)
{
    TAlertForm& Keep = Standard(1);
    Windows.push_back(std::make_unique<TAlertForm>(&Connection));
    Windows.back()->SetKind(1);
    Windows.back()->PermitDestruction();
    Windows.pop_back();
    Send("w_id=1&symbol=A");
    EXPECT_EQ(Keep.QuickStrikeList().size(), 1);
}

TEST_F(AlertWindowTest, DestroyingAWindowWhileTheProgramRunsIsReported)
{
    auto Reports = [] { return DebugWindow ? DebugWindow->PendingText() + DebugWindow->MemoText() : QString(); };
    struct Case {
        const char* What;
        bool InsideLoop;
        bool Permitted;
        bool Reported;
    };
    const Case Cases[] = {
        {"inside the event loop", true, false, true},
        {"inside the event loop, permitted", true, true, false},
        {"with no event loop running", false, false, false},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        const qsizetype Before = Reports().count(QStringLiteral("TAlertForm.FormDestroy"));
        auto W = std::make_unique<TAlertForm>(&Connection);
        W->SetKind(2);
        if (C.Permitted)
            W->PermitDestruction();
        if (C.InsideLoop) {
            QEventLoop Loop;
            QTimer::singleShot(0, &Loop, [&] {
                W.reset();
                Loop.quit();
            });
            Loop.exec();
        } else {
            W.reset();
        }
        const QString Text = Reports();
        EXPECT_EQ(Text.count(QStringLiteral("TAlertForm.FormDestroy")) - Before, C.Reported ? 1 : 0);
        if (C.Reported) {
            EXPECT_TRUE(Text.contains(QStringLiteral(
                "Class=EAssertionFailed, Message=Assertion failure, Location=AlertWindowUnit, TAlertForm.FormDestroy")))
                << Text.toStdString();
        }
    }
}
