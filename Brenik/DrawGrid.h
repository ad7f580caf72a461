// TDrawGrid: the owner-drawn grid that the alert grids are built on.
//
// A grid of ColCount columns and RowCount rows whose first row is a fixed
// header that never scrolls; every cell is painted by the subclass through
// DrawCell. All rows share one height (DefaultRowHeight); every column has its
// own width, starting at DefaultColWidth. There are no grid lines (cells touch)
// and no selection or focus is ever shown. The area that no cell covers shows
// the grid colour.
//
// The data rows scroll vertically by whole rows; the thumb scrolls while it is
// dragged. There is never a horizontal scroll bar: columns that do not fit are
// cut at the right edge. When ColSizing is on, the user resizes a column by
// dragging its right edge in the header row.
//
// Coordinates given to and taken from the grid are those of its viewport (the
// area left of the vertical scroll bar), which is where cells are painted and
// where mouse events arrive.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QList>
#include <QPoint>
#include <QRect>

class QPainter;

class TDrawGrid : public QAbstractScrollArea {
    Q_OBJECT
public:
    // Qt-parented to Owner when one is given; the parent then owns the grid.
    explicit TDrawGrid(QWidget* Owner = nullptr);
    ~TDrawGrid() override;
    TDrawGrid(const TDrawGrid&) = delete;
    TDrawGrid& operator=(const TDrawGrid&) = delete;

    // The one header row.
    static constexpr int FixedRows = 1;

    int ColCount() const { return FColWidths.size(); }
    // At least 1. New columns get DefaultColWidth; kept columns keep theirs.
    void SetColCount(int Count);

    int RowCount() const { return FRowCount; }
    // At least FixedRows + 1.
    void SetRowCount(int Count);

    int DefaultRowHeight() const { return FDefaultRowHeight; }
    void SetDefaultRowHeight(int Height); // at least 1

    int DefaultColWidth() const { return FDefaultColWidth; }
    // At least 1; gives every column this width.
    void SetDefaultColWidth(int Width);

    int ColWidth(int Col) const;
    void SetColWidth(int Col, int Width); // Width at least 1

    // Whether the user may resize columns by dragging header edges.
    bool ColSizing() const { return FColSizing; }
    void SetColSizing(bool On);

    // The background of the area that no cell covers.
    QColor Color() const { return FColor; }
    void SetColor(const QColor& Color);

    // The first data row shown under the header (FixedRows when not scrolled).
    int TopRow() const { return FTopRow; }
    void SetTopRow(int Row); // clamped to the rows that can scroll into view

    // The cell's rectangle in viewport coordinates (even when it lies outside
    // the visible area); an empty rectangle for a data row scrolled out above.
    QRect CellRect(int Col, int Row) const;

    // The cell under Pos (viewport coordinates). False when Pos lies on no
    // cell (right of the last column, below the last row, outside the grid).
    bool MouseToCell(const QPoint& Pos, int& Col, int& Row) const;

    // The smallest width a user drag leaves a column.
    static constexpr int MinColWidth = 4;
    // How far from a column's right edge a press in the header starts a resize.
    static constexpr int ColSizingGrip = 3;

protected:
    // Paints one cell into Rect (viewport coordinates). Called for every cell
    // that intersects the area being painted; the painter is clipped to the
    // viewport and carries the grid's font.
    virtual void DrawCell(QPainter& Painter, int Col, int Row, const QRect& Rect) = 0;

    // Called after the grid's own handling of a released mouse button (the end
    // of a column drag is not passed on: it is no click). Pos is in viewport
    // coordinates.
    virtual void MouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Modifiers, const QPoint& Pos);

    void paintEvent(QPaintEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;

private:
    // Data rows that fit wholly below the header.
    int FullyVisibleDataRows() const;
    void UpdateScrollBar();
    // The column whose right edge is within ColSizingGrip of Pos in the header
    // row, or -1.
    int SizingColumnAt(const QPoint& Pos) const;

    QList<int> FColWidths;
    int FRowCount = 2;
    int FDefaultRowHeight = 24;
    int FDefaultColWidth = 64;
    bool FColSizing = false;
    QColor FColor = Qt::black;
    int FTopRow = FixedRows;

    int FSizingCol = -1;    // the column being resized, -1 when none
    int FSizingOffset = 0;  // pointer x minus the column's right edge at press
};
