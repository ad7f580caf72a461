// Small helpers shared by the tests.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <functional>

namespace TestSupport {

// Runs the event loop until the condition holds or the time runs out, and
// tells which. Used only for real socket round trips; timing-dependent logic is
// tested with a moved clock instead.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

// Lets every event that is already queued (posted events, deferred calls) run.
inline void DrainEvents()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents();
}

} // namespace TestSupport
