// The four alert grids: what they show (texts, colours, pixels), the
// symbol-only wrap-around layout, and clicks handing symbols on.
#include "BollingerGrid.h"
#include "ErrorBox.h"
#include "Exceptions.h"
#include "PointsTopListGrid.h"
#include "QuickStrikeGrid.h"
#include "SymbolHandOff.h"
#include "SymbolOnlyGrid.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSet>
#include <QTest>
#include <QTimer>
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>

namespace {

const double NaN = std::nan("");

TQuickStrikeEntry QuickStrike(const QByteArray& Symbol, double Last = NaN, double PrevClose = NaN,
                              double Divergence = NaN, const QByteArray& Time = {})
{
    TQuickStrikeEntry entry;
    entry.Symbol = Symbol;
    entry.Last = Last;
    entry.PrevClose = PrevClose;
    entry.SmaDivergence = Divergence;
    entry.Time = Time;
    return entry;
}

QImage Render(TDrawGrid& Grid)
{
    return Grid.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QRgb Pixel(const QImage& Image, QPoint At)
{
    return Image.pixel(At) | 0xFF000000u;
}

// The distinct colours inside Area, less Except.
QSet<QRgb> ColorsIn(const QImage& Image, const QRect& Area, QColor Except)
{
    QSet<QRgb> colors;
    for (int y = Area.top(); y <= Area.bottom(); ++y)
        for (int x = Area.left(); x <= Area.right(); ++x) {
            const QRgb pixel = Image.pixel(x, y) | 0xFF000000u;
            if (pixel != Except.rgb())
                colors.insert(pixel);
        }
    return colors;
}

// The pixels inside Area that differ from Background, as a mask.
QImage TextMask(const QImage& Image, const QRect& Area, QColor Background)
{
    QImage mask(Area.size(), QImage::Format_Mono);
    mask.fill(0);
    for (int y = 0; y < Area.height(); ++y)
        for (int x = 0; x < Area.width(); ++x)
            if ((Image.pixel(Area.left() + x, Area.top() + y) | 0xFF000000u) != Background.rgb())
                mask.setPixel(x, y, 1);
    return mask;
}

class AlertGridsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The alert window's font; without antialiasing every text pixel has
        // exactly the text colour.
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(12);
        font.setStyleStrategy(QFont::NoAntialias);
        Owner->setFont(font);
        Owner->resize(800, 600);
        Owner->show();
        SetSymbolHandOff({});
    }

    void TearDown() override { SetSymbolHandOff({}); }

    template <class TGrid>
    TGrid* Make(QSize Size = QSize(400, 300))
    {
        auto* grid = new TGrid(Owner.get()); // owned by Owner (Qt parent)
        grid->setGeometry(QRect(QPoint(0, 0), Size));
        grid->show();
        return grid;
    }

    // Records every symbol handed on.
    void CatchHandOffs()
    {
        SetSymbolHandOff([this](const QByteArray& Symbol) { HandedOff << Symbol; });
    }

    std::unique_ptr<QWidget> Owner = std::make_unique<QWidget>();
    QList<QByteArray> HandedOff;
};

// ---- helpers ---------------------------------------------------------------

TEST_F(AlertGridsTest, ColorsAreReadAsBlueGreenRed)
{
    struct Case { quint32 Ref; QColor Expected; };
    const Case cases[] = {
        {0x000000FF, QColor(255, 0, 0)},
        {0x00FF0000, QColor(0, 0, 255)},
        {0x0064FF64, QColor(100, 255, 100)},
        {0x004B4BFF, QColor(255, 75, 75)},
        {0x0000FFFF, QColor(255, 255, 0)},
        {0xFF123456, QColor(0x56, 0x34, 0x12)}, // the top byte is not a channel
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Ref);
        EXPECT_EQ(TAlertGrid::ColorFromRef(c.Ref), c.Expected);
    }
}

TEST_F(AlertGridsTest, FitTextCutsByCharacterBudget)
{
    const QFontMetrics m(Owner->font());
    const QString text = QStringLiteral("ABCDEFG");
    const int dots = m.horizontalAdvance(QStringLiteral("..."));
    const int ab = m.horizontalAdvance(QLatin1Char('A')) + m.horizontalAdvance(QLatin1Char('B'));
    struct Case { int Width; QString Expected; };
    const Case cases[] = {
        {m.horizontalAdvance(text), text},          // exactly fits: unchanged
        {m.horizontalAdvance(text) + 50, text},
        {dots + ab, QStringLiteral("AB...")},       // the budget may reach 0
        {dots + ab - 1, QStringLiteral("A...")},    // but not below
        {dots, QStringLiteral("...")},
        {0, QStringLiteral("...")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Width);
        EXPECT_EQ(TAlertGrid::FitText(text, c.Width, m), c.Expected);
    }
}

TEST_F(AlertGridsTest, NumbersHaveTwoDecimalsInTheUsersLocaleWithoutGroups)
{
    const QString point = QLocale::system().decimalPoint();
    const QString minus = QLocale::system().negativeSign();
    struct Case { double Value; bool Percent; QString Expected; };
    const Case cases[] = {
        {12.5, false, "12" + point + "50"},
        {-0.25, false, minus + "0" + point + "25"},
        {0, false, "0" + point + "00"},
        {1234567.891, false, "1234567" + point + "89"},
        {-13.333, true, minus + "13" + point + "33%"},
        {NaN, false, QString()},
        {NaN, true, QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Value);
        EXPECT_EQ(TAlertGrid::FormatNumber(c.Value, c.Percent), c.Expected);
    }
}

TEST_F(AlertGridsTest, TooWideNumberBecomesDotsNeverCut)
{
    const QFontMetrics m(Owner->font());
    const QString text = TAlertGrid::FormatNumber(123456.78);
    EXPECT_EQ(TAlertGrid::FitNumber(123456.78, m.horizontalAdvance(text), m), text);
    EXPECT_EQ(TAlertGrid::FitNumber(123456.78, m.horizontalAdvance(text) - 1, m), "...");
    EXPECT_EQ(TAlertGrid::FitNumber(NaN, 0, m), QString()); // missing stays empty
}

TEST_F(AlertGridsTest, MarginsOnlyForTextRectanglesWiderThan14)
{
    struct Case { int Width; bool Header; QRect Expected; };
    const Case cases[] = {
        {20, false, QRect(3, 0, 14, 20)},
        {15, false, QRect(3, 0, 9, 20)},
        {14, false, QRect(0, 0, 14, 20)},
        {16, true, QRect(1, 1, 14, 18)}, // bevel leaves 14: no margins
        {17, true, QRect(4, 1, 9, 18)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Width);
        EXPECT_EQ(TAlertGrid::TextRect(QRect(0, 0, c.Width, 20), c.Header), c.Expected);
    }
}

// ---- construction ----------------------------------------------------------

TEST_F(AlertGridsTest, RowsAndColumnsAreSizedFromTheOwnersFont)
{
    const QFontMetrics m(Owner->font());
    const int rowHeight = m.height() + 4;
    auto widthOf = [&](const char* sample) { return m.horizontalAdvance(QLatin1String(sample)) + 16; };

    auto* quick = Make<TQuickStrikeGrid>();
    EXPECT_EQ(quick->DefaultRowHeight(), rowHeight);
    ASSERT_EQ(quick->ColCount(), 6);
    const char* quickSamples[] = {"Symbol", "100.00", "-1.93", "-13.3%", "-0.12", "00:00:00"};
    for (int col = 0; col < 6; ++col)
        EXPECT_EQ(quick->ColWidth(col), widthOf(quickSamples[col])) << col;

    auto* bollinger = Make<TBollingerGrid>();
    ASSERT_EQ(bollinger->ColCount(), 4);
    EXPECT_EQ(bollinger->ColWidth(3), widthOf("-13.3%"));
    auto* points = Make<TPointsTopListGrid>();
    ASSERT_EQ(points->ColCount(), 3);
    EXPECT_EQ(points->ColWidth(2), widthOf("-1.93"));
    auto* symbols = Make<TSymbolOnlyGrid>();
    EXPECT_EQ(symbols->DefaultColWidth(), widthOf("Symbol"));

    for (TAlertGrid* grid : std::initializer_list<TAlertGrid*>{quick, bollinger, points}) {
        EXPECT_EQ(grid->RowCount(), 2);
        EXPECT_EQ(grid->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    }
    EXPECT_EQ(symbols->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(quick->ColSizing());
    EXPECT_FALSE(symbols->ColSizing());
    EXPECT_EQ(quick->FTextColor, 0x00FFFFFFu);
}

TEST_F(AlertGridsTest, WithoutOwnerTheGridKeepsDefaultSizes)
{
    TQuickStrikeGrid grid(nullptr);
    EXPECT_EQ(grid.DefaultRowHeight(), 24);
    EXPECT_EQ(grid.ColWidth(0), 64);
    grid.SetEntries({QuickStrike("ABC", 1)});
    EXPECT_EQ(grid.CellText(0, 1), "ABC");
}

// ---- painting --------------------------------------------------------------

TEST_F(AlertGridsTest, EmptyListShowsHeaderAndOneEmptyDataRow)
{
    auto* grid = Make<TQuickStrikeGrid>();
    grid->SetEntries({QuickStrike("AAA", 1), QuickStrike("BBB", 2)});
    EXPECT_EQ(grid->RowCount(), 3);
    grid->SetEntries({});
    EXPECT_EQ(grid->RowCount(), 2);
    EXPECT_TRUE(grid->Entries().isEmpty());

    const QImage image = Render(*grid);
    QRect row1;
    for (int col = 0; col < grid->ColCount(); ++col)
        row1 |= grid->CellRect(col, 1);
    EXPECT_TRUE(ColorsIn(image, row1, Qt::black).isEmpty());
    EXPECT_EQ(grid->CellText(0, 0), "Symbol");
    EXPECT_EQ(grid->CellText(0, 1), QString());
}

TEST_F(AlertGridsTest, HeaderCellHasButtonFaceRaisedEdgeAndBlackText)
{
    auto* grid = Make<TQuickStrikeGrid>();
    const QImage image = Render(*grid);
    const QRect cell = grid->CellRect(1, 0);
    const QPalette palette = grid->palette();
    const QRgb light = palette.color(QPalette::Light).rgb();
    const QRgb dark = palette.color(QPalette::Dark).rgb();
    ASSERT_NE(light, dark);
    EXPECT_EQ(Pixel(image, cell.topLeft()), light);
    EXPECT_EQ(Pixel(image, QPoint(cell.left(), cell.center().y())), light);
    EXPECT_EQ(Pixel(image, QPoint(cell.center().x(), cell.top())), light);
    EXPECT_EQ(Pixel(image, cell.bottomRight()), dark);
    EXPECT_EQ(Pixel(image, QPoint(cell.right(), cell.center().y())), dark);
    EXPECT_EQ(Pixel(image, QPoint(cell.center().x(), cell.bottom())), dark);
    EXPECT_EQ(Pixel(image, QPoint(cell.left() + 2, cell.top() + 2)), palette.color(QPalette::Button).rgb());
    const QRect text = TAlertGrid::TextRect(cell, true);
    EXPECT_EQ(ColorsIn(image, text, palette.color(QPalette::Button)), QSet<QRgb>{qRgb(0, 0, 0)});
}

TEST_F(AlertGridsTest, NewestRowIsInverse)
{
    struct Case {
        const char* Name;
        std::function<TAlertGrid*()> Make;
        quint32 TextColor;
        bool Inverse;
    };
    const Case cases[] = {
        {"quick strike",
         [this] {
             auto* grid = Make<TQuickStrikeGrid>();
             grid->FTextColor = 0x004B4BFF;
             grid->SetEntries({QuickStrike("NEW", 1.5), QuickStrike("OLD", 2.5)});
             return grid;
         },
         0x004B4BFF, true},
        {"points top list",
         [this] {
             auto* grid = Make<TPointsTopListGrid>();
             grid->FTextColor = 0x00FFFF00;
             grid->SetEntries({{"NEW", 1.5, 0.5}, {"OLD", 2.5, 0.5}});
             return grid;
         },
         0x00FFFF00, true},
        {"bollinger",
         [this] {
             auto* grid = Make<TBollingerGrid>();
             grid->SetEntries({{"NEW", NaN, NaN, NaN, {}}, {"OLD", NaN, NaN, NaN, {}}});
             return grid;
         },
         0x00FFFFFF, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TAlertGrid* grid = c.Make();
        const QImage image = Render(*grid);
        const QColor text = TAlertGrid::ColorFromRef(c.TextColor);
        const QRect newest = grid->CellRect(0, 1);
        const QRect older = grid->CellRect(0, 2);
        const QColor newestBackground = c.Inverse ? text : QColor(Qt::black);
        const QColor newestText = c.Inverse ? QColor(Qt::black) : text;
        EXPECT_EQ(Pixel(image, newest.topLeft()), newestBackground.rgb());
        EXPECT_EQ(ColorsIn(image, TAlertGrid::TextRect(newest, false), newestBackground),
                  QSet<QRgb>{newestText.rgb()});
        EXPECT_EQ(Pixel(image, older.topLeft()), qRgb(0, 0, 0));
        EXPECT_EQ(ColorsIn(image, TAlertGrid::TextRect(older, false), Qt::black), QSet<QRgb>{text.rgb()});
        EXPECT_EQ(grid->CellBackground(0, 1), newestBackground);
    }
}

TEST_F(AlertGridsTest, QuickStrikeColumns)
{
    auto* grid = Make<TQuickStrikeGrid>();
    const QString p = QLocale::system().decimalPoint();
    const QString m = QLocale::system().negativeSign();
    struct Case {
        const char* Name;
        TQuickStrikeEntry Entry;
        QStringList Expected; // Symbol, Last, Chg, %Chg, Divrg, Time
    };
    const Case cases[] = {
        {"full row", QuickStrike("ABC", 10.5, 10, 0.2, "09:31:05"),
         {"ABC", "10" + p + "50", "0" + p + "50", "5" + p + "00%", "0" + p + "20", "09:31:05"}},
        {"previous close 0", QuickStrike("ABC", 10.5, 0, NaN, "t"),
         {"ABC", "10" + p + "50", "10" + p + "50", "", "", "t"}},
        {"last missing", QuickStrike("ABC", NaN, 10, 1, ""),
         {"ABC", "", "", "", "1" + p + "00", ""}},
        {"previous close missing", QuickStrike("ABC", 3, NaN, NaN, ""),
         {"ABC", "3" + p + "00", "", "", "", ""}},
        {"falling", QuickStrike("X", 8.67, 10, -0.12, ""),
         {"X", "8" + p + "67", m + "1" + p + "33", m + "13" + p + "30%", m + "0" + p + "12", ""}},
        {"latin-1 symbol", QuickStrike("\xC4\xDF", 1, 1, 0, ""),
         {QString::fromUtf8("\xC3\x84\xC3\x9F"), "1" + p + "00", "0" + p + "00", "0" + p + "00%",
          "0" + p + "00", ""}},
        {"too wide", QuickStrike("VERYLONGSYMBOL", 123456789, 1, 0, "09:31:05.123456"),
         {"", "...", "...", "...", "0" + p + "00", "09:31:05.123456"}},
    };
    const QFontMetrics metrics(grid->CellFont());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        grid->SetEntries({c.Entry});
        for (int col = 1; col < 6; ++col)
            EXPECT_EQ(grid->CellText(col, 1), c.Expected[col]) << "column " << col;
        const QString symbol = grid->CellText(0, 1);
        if (c.Expected[0].isEmpty()) {
            // Cut to the column and ended with "...".
            EXPECT_TRUE(symbol.endsWith("..."));
            EXPECT_TRUE(QString::fromLatin1(c.Entry.Symbol).startsWith(symbol.chopped(3)));
            EXPECT_LE(metrics.horizontalAdvance(symbol),
                      TAlertGrid::TextRect(grid->CellRect(0, 1), false).width());
        } else {
            EXPECT_EQ(symbol, c.Expected[0]);
        }
    }
    const QStringList headers{"Symbol", "Last", "Chg", "%Chg", "Divrg", "Time"};
    for (int col = 0; col < 6; ++col)
        EXPECT_EQ(grid->CellText(col, 0), headers[col]);
}

TEST_F(AlertGridsTest, RenderedSymbolIsCutWithDotsAndTimeOnlyClipped)
{
    auto* grid = Make<TQuickStrikeGrid>();
    grid->SetEntries({QuickStrike("NEW"), QuickStrike("VERYLONGSYMBOL", 1, 1, 1, "09:31:05.123456")});
    const QImage image = Render(*grid);

    // The symbol cell looks exactly like its fitted text drawn where the grid
    // places left-aligned text.
    const QRect cell = grid->CellRect(0, 2);
    const QRect text = TAlertGrid::TextRect(cell, false);
    const QString fitted = grid->CellText(0, 2);
    ASSERT_TRUE(fitted.endsWith("..."));
    QImage expected(image.size(), QImage::Format_RGB32);
    expected.fill(Qt::black);
    {
        QPainter painter(&expected);
        painter.setFont(grid->CellFont());
        painter.setPen(Qt::white);
        const QFontMetrics metrics(grid->CellFont());
        painter.drawText(QPoint(text.left(), text.top() + (text.height() - metrics.height()) / 2
                                                 + metrics.ascent()),
                         fitted);
    }
    EXPECT_EQ(TextMask(image, cell, Qt::black), TextMask(expected, cell, Qt::black));

    // The time runs to the edge of its text rectangle and no further.
    const QRect time = grid->CellRect(5, 2);
    const QRect timeText = TAlertGrid::TextRect(time, false);
    EXPECT_FALSE(ColorsIn(image, timeText, Qt::black).isEmpty());
    EXPECT_TRUE(ColorsIn(image, QRect(timeText.right() + 1, time.top(), time.right() - timeText.right(),
                                      time.height()),
                         Qt::black)
                    .isEmpty());
}

TEST_F(AlertGridsTest, BollingerColoursFiguresBySign)
{
    auto* grid = Make<TBollingerGrid>();
    grid->SetEntries({{"ABC", 12.5, 12.75, 0, QDateTime::currentDateTime()}});
    const QString p = QLocale::system().decimalPoint();
    const QImage image = Render(*grid);
    struct Case { int Col; QString Text; QColor Color; };
    const Case cases[] = {
        {0, "ABC", QColor(255, 255, 255)},
        {1, "12" + p + "50", QColor(100, 255, 100)},
        {2, QLocale::system().negativeSign() + "0" + p + "25", QColor(255, 75, 75)},
        {3, "0" + p + "00", QColor(255, 255, 255)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Col);
        EXPECT_EQ(grid->CellText(c.Col, 1), c.Text);
        const QRect text = TAlertGrid::TextRect(grid->CellRect(c.Col, 1), false);
        EXPECT_EQ(ColorsIn(image, text, Qt::black), QSet<QRgb>{c.Color.rgb()});
    }
    const QStringList headers{"Symbol", "Last", "Chg", "BBand"};
    for (int col = 0; col < 4; ++col)
        EXPECT_EQ(grid->CellText(col, 0), headers[col]);
    grid->SetEntries({{"ABC", 12.5, NaN, -1, {}}});
    EXPECT_EQ(grid->CellText(2, 1), QString()); // Chg needs both
}

TEST_F(AlertGridsTest, PointsTopListColumns)
{
    auto* grid = Make<TPointsTopListGrid>();
    grid->SetEntries({{"A", 1, 0.5}, {"B", NaN, -1}});
    const QString p = QLocale::system().decimalPoint();
    EXPECT_EQ(grid->RowCount(), 3);
    const QStringList row1{"A", "1" + p + "00", "0" + p + "50"};
    const QStringList row2{"B", "", QLocale::system().negativeSign() + "1" + p + "00"};
    const QStringList headers{"Symbol", "Last", "Chg"};
    for (int col = 0; col < 3; ++col) {
        EXPECT_EQ(grid->CellText(col, 0), headers[col]);
        EXPECT_EQ(grid->CellText(col, 1), row1[col]);
        EXPECT_EQ(grid->CellText(col, 2), row2[col]);
    }
}

TEST_F(AlertGridsTest, ManyRowsScrollVerticallyNeverHorizontally)
{
    auto* grid = Make<TQuickStrikeGrid>(QSize(120, 10 * 20));
    TQuickStrikeEntries entries;
    for (int i = 0; i < 50; ++i)
        entries << QuickStrike("S" + QByteArray::number(i), i);
    grid->SetEntries(entries);
    EXPECT_TRUE(grid->verticalScrollBar()->isVisible());
    EXPECT_FALSE(grid->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(grid->verticalScrollBar()->hasTracking());

    grid->verticalScrollBar()->setValue(10);
    EXPECT_EQ(grid->TopRow(), 11);
    // The first slot under the header now shows row 11, entry 10.
    const QRect first = grid->CellRect(0, 11);
    EXPECT_EQ(first.top(), grid->DefaultRowHeight());
    CatchHandOffs();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_EQ(HandedOff, QList<QByteArray>{"S10"});
    // The header stays.
    EXPECT_EQ(grid->CellRect(0, 0).top(), 0);
}

// ---- clicks ----------------------------------------------------------------

TEST_F(AlertGridsTest, ClickHandsOnTheRowsSymbolOnlyForLeftButtonOnDataRows)
{
    auto* grid = Make<TQuickStrikeGrid>();
    grid->SetEntries({QuickStrike("AAA", 1), QuickStrike("BBB", 2)});
    struct Case {
        const char* Name;
        Qt::MouseButton Button;
        int Col, Row;
        QList<QByteArray> Expected;
    };
    const Case cases[] = {
        {"symbol cell", Qt::LeftButton, 0, 1, {"AAA"}},
        {"any column", Qt::LeftButton, 4, 2, {"BBB"}},
        {"header", Qt::LeftButton, 0, 0, {}},
        {"right button", Qt::RightButton, 0, 1, {}},
        {"middle button", Qt::MiddleButton, 0, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        HandedOff.clear();
        CatchHandOffs();
        QTest::mouseClick(grid->viewport(), c.Button, {}, grid->CellRect(c.Col, c.Row).center());
        EXPECT_EQ(HandedOff, c.Expected);
    }
    // Below the last row lies no cell.
    HandedOff.clear();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, QPoint(5, grid->CellRect(0, 2).bottom() + 10));
    EXPECT_TRUE(HandedOff.isEmpty());

    // The empty row of an empty list.
    grid->SetEntries({});
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
    EXPECT_TRUE(HandedOff.isEmpty());
}

TEST_F(AlertGridsTest, HandOffReachesOnlyTheInstalledReceiver)
{
    ASSERT_FALSE(HasSymbolHandOff());
    HandOffSymbol("LOST"); // nobody to receive it: nothing happens
    CatchHandOffs();
    EXPECT_TRUE(HasSymbolHandOff());
    HandOffSymbol("A");
    HandOffSymbol(""); // empty and repeated symbols pass like any other
    HandOffSymbol("A");
    SetSymbolHandOff({});
    EXPECT_FALSE(HasSymbolHandOff());
    HandOffSymbol("B");
    EXPECT_EQ(HandedOff, (QList<QByteArray>{"A", "", "A"}));
}

TEST_F(AlertGridsTest, FailingHandOffIsShownInTheErrorBox)
{
    auto* grid = Make<TPointsTopListGrid>();
    grid->SetEntries({{"AAA", 1, 1}});
    SetSymbolHandOff([](const QByteArray& Symbol) {
        throw Exception("Linking " + QString::fromLatin1(Symbol) + " failed");
    });
    {
        TestSupport::TModalBoxCatcher boxes;
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(1, 1).center());
        EXPECT_EQ(boxes.Captions, QStringList{"Brenik Trading Alerts"});
        EXPECT_EQ(boxes.Texts, QStringList{"Linking AAA failed"});
    }
    // The grid goes on working.
    CatchHandOffs();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
    EXPECT_EQ(HandedOff, QList<QByteArray>{"AAA"});
}

TEST_F(AlertGridsTest, RunShowingErrorsShowsEveryKindOfException)
{
    struct Case {
        const char* Name;
        std::function<void()> Handler;
        QString Shown; // empty: no box
    };
    const Case cases[] = {
        {"own exception", [] { throw EAssertionFailed("Unit", "Assertion failure"); }, "Assertion failure"},
        {"standard exception", [] { throw std::runtime_error("disk full"); }, "disk full"},
        {"no message", [] { throw Exception(QString()); }, "Exception"},
        {"not an exception", [] { throw 42; }, "Unknown error"},
        {"no failure", [] {}, QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TestSupport::TModalBoxCatcher boxes;
        const bool finished = RunShowingErrors(c.Handler);
        EXPECT_EQ(finished, c.Shown.isEmpty());
        EXPECT_EQ(boxes.Texts, c.Shown.isEmpty() ? QStringList() : QStringList{c.Shown});
        EXPECT_EQ(boxes.Captions,
                  c.Shown.isEmpty() ? QStringList() : QStringList{"Brenik Trading Alerts"});
    }
}

TEST_F(AlertGridsTest, DraggingAHeaderEdgeResizesTheColumnAndIsNoClick)
{
    auto* grid = Make<TQuickStrikeGrid>();
    grid->SetEntries({QuickStrike("AAA", 1), QuickStrike("BBB", 2)});
    CatchHandOffs();
    const int before = grid->ColWidth(1);
    const QRect header = grid->CellRect(1, 0);
    const QPoint edge(header.right() + 1, header.center().y());
    const QPoint end = edge + QPoint(20, grid->DefaultRowHeight()); // ends over row 1
    QWidget* viewport = grid->viewport();
    auto send = [&](QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) {
        QMouseEvent event(type, pos, viewport->mapToGlobal(pos), Qt::LeftButton, buttons, {});
        QApplication::sendEvent(viewport, &event);
    };
    send(QEvent::MouseButtonPress, edge, Qt::LeftButton);
    send(QEvent::MouseMove, end, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, end, Qt::NoButton);
    EXPECT_EQ(grid->ColWidth(1), before + 20);
    EXPECT_TRUE(HandedOff.isEmpty());
    EXPECT_EQ(grid->CellRect(2, 0).left(), header.left() + before + 20);

    // A symbol-only grid's columns cannot be dragged.
    auto* symbols = Make<TSymbolOnlyGrid>();
    const int width = symbols->ColWidth(0);
    const QPoint symbolEdge(width, 5);
    QWidget* symbolViewport = symbols->viewport();
    QMouseEvent press(QEvent::MouseButtonPress, symbolEdge, symbolViewport->mapToGlobal(symbolEdge),
                      Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(symbolViewport, &press);
    QMouseEvent move(QEvent::MouseMove, symbolEdge + QPoint(20, 0),
                     symbolViewport->mapToGlobal(symbolEdge + QPoint(20, 0)), Qt::NoButton,
                     Qt::LeftButton, {});
    QApplication::sendEvent(symbolViewport, &move);
    EXPECT_EQ(symbols->ColWidth(0), width);
}

// ---- symbol-only layout ----------------------------------------------------

class SymbolOnlyGridTest : public AlertGridsTest {
protected:
    // A grid whose layout gives Cols columns and Rows rows (header included).
    TSymbolOnlyGrid* MakeLayout(int Cols, int Rows)
    {
        auto* grid = Make<TSymbolOnlyGrid>();
        grid->FTextColor = 0x0000FFFF;
        Resize(*grid, Cols, Rows);
        return grid;
    }

    static void Resize(TSymbolOnlyGrid& Grid, int Cols, int Rows)
    {
        // Half a cell to spare: the layout divides with truncation.
        Grid.resize(Cols * Grid.DefaultColWidth() + Grid.DefaultColWidth() / 2,
                    Rows * Grid.DefaultRowHeight() + Grid.DefaultRowHeight() / 2);
    }

    // Feeds symbols as the alert window does: each new one at the front.
    void Feed(TSymbolOnlyGrid& Grid, const QByteArray& Symbols)
    {
        for (char symbol : Symbols) {
            List.prepend(QuickStrike(QByteArray(1, symbol)));
            Grid.SetEntries(List);
        }
    }

    // What each data cell shows, column after column, "." for nothing.
    static QByteArray Shown(const TSymbolOnlyGrid& Grid)
    {
        QByteArray shown;
        for (int col = 0; col < Grid.ColCount(); ++col)
            for (int row = 1; row < Grid.RowCount(); ++row) {
                int index = -1;
                shown += Grid.CellToEntry(col, row, index) ? Grid.Entries()[index].Symbol : QByteArray(".");
            }
        return shown;
    }

    TQuickStrikeEntries List;
};

TEST_F(SymbolOnlyGridTest, LayoutFollowsTheSize)
{
    auto* grid = MakeLayout(2, 4);
    EXPECT_EQ(grid->ColCount(), 2);
    EXPECT_EQ(grid->RowCount(), 4);
    EXPECT_EQ(grid->DataCellCount(), 6);
    EXPECT_EQ(grid->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    Resize(*grid, 0, 0); // smaller than one cell: still one column and one data row
    EXPECT_EQ(grid->ColCount(), 1);
    EXPECT_EQ(grid->RowCount(), 2);
    EXPECT_EQ(grid->NewestCell(), -1);
}

TEST_F(SymbolOnlyGridTest, SymbolsWrapRoundAndTheNewestIsInverse)
{
    auto* grid = MakeLayout(2, 4);
    const QByteArray progress[] = {"A.....", "AB....", "ABC...", "ABCD..", "ABCDE.", "ABCDEF", "GBCDEF"};
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        Feed(*grid, QByteArray(1, char('A' + i)));
        EXPECT_EQ(Shown(*grid), progress[i]);
        EXPECT_EQ(grid->NewestCell(), i % 6);
    }
    EXPECT_TRUE(grid->LaidOut());

    const QImage image = Render(*grid);
    const QColor yellow(255, 255, 0);
    for (int col = 0; col < 2; ++col)
        for (int row = 1; row < 4; ++row) {
            SCOPED_TRACE(QString("cell %1,%2").arg(col).arg(row).toStdString());
            const bool newest = col == 0 && row == 1;
            const QRect cell = grid->CellRect(col, row);
            const QColor background = newest ? yellow : QColor(Qt::black);
            EXPECT_EQ(Pixel(image, cell.topLeft()), background.rgb());
            EXPECT_EQ(ColorsIn(image, TAlertGrid::TextRect(cell, false), background),
                      QSet<QRgb>{(newest ? QColor(Qt::black) : yellow).rgb()});
        }
    for (int col = 0; col < 2; ++col)
        EXPECT_EQ(grid->CellText(col, 0), "Symbol");

    CatchHandOffs();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(1, 2).center());
    EXPECT_EQ(HandedOff, QList<QByteArray>{"E"});
}

TEST_F(SymbolOnlyGridTest, ClearStartsAgainFromTheFirstCell)
{
    auto* grid = MakeLayout(2, 4);
    Feed(*grid, "ABCD");
    List.clear();
    grid->SetEntries(List);
    EXPECT_EQ(grid->NewestCell(), -1);
    EXPECT_EQ(Shown(*grid), "......");
    CatchHandOffs();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
    EXPECT_TRUE(HandedOff.isEmpty());

    Feed(*grid, "H");
    EXPECT_EQ(Shown(*grid), "H.....");
    EXPECT_EQ(grid->CellBackground(0, 1), QColor(255, 255, 0));
}

TEST_F(SymbolOnlyGridTest, ResizingLaysTheVisibleEntriesOutAgain)
{
    auto* grid = MakeLayout(2, 4);
    Feed(*grid, "ABCDEFGHIJ"); // 10 entries, 6 cells
    EXPECT_EQ(Shown(*grid), "GHIJEF");

    Resize(*grid, 3, 4); // 9 cells: more of the older entries, from the first cell
    EXPECT_EQ(Shown(*grid), "BCDEFGHIJ");
    EXPECT_EQ(grid->NewestCell(), 8);
    Feed(*grid, "K");
    EXPECT_EQ(Shown(*grid), "KCDEFGHIJ");

    Resize(*grid, 2, 5); // 8 cells: the oldest visible go
    EXPECT_EQ(Shown(*grid), "DEFGHIJK");
    EXPECT_EQ(grid->NewestCell(), 7);
}

TEST_F(SymbolOnlyGridTest, EmptyGridAndFirstSymbolBeforeAnyResize)
{
    // Without an owner there is no layout until the first symbol arrives.
    TSymbolOnlyGrid grid(nullptr);
    EXPECT_EQ(grid.ColCount(), 6);
    EXPECT_FALSE(grid.LaidOut());
    grid.resize(2 * grid.DefaultColWidth(), 3 * grid.DefaultRowHeight());
    Feed(grid, "A");
    EXPECT_TRUE(grid.LaidOut());
    EXPECT_EQ(grid.ColCount(), 2);
    EXPECT_EQ(grid.RowCount(), 3);
    EXPECT_EQ(Shown(grid), "A...");
}

} // namespace
