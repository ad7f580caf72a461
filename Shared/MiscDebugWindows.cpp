#include "MiscDebugWindows.h"

#include "Exceptions.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

TMiscDebugWindow* DebugWindow = nullptr;

namespace {

// A burst of reports reaches the memo in one update at most this often.
constexpr int DebugFlushIntervalMs = 250;

// Where the window opens and its outer (frame) size.
constexpr int DebugWindowLeft = 192;
constexpr int DebugWindowTop = 114;
constexpr int DebugWindowOuterWidth = 1142;
constexpr int DebugWindowOuterHeight = 656;

const QString LineBreak = QStringLiteral("\r\n");

} // namespace

TMiscDebugWindow::TMiscDebugWindow(QWidget* Owner)
    : QWidget(Owner, Qt::Window)
{
    setWindowTitle(QStringLiteral("Quillet Debug Window"));
    // Closing the log must never end the program, even when it happens to be
    // the last visible window.
    setAttribute(Qt::WA_QuitOnClose, false);
    // move() places the frame; resize() sizes the client area, so the frame
    // margins are taken off again once the window system knows them (showEvent).
    move(DebugWindowLeft, DebugWindowTop);
    resize(DebugWindowOuterWidth, DebugWindowOuterHeight);

    Memo1 = new QPlainTextEdit(this);
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setFocusPolicy(Qt::StrongFocus);
    auto layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Memo1);
    setFocusProxy(Memo1);

    Timer1 = new QTimer(this);
    Timer1->setInterval(DebugFlushIntervalMs);
    connect(Timer1, &QTimer::timeout, this, &TMiscDebugWindow::Timer1Timer);
}

void TMiscDebugWindow::AppendText(const QString& Text)
{
    if (!FFlushScheduled) {
        FFlushScheduled = true;
        Timer1->start();
    }
    if (FPendingText.isEmpty())
        FPendingText = Text;
    else
        FPendingText += LineBreak + Text;
    // Shows the window again after the user closed it; a window closed by
    // the user stays minimised, so no focus is taken from the user's work.
    show();
}

QString TMiscDebugWindow::MemoText() const
{
    return Memo1->toPlainText();
}

void TMiscDebugWindow::Timer1Timer()
{
    FFlushScheduled = false;
    Timer1->stop();

    // The batch becomes one new entry of the memo, one memo line per logged
    // line. Every entry after the first starts a new block, so an empty first
    // entry still counts as a line of its own.
    QString entry = FPendingText;
    entry.replace(LineBreak, QStringLiteral("\n"));
    QTextCursor cursor(Memo1->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (FMemoHasEntries)
        cursor.insertBlock();
    cursor.insertText(entry);
    cursor.endEditBlock();
    FMemoHasEntries = true;
    FPendingText.clear();

    // Keep the newest lines in view, as a log is read from the bottom.
    Memo1->moveCursor(QTextCursor::End);
    Memo1->ensureCursorVisible();
}

void TMiscDebugWindow::closeEvent(QCloseEvent* event)
{
    setWindowState(windowState() | Qt::WindowMinimized);
    event->accept(); // an accepted close hides the window; it is not deleted
}

void TMiscDebugWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (FOuterSizeApplied)
        return;
    FOuterSizeApplied = true;
    const QRect frame = frameGeometry();
    const QRect client = geometry();
    const int extraWidth = frame.width() - client.width();
    const int extraHeight = frame.height() - client.height();
    if (extraWidth > 0 || extraHeight > 0)
        resize(DebugWindowOuterWidth - extraWidth, DebugWindowOuterHeight - extraHeight);
}

void ShowDebugText(TMiscDebugWindow*& Window, const QString& Text, QWidget* Owner)
{
    if (!Window) {
        // Without a widget application (a console tool sharing this code) a
        // window cannot exist; the line goes to the Qt message log instead.
        if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
            qWarning().noquote() << Text;
            return;
        }
        Window = new TMiscDebugWindow(Owner); // owned by Owner, or by nobody: lives to the end
    }
    Window->AppendText(Text);
}

void DebugOutput(const QString& Text)
{
    ShowDebugText(DebugWindow, Text, nullptr);
}

void ReportException(const std::exception& E, const QString& Location) noexcept
{
    try {
        DebugOutput(QStringLiteral("Class=") + ExceptionClassName(E) + QStringLiteral(", Message=")
                    + ExceptionMessage(E) + QStringLiteral(", Location=") + Location);
    } catch (...) {
        // A failing log must not disturb the code that was reporting a failure.
    }
}
