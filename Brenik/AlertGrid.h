// TAlertGrid: what the four alert grids share - construction from the owner's
// font, the painting of header and data cells, text fitting, number formatting
// and the click that hands a row's symbol on.
//
// Cell painting. A header cell has the palette's button colour as background,
// black text and a one-pixel raised bevel inside its rectangle; its text is
// the column's header, fitted and centred. A data cell has the grid colour
// (black) as background and the subclass's text colour; an inverse cell swaps
// the two. Text is drawn in the regular style of the grid's font, clipped to
// the text rectangle: the cell (less the bevel for a header) less 3 pixels on
// either side when it is wider than 14 pixels. Text is centred vertically.
//
// Clicks. A left button released over a cell whose row holds an entry hands
// that entry's symbol to HandOffSymbol (SymbolHandOff.h), whatever the column;
// a failure of the hand-off is shown in the standard error box.
//
// Colours are held as 0x00BBGGRR (255 is red). Byte strings are shown as
// Latin-1. A missing number (NaN) shows as an empty cell.
#pragma once

#include "DrawGrid.h"

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QString>
#include <span>

class QFontMetrics;

enum class TTextAlign { Left, Right, Center };

// One column of a grid: its header text and the sample text its width is
// sized for (the widest text the column is meant to show).
struct TGridColumn {
    const char* Header;
    const char* Sample;
};

// What one data cell shows.
struct TCellContent {
    QString Text;                     // final text: already fitted or formatted
    TTextAlign Align = TTextAlign::Left;
    QColor TextColor = Qt::white;     // before an inverse swap
    bool Inverse = false;             // swap background and text colour
};

class TAlertGrid : public TDrawGrid {
    Q_OBJECT
public:
    ~TAlertGrid() override;

    static constexpr quint32 GridColor = 0x00000000;        // data cell background
    static constexpr quint32 DefaultTextColor = 0x00FFFFFF; // white
    static constexpr int CellMargin = 3;        // left and right, inside the text rectangle
    static constexpr int MarginMinWidth = 14;   // margins only for wider text rectangles
    static constexpr int ColumnPadding = 16;    // column width = sample width + this
    static constexpr int RowPadding = 4;        // row height = text height of "Xy()" + this
    static constexpr int BevelWidth = 1;        // raised edge of header cells

    // 0x00BBGGRR as a colour: R = c & 0xFF, G = (c >> 8) & 0xFF, B = (c >> 16) & 0xFF.
    static QColor ColorFromRef(quint32 Color);

    // Text itself when it is no wider than Width; otherwise the longest start
    // whose characters' own widths fit into Width less the width of "...",
    // followed by "..." (so possibly "..." alone).
    static QString FitText(const QString& Text, int Width, const QFontMetrics& Metrics);

    // Value in fixed-point notation with two decimals, the user's decimal
    // separator and no group separators, "%" appended when Percent is set;
    // empty for NaN.
    static QString FormatNumber(double Value, bool Percent = false);

    // FormatNumber, or "..." when that is wider than Width: numbers are never cut.
    static QString FitNumber(double Value, int Width, const QFontMetrics& Metrics,
                             bool Percent = false);

    // A byte string from an alert as shown: Latin-1.
    static QString ByteText(const QByteArray& Bytes);

    // The grid's font in regular style, which every cell is drawn and measured in.
    QFont CellFont() const;

    // The text rectangle inside a cell rectangle (bevel and margins taken off).
    static QRect TextRect(const QRect& CellRect, bool Header);

    // What a cell shows and in which colours, as DrawCell paints it; for any
    // cell, scrolled into view or not.
    QString CellText(int Col, int Row) const;
    QColor CellTextColor(int Col, int Row) const;
    QColor CellBackground(int Col, int Row) const;

protected:
    // Sets up the grid as every alert grid starts: grid colour, ColCount
    // columns, header plus one data row, the user's column sizing, no
    // horizontal scroll bar. Owner may be null (the grid then keeps the
    // default row height and column widths); with an owner the grid is its
    // Qt child and takes its font.
    TAlertGrid(QWidget* Owner, int ColCount, bool UserColSizing);

    bool HasOwner() const { return FHasOwner; }

    // Text width of Sample in the cell font plus ColumnPadding.
    int SampleColumnWidth(const QString& Sample) const;
    // With an owner only: the default row height from "Xy()" and each
    // column's width from its sample.
    void SizeToColumns(std::span<const TGridColumn> Columns);
    // With an owner only: the row height from "Xy()".
    void SizeRows();

    // The header text of a column.
    virtual QString HeaderText(int Col) const = 0;
    // The content of data cell (Col, Row >= FixedRows) for a text rectangle
    // TextWidth pixels wide; an empty text for a cell without an entry.
    virtual TCellContent DataCell(int Col, int Row, int TextWidth) const = 0;
    // The symbol of the entry that data cell (Col, Row) shows; false when the
    // cell shows none.
    virtual bool EntrySymbol(int Col, int Row, QByteArray& Symbol) const = 0;

    void DrawCell(QPainter& Painter, int Col, int Row, const QRect& Rect) final;
    void MouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Modifiers, const QPoint& Pos) override;

private:
    // The cell's rectangle as DrawCell would get it, placed at the origin.
    QRect LogicalCellRect(int Col, int Row) const;

    bool FHasOwner = false;
};
