#include "AlertGrid.h"

#include "ErrorBox.h"
#include "SymbolHandOff.h"

#include <QFontMetrics>
#include <QLocale>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>

namespace {

const QString Ellipsis = QStringLiteral("...");
// The text whose height gives the row height.
const QString RowHeightSample = QStringLiteral("Xy()");

} // namespace

TAlertGrid::TAlertGrid(QWidget* Owner, int ColCount, bool UserColSizing)
    : TDrawGrid(Owner), FHasOwner(Owner != nullptr)
{
    SetColor(ColorFromRef(GridColor));
    SetColCount(ColCount);
    SetRowCount(FixedRows + 1);
    SetColSizing(UserColSizing);
}

TAlertGrid::~TAlertGrid() = default;

QColor TAlertGrid::ColorFromRef(quint32 Color)
{
    return QColor(int(Color & 0xFF), int((Color >> 8) & 0xFF), int((Color >> 16) & 0xFF));
}

QString TAlertGrid::FitText(const QString& Text, int Width, const QFontMetrics& Metrics)
{
    if (Metrics.horizontalAdvance(Text) <= Width)
        return Text;
    int budget = Width - Metrics.horizontalAdvance(Ellipsis);
    QString result;
    for (const QChar ch : Text) {
        budget -= Metrics.horizontalAdvance(ch);
        if (budget < 0)
            break;
        result += ch;
    }
    return result + Ellipsis;
}

QString TAlertGrid::FormatNumber(double Value, bool Percent)
{
    if (std::isnan(Value))
        return QString();
    QLocale locale = QLocale::system();
    locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    QString text = locale.toString(Value, 'f', 2);
    if (Percent)
        text += QLatin1Char('%');
    return text;
}

QString TAlertGrid::FitNumber(double Value, int Width, const QFontMetrics& Metrics, bool Percent)
{
    const QString text = FormatNumber(Value, Percent);
    if (text.isEmpty())
        return text;
    if (Metrics.horizontalAdvance(text) > Width)
        return Ellipsis;
    return text;
}

QString TAlertGrid::ByteText(const QByteArray& Bytes)
{
    return QString::fromLatin1(Bytes);
}

QFont TAlertGrid::CellFont() const
{
    QFont regular = font();
    regular.setBold(false);
    regular.setItalic(false);
    regular.setUnderline(false);
    regular.setStrikeOut(false);
    return regular;
}

QRect TAlertGrid::TextRect(const QRect& CellRect, bool Header)
{
    QRect text = CellRect;
    if (Header)
        text.adjust(BevelWidth, BevelWidth, -BevelWidth, -BevelWidth);
    if (text.width() > MarginMinWidth)
        text.adjust(CellMargin, 0, -CellMargin, 0);
    return text;
}

int TAlertGrid::SampleColumnWidth(const QString& Sample) const
{
    return QFontMetrics(CellFont()).horizontalAdvance(Sample) + ColumnPadding;
}

void TAlertGrid::SizeRows()
{
    if (!FHasOwner)
        return;
    const QFontMetrics metrics(CellFont());
    SetDefaultRowHeight(metrics.size(Qt::TextSingleLine, RowHeightSample).height() + RowPadding);
}

void TAlertGrid::SizeToColumns(std::span<const TGridColumn> Columns)
{
    if (!FHasOwner)
        return;
    SizeRows();
    const int count = std::min<int>(static_cast<int>(Columns.size()), ColCount());
    for (int col = 0; col < count; ++col)
        SetColWidth(col, SampleColumnWidth(QString::fromLatin1(Columns[col].Sample)));
}

QRect TAlertGrid::LogicalCellRect(int Col, int /*Row*/) const
{
    return QRect(0, 0, ColWidth(Col), DefaultRowHeight());
}

QString TAlertGrid::CellText(int Col, int Row) const
{
    const QRect text = TextRect(LogicalCellRect(Col, Row), Row < FixedRows);
    if (Row < FixedRows)
        return FitText(HeaderText(Col), text.width(), QFontMetrics(CellFont()));
    return DataCell(Col, Row, text.width()).Text;
}

QColor TAlertGrid::CellTextColor(int Col, int Row) const
{
    if (Row < FixedRows)
        return Qt::black;
    const QRect text = TextRect(LogicalCellRect(Col, Row), false);
    const TCellContent content = DataCell(Col, Row, text.width());
    return content.Inverse ? ColorFromRef(GridColor) : content.TextColor;
}

QColor TAlertGrid::CellBackground(int Col, int Row) const
{
    if (Row < FixedRows)
        return palette().color(QPalette::Button);
    const QRect text = TextRect(LogicalCellRect(Col, Row), false);
    const TCellContent content = DataCell(Col, Row, text.width());
    return content.Inverse ? content.TextColor : ColorFromRef(GridColor);
}

void TAlertGrid::DrawCell(QPainter& Painter, int Col, int Row, const QRect& Rect)
{
    const bool header = Row < FixedRows;
    const QFont cellFont = CellFont();
    const QFontMetrics metrics(cellFont);
    Painter.setFont(cellFont);

    const QRect text = TextRect(Rect, header);
    QColor background;
    QColor foreground;
    QString shown;
    TTextAlign align;
    if (header) {
        background = palette().color(QPalette::Button);
        foreground = Qt::black;
        shown = FitText(HeaderText(Col), text.width(), metrics);
        align = TTextAlign::Center;
    } else {
        const TCellContent content = DataCell(Col, Row, text.width());
        background = ColorFromRef(GridColor);
        foreground = content.TextColor;
        if (content.Inverse)
            std::swap(background, foreground);
        shown = content.Text;
        align = content.Align;
    }

    Painter.fillRect(Rect, background);
    if (header) {
        // A raised inner edge: light on the top and left, dark on the bottom
        // and right.
        const QColor light = palette().color(QPalette::Light);
        const QColor dark = palette().color(QPalette::Dark);
        Painter.fillRect(QRect(Rect.left(), Rect.top(), Rect.width(), BevelWidth), light);
        Painter.fillRect(QRect(Rect.left(), Rect.top(), BevelWidth, Rect.height()), light);
        Painter.fillRect(QRect(Rect.left(), Rect.bottom() - BevelWidth + 1, Rect.width(), BevelWidth), dark);
        Painter.fillRect(QRect(Rect.right() - BevelWidth + 1, Rect.top(), BevelWidth, Rect.height()), dark);
    }
    if (shown.isEmpty() || text.width() <= 0 || text.height() <= 0)
        return;

    const int textWidth = metrics.horizontalAdvance(shown);
    const int spare = std::max(text.width() - textWidth, 0);
    int x = text.left();
    if (align == TTextAlign::Right)
        x += spare;
    else if (align == TTextAlign::Center)
        x += spare / 2;
    const int y = text.top() + std::max(text.height() - metrics.height(), 0) / 2;

    Painter.setClipRect(text, Qt::IntersectClip);
    Painter.setPen(foreground);
    Painter.setBackgroundMode(Qt::TransparentMode);
    Painter.drawText(QPoint(x, y + metrics.ascent()), shown);
}

void TAlertGrid::MouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Modifiers, const QPoint& Pos)
{
    TDrawGrid::MouseUp(Button, Modifiers, Pos);
    if (Button != Qt::LeftButton)
        return;
    int col = -1;
    int row = -1;
    if (!MouseToCell(Pos, col, row) || row < FixedRows)
        return;
    QByteArray symbol;
    if (!EntrySymbol(col, row, symbol))
        return;
    // Qt cannot carry an exception out of an event handler: show it here.
    RunShowingErrors([&symbol] { HandOffSymbol(symbol); });
}
