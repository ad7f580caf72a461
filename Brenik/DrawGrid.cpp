#include "DrawGrid.h"

#include "Exceptions.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <algorithm>
#include <cstdlib>

namespace {
const char* const Unit = "DrawGrid";
}

TDrawGrid::TDrawGrid(QWidget* Owner)
    : QAbstractScrollArea(Owner)
{
    // Cells fill the viewport edge to edge; the grid draws no frame of its own.
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setTracking(true);
    verticalScrollBar()->setSingleStep(1);
    // Every pixel is painted in paintEvent, so Qt need not clear first.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    FColWidths.fill(FDefaultColWidth, 5);
    UpdateScrollBar();
}

TDrawGrid::~TDrawGrid() = default;

void TDrawGrid::SetColCount(int Count)
{
    Assert(Count >= 1, Unit);
    if (Count == ColCount())
        return;
    const int old = ColCount();
    FColWidths.resize(Count);
    for (int i = old; i < Count; ++i)
        FColWidths[i] = FDefaultColWidth;
    viewport()->update();
}

void TDrawGrid::SetRowCount(int Count)
{
    Assert(Count > FixedRows, Unit);
    if (Count == FRowCount)
        return;
    FRowCount = Count;
    UpdateScrollBar();
    viewport()->update();
}

void TDrawGrid::SetDefaultRowHeight(int Height)
{
    Assert(Height >= 1, Unit);
    FDefaultRowHeight = Height;
    UpdateScrollBar();
    viewport()->update();
}

void TDrawGrid::SetDefaultColWidth(int Width)
{
    Assert(Width >= 1, Unit);
    FDefaultColWidth = Width;
    std::fill(FColWidths.begin(), FColWidths.end(), Width);
    viewport()->update();
}

int TDrawGrid::ColWidth(int Col) const
{
    Assert(Col >= 0 && Col < ColCount(), Unit);
    return FColWidths[Col];
}

void TDrawGrid::SetColWidth(int Col, int Width)
{
    Assert(Col >= 0 && Col < ColCount() && Width >= 1, Unit);
    if (FColWidths[Col] == Width)
        return;
    FColWidths[Col] = Width;
    viewport()->update();
}

void TDrawGrid::SetColSizing(bool On)
{
    FColSizing = On;
    // The resize cursor needs to follow the pointer without a button down.
    viewport()->setMouseTracking(On);
    if (!On) {
        FSizingCol = -1;
        viewport()->unsetCursor();
    }
}

void TDrawGrid::SetColor(const QColor& Color)
{
    FColor = Color;
    viewport()->update();
}

void TDrawGrid::SetTopRow(int Row)
{
    // The scroll bar clamps the value and calls scrollContentsBy on a change.
    verticalScrollBar()->setValue(Row - FixedRows);
    FTopRow = verticalScrollBar()->value() + FixedRows;
}

int TDrawGrid::FullyVisibleDataRows() const
{
    const int below = viewport()->height() - FixedRows * FDefaultRowHeight;
    return std::max(below / FDefaultRowHeight, 0);
}

void TDrawGrid::UpdateScrollBar()
{
    const int visible = FullyVisibleDataRows();
    const int dataRows = FRowCount - FixedRows;
    QScrollBar* bar = verticalScrollBar();
    bar->setPageStep(std::max(visible, 1));
    bar->setRange(0, std::max(dataRows - visible, 0));
    FTopRow = bar->value() + FixedRows;
}

QRect TDrawGrid::CellRect(int Col, int Row) const
{
    Assert(Col >= 0 && Col < ColCount() && Row >= 0 && Row < FRowCount, Unit);
    int x = 0;
    for (int c = 0; c < Col; ++c)
        x += FColWidths[c];
    int y;
    if (Row < FixedRows)
        y = Row * FDefaultRowHeight;
    else if (Row >= FTopRow)
        y = (FixedRows + Row - FTopRow) * FDefaultRowHeight;
    else
        return QRect();
    return QRect(x, y, FColWidths[Col], FDefaultRowHeight);
}

bool TDrawGrid::MouseToCell(const QPoint& Pos, int& Col, int& Row) const
{
    Col = -1;
    Row = -1;
    if (!viewport()->rect().contains(Pos))
        return false;
    int x = 0;
    for (int c = 0; c < ColCount(); ++c) {
        if (Pos.x() < x + FColWidths[c]) {
            Col = c;
            break;
        }
        x += FColWidths[c];
    }
    const int slot = Pos.y() / FDefaultRowHeight;
    const int row = slot < FixedRows ? slot : FTopRow + slot - FixedRows;
    if (Col < 0 || row >= FRowCount) {
        Col = -1;
        return false;
    }
    Row = row;
    return true;
}

void TDrawGrid::MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, const QPoint&)
{
}

void TDrawGrid::paintEvent(QPaintEvent* Event)
{
    QPainter painter(viewport());
    const QRect area = Event->rect();
    painter.fillRect(area, FColor);
    painter.setFont(font());

    const int width = viewport()->width();
    const int height = viewport()->height();
    auto drawRow = [&](int row, int y) {
        const QRect band(0, y, width, FDefaultRowHeight);
        if (!band.intersects(area))
            return;
        int x = 0;
        for (int col = 0; col < ColCount() && x < width; ++col) {
            const QRect cell(x, y, FColWidths[col], FDefaultRowHeight);
            x += FColWidths[col];
            if (cell.isEmpty() || !cell.intersects(area))
                continue;
            painter.save();
            DrawCell(painter, col, row, cell);
            painter.restore();
        }
    };

    int y = 0;
    for (int row = 0; row < FixedRows; ++row, y += FDefaultRowHeight)
        drawRow(row, y);
    for (int row = FTopRow; row < FRowCount && y < height; ++row, y += FDefaultRowHeight)
        drawRow(row, y);
}

int TDrawGrid::SizingColumnAt(const QPoint& Pos) const
{
    if (Pos.y() < 0 || Pos.y() >= FixedRows * FDefaultRowHeight)
        return -1;
    // The last matching edge wins, so a column shrunk to the minimum can still
    // be widened again from its own edge.
    int found = -1;
    int edge = 0;
    for (int c = 0; c < ColCount(); ++c) {
        edge += FColWidths[c];
        if (std::abs(Pos.x() - edge) <= ColSizingGrip)
            found = c;
        if (edge > Pos.x() + ColSizingGrip)
            break;
    }
    return found;
}

void TDrawGrid::mousePressEvent(QMouseEvent* Event)
{
    if (FColSizing && Event->button() == Qt::LeftButton) {
        const QPoint pos = Event->position().toPoint();
        const int col = SizingColumnAt(pos);
        if (col >= 0) {
            const QRect cell = CellRect(col, 0);
            FSizingCol = col;
            FSizingOffset = pos.x() - (cell.left() + cell.width());
            Event->accept();
            return;
        }
    }
    QAbstractScrollArea::mousePressEvent(Event);
}

void TDrawGrid::mouseMoveEvent(QMouseEvent* Event)
{
    const QPoint pos = Event->position().toPoint();
    if (FSizingCol >= 0) {
        const int left = CellRect(FSizingCol, 0).left();
        SetColWidth(FSizingCol, std::max(pos.x() - FSizingOffset - left, int(MinColWidth)));
        Event->accept();
        return;
    }
    if (FColSizing) {
        if (SizingColumnAt(pos) >= 0)
            viewport()->setCursor(Qt::SplitHCursor);
        else
            viewport()->unsetCursor();
    }
    QAbstractScrollArea::mouseMoveEvent(Event);
}

void TDrawGrid::mouseReleaseEvent(QMouseEvent* Event)
{
    if (FSizingCol >= 0 && Event->button() == Qt::LeftButton) {
        // The end of a column drag is no click on the cell it ends over.
        FSizingCol = -1;
        Event->accept();
        return;
    }
    QAbstractScrollArea::mouseReleaseEvent(Event);
    MouseUp(Event->button(), Event->modifiers(), Event->position().toPoint());
    Event->accept();
}

void TDrawGrid::resizeEvent(QResizeEvent* Event)
{
    QAbstractScrollArea::resizeEvent(Event);
    UpdateScrollBar();
}

void TDrawGrid::scrollContentsBy(int, int)
{
    FTopRow = verticalScrollBar()->value() + FixedRows;
    viewport()->update();
}
