// Small helpers shared by the tests.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QDeadlineTimer>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <functional>

namespace TestSupport {

// Runs the event loop until the condition holds or the time runs out, and
// tells which. Used only for real socket round trips; timing-dependent logic is
// tested with a moved clock instead.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

// Writes Content as the whole of the file at Path; tells whether all of it
// was written.
inline bool WriteFile(const QString& Path, const QByteArray& Content)
{
    QFile file(Path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(Content) == Content.size();
}

// Lets every event that is already queued (posted events, deferred calls) run.
inline void DrainEvents()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents();
}

// Closes every modal message box that opens while it lives (from the next
// event-loop turn on) and keeps its caption and text.
class TModalBoxCatcher {
public:
    TModalBoxCatcher()
    {
        FTimer.setInterval(0);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                Captions << box->windowTitle();
                Texts << box->text();
                box->done(QMessageBox::Ok);
            }
        });
        FTimer.start();
    }
    TModalBoxCatcher(const TModalBoxCatcher&) = delete;
    TModalBoxCatcher& operator=(const TModalBoxCatcher&) = delete;

    QStringList Captions;
    QStringList Texts;

private:
    QTimer FTimer;
};

} // namespace TestSupport
