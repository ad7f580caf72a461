#include "WakeMeSoon.h"

#include "Exceptions.h"
#include "MiscDebugWindows.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QObject>
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>

namespace {

BRENIK_DECLARE_EXCEPTION(EWakeTestFailure, Exception)

// Everything the debug log holds so far, flushed or not.
QString LoggedText()
{
    if (!DebugWindow)
        return QString();
    return DebugWindow->MemoText() + QLatin1Char('\n') + DebugWindow->PendingText();
}

} // namespace

TEST(WakeMeSoon, TenRequestsInOneHandlerGiveOneRun)
{
    TWakeMeSoon wake;
    int runs = 0;
    wake.OnWakeUp = [&] { ++runs; };

    for (int i = 0; i < 10; ++i)
        wake.Request();
    EXPECT_TRUE(wake.Pending());
    EXPECT_EQ(runs, 0) << "the run must never happen inside Request";

    TestSupport::DrainEvents();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(wake.Pending());
}

TEST(WakeMeSoon, RequestInsideCallbackGivesExactlyOneMoreLaterRun)
{
    TWakeMeSoon wake;
    int runs = 0;
    int depth = 0;
    int maxDepth = 0;
    bool pendingSeenInside = true;
    wake.OnWakeUp = [&] {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        ++runs;
        pendingSeenInside = wake.Pending();
        if (runs == 1) {
            wake.Request();
            wake.Request();
        }
        --depth;
    };

    wake.Request();
    QCoreApplication::sendPostedEvents(); // one round: the first run only
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(pendingSeenInside) << "Pending is cleared before the callback runs";
    EXPECT_TRUE(wake.Pending());

    TestSupport::DrainEvents();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(maxDepth, 1) << "a run must never nest inside another";
    EXPECT_FALSE(wake.Pending());
}

TEST(WakeMeSoon, DestroyingThePendingObjectDropsTheRun)
{
    int runs = 0;
    auto wake = std::make_unique<TWakeMeSoon>();
    wake->OnWakeUp = [&] { ++runs; };
    wake->Request();
    wake.reset();

    TestSupport::DrainEvents();
    EXPECT_EQ(runs, 0);
}

TEST(WakeMeSoon, ThrowingCallbackIsReportedAndLaterRequestsStillRun)
{
    struct Case {
        const char* name;
        std::function<void()> thrower;
        QString expectedLine;
    };
    const Case cases[] = {
        {"own exception", [] { throw EWakeTestFailure(QStringLiteral("first failure")); },
         QStringLiteral("Class=EWakeTestFailure, Message=first failure, Location=WakeMeSoon, TWakeMeSoon.WndPrc")},
        {"standard exception", [] { throw std::runtime_error("second failure"); },
         QStringLiteral("Class=std::runtime_error, Message=second failure, Location=WakeMeSoon, TWakeMeSoon.WndPrc")},
        {"not an exception class", [] { throw 42; },
         QStringLiteral("Message=Unknown exception, Location=WakeMeSoon, TWakeMeSoon.WndPrc")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWakeMeSoon wake;
        int runs = 0;
        bool fail = true;
        wake.OnWakeUp = [&] {
            ++runs;
            if (fail)
                c.thrower();
        };

        wake.Request();
        TestSupport::DrainEvents();
        EXPECT_EQ(runs, 1);
        EXPECT_TRUE(LoggedText().contains(c.expectedLine)) << LoggedText().toStdString();

        fail = false;
        wake.Request();
        TestSupport::DrainEvents();
        EXPECT_EQ(runs, 2);
        EXPECT_FALSE(wake.Pending());
    }
}

TEST(WakeMeSoon, UnsetCallbackOnlyClearsPending)
{
    TWakeMeSoon wake;
    wake.Request();
    EXPECT_TRUE(wake.Pending());
    TestSupport::DrainEvents();
    EXPECT_FALSE(wake.Pending());

    // The object is still usable once a callback is set.
    int runs = 0;
    wake.OnWakeUp = [&] { ++runs; };
    wake.Request();
    TestSupport::DrainEvents();
    EXPECT_EQ(runs, 1);
}

TEST(WakeMeSoon, RunComesAfterEventsAlreadyQueued)
{
    QObject context;
    QStringList order;
    TWakeMeSoon wake;
    wake.OnWakeUp = [&] { order << QStringLiteral("wake"); };

    QMetaObject::invokeMethod(&context, [&] { order << QStringLiteral("before"); }, Qt::QueuedConnection);
    wake.Request();
    QMetaObject::invokeMethod(&context, [&] { order << QStringLiteral("after"); }, Qt::QueuedConnection);
    wake.Request(); // coalesced: keeps its place in the queue

    TestSupport::DrainEvents();
    EXPECT_EQ(order, (QStringList{QStringLiteral("before"), QStringLiteral("wake"), QStringLiteral("after")}));
}

// An owner may tear itself down from inside the deferred call; the object must
// survive that without touching freed memory or running again.
TEST(WakeMeSoon, CallbackMayDestroyItsOwnObject)
{
    auto wake = std::make_unique<TWakeMeSoon>();
    int runs = 0;
    wake->OnWakeUp = [&] {
        ++runs;
        wake->Request(); // a run asked for by an object that is about to go
        wake.reset();
    };
    wake->Request();
    TestSupport::DrainEvents();
    TestSupport::DrainEvents();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(wake, nullptr);
}
