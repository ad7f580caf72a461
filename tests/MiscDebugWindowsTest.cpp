#include "MiscDebugWindows.h"

#include "Exceptions.h"
#include "TestSupport.h"

#include <QApplication>
#include <QImage>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

namespace {

BRENIK_DECLARE_EXCEPTION(EDebugTestFailure, Exception)

// An exception whose class name cannot even be built.
class EUnnameable : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { throw std::runtime_error("no name"); }
};

// Runs the flush the way the 250 ms timer does, without waiting for it.
void FireFlushTimer(TMiscDebugWindow& window)
{
    ASSERT_TRUE(window.Timer1->isActive()) << "a pending batch must have armed the timer";
    ASSERT_TRUE(QMetaObject::invokeMethod(window.Timer1, "timeout"));
}

int CountDebugWindows()
{
    int count = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<TMiscDebugWindow*>(w))
            ++count;
    return count;
}

} // namespace

TEST(MiscDebugWindow, WindowLooksAsSpecified)
{
    TMiscDebugWindow window;
    window.AppendText(QStringLiteral("first"));

    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quillet Debug Window"));
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.frameGeometry(), QRect(192, 114, 1142, 656));
    EXPECT_TRUE(window.Memo1->isReadOnly());
    EXPECT_EQ(window.Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(window.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(window.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    // The memo fills the client area.
    EXPECT_EQ(window.Memo1->geometry(), window.rect());
    EXPECT_EQ(window.Timer1->interval(), 250);
}

TEST(MiscDebugWindow, ThreeLinesInOneBatchMakeOneMemoUpdateInOrder)
{
    TMiscDebugWindow window;
    QSignalSpy updates(window.Memo1->document(), &QTextDocument::contentsChange);

    window.AppendText(QStringLiteral("one"));
    EXPECT_TRUE(window.FlushScheduled());
    window.AppendText(QStringLiteral("two"));
    window.AppendText(QStringLiteral("three"));
    EXPECT_EQ(window.PendingText(), QStringLiteral("one\r\ntwo\r\nthree"));
    EXPECT_EQ(updates.count(), 0) << "nothing reaches the memo before the timer";
    EXPECT_TRUE(window.MemoText().isEmpty());

    FireFlushTimer(window);
    EXPECT_EQ(updates.count(), 1);
    EXPECT_EQ(window.MemoText(), QStringLiteral("one\ntwo\nthree"));
    EXPECT_EQ(window.Memo1->document()->blockCount(), 3);
    EXPECT_TRUE(window.PendingText().isEmpty());
    EXPECT_FALSE(window.FlushScheduled());
    EXPECT_FALSE(window.Timer1->isActive());

    // The next batch arms the timer again and lands below the first one.
    window.AppendText(QStringLiteral("four"));
    EXPECT_TRUE(window.Timer1->isActive());
    FireFlushTimer(window);
    EXPECT_EQ(window.MemoText(), QStringLiteral("one\ntwo\nthree\nfour"));
}

TEST(MiscDebugWindow, FlushedLinesAreVisibleInTheMemo)
{
    TMiscDebugWindow window;
    window.AppendText(QString());
    FireFlushTimer(window);
    const QImage before = window.Memo1->viewport()->grab().toImage();

    window.AppendText(QStringLiteral("Class=EDebugTestFailure, Message=shown, Location=here"));
    EXPECT_EQ(window.Memo1->viewport()->grab().toImage(), before) << "pending lines are not painted yet";
    FireFlushTimer(window);
    EXPECT_NE(window.Memo1->viewport()->grab().toImage(), before);
}

TEST(MiscDebugWindow, ClosingMinimisesAndHidesAndTheNextLineShowsItAgain)
{
    TMiscDebugWindow window;
    window.AppendText(QStringLiteral("before close"));
    FireFlushTimer(window);
    ASSERT_TRUE(window.isVisible());

    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(window.windowState() & Qt::WindowMinimized);

    window.AppendText(QStringLiteral("while closed"));
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.windowState() & Qt::WindowMinimized);
    FireFlushTimer(window);
    EXPECT_EQ(window.MemoText(), QStringLiteral("before close\nwhile closed"));
}

TEST(MiscDebugWindow, EmptyFirstLineStillBecomesAMemoLine)
{
    TMiscDebugWindow window;
    window.AppendText(QString());
    EXPECT_TRUE(window.PendingText().isEmpty());
    EXPECT_TRUE(window.FlushScheduled());
    FireFlushTimer(window);

    window.AppendText(QStringLiteral("second"));
    FireFlushTimer(window);
    EXPECT_EQ(window.MemoText(), QStringLiteral("\nsecond"));
    EXPECT_EQ(window.Memo1->document()->blockCount(), 2);
}

TEST(MiscDebugWindow, ShowDebugTextCreatesTheWindowOnceIntoTheReference)
{
    TMiscDebugWindow* window = nullptr;
    QWidget owner;
    ShowDebugText(window, QStringLiteral("a"), &owner);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->parent(), &owner);
    EXPECT_TRUE(window->isWindow()) << "an owned debug window is still a window of its own";
    TMiscDebugWindow* const first = window;

    ShowDebugText(window, QStringLiteral("b"), &owner);
    EXPECT_EQ(window, first);
    EXPECT_EQ(window->PendingText(), QStringLiteral("a\r\nb"));
    // owner deletes the window
}

TEST(ReportException, LogsClassMessageAndLocationInTheOneDebugWindow)
{
    struct Case {
        const char* name;
        std::function<void()> thrower;
        QString location;
        QString expected;
    };
    const Case cases[] = {
        {"own exception", [] { throw EDebugTestFailure(QStringLiteral("went wrong")); },
         QStringLiteral("Unit, TClass.Method"),
         QStringLiteral("Class=EDebugTestFailure, Message=went wrong, Location=Unit, TClass.Method")},
        {"empty message", [] { throw Exception(QString()); },
         QStringLiteral("TTalkWithServer.SendGoodResponse, x=1"),
         QStringLiteral("Class=Exception, Message=, Location=TTalkWithServer.SendGoodResponse, x=1")},
        {"standard exception", [] { throw std::out_of_range("index"); }, QStringLiteral("L"),
         QStringLiteral("Class=std::out_of_range, Message=index, Location=L")},
    };

    DebugOutput(QStringLiteral("start of the case table"));
    ASSERT_NE(DebugWindow, nullptr);
    TMiscDebugWindow* const window = DebugWindow;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.thrower();
        } catch (const std::exception& e) {
            ReportException(e, c.location);
        }
        EXPECT_EQ(DebugWindow, window) << "every report goes to the same window";
        EXPECT_TRUE(DebugWindow->PendingText().endsWith(QStringLiteral("\r\n") + c.expected))
            << DebugWindow->PendingText().toStdString();
    }
    EXPECT_EQ(CountDebugWindows(), 1);
    EXPECT_TRUE(DebugWindow->isVisible());
}

TEST(ReportException, NeverRaisesEvenWhenTheTextCannotBeBuilt)
{
    // ReportException is noexcept: an escaping exception would end the program.
    ReportException(EUnnameable(QStringLiteral("hidden")), QStringLiteral("somewhere"));
    DebugOutput(QStringLiteral("still alive"));
    ASSERT_NE(DebugWindow, nullptr);
    EXPECT_FALSE(DebugWindow->PendingText().contains(QStringLiteral("hidden")));
    EXPECT_TRUE(DebugWindow->PendingText().endsWith(QStringLiteral("still alive")));
}
