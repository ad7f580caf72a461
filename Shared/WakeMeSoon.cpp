#include "WakeMeSoon.h"

#include "Exceptions.h"
#include "MiscDebugWindows.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const char* const WakeUpLocation = "WakeMeSoon, TWakeMeSoon.WndPrc";

// Stands for anything thrown that is not a std::exception, so that it can be
// reported like any other failure instead of escaping into the event loop.
BRENIK_DECLARE_EXCEPTION(EUnknownException, Exception)

QEvent::Type WakeUpEventType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

// The private receiver of the posted wake-up events. Qt drops the events that
// are still queued for an object when it is deleted, which is what makes
// destroying a TWakeMeSoon drop a pending run.
class TWakeMeSoonReceiver : public QObject {
public:
    explicit TWakeMeSoonReceiver(TWakeMeSoon* owner) : FOwner(owner) {}

    // Cleared when the owner goes away while this receiver is still busy
    // delivering (see TWakeMeSoon::~TWakeMeSoon).
    TWakeMeSoon* FOwner;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == WakeUpEventType()) {
            if (FOwner)
                FOwner->WndPrc();
            return true;
        }
        return QObject::event(e);
    }
};

TWakeMeSoon::TWakeMeSoon()
    : FReceiver(std::make_unique<TWakeMeSoonReceiver>(this))
{
}

TWakeMeSoon::~TWakeMeSoon()
{
    auto receiver = static_cast<TWakeMeSoonReceiver*>(FReceiver.get());
    receiver->FOwner = nullptr;
    if (FRunning) {
        // Destroyed from inside our own callback: the receiver is still on the
        // stack delivering the event, so let the event loop delete it later.
        for (TRunFrame* frame = FRunning; frame; frame = frame->Outer)
            frame->Destroyed = true;
        QCoreApplication::removePostedEvents(receiver, WakeUpEventType());
        FReceiver.release()->deleteLater();
    }
}

void TWakeMeSoon::Request()
{
    if (FPending)
        return;
    FPending = true;
    QCoreApplication::postEvent(FReceiver.get(), new QEvent(WakeUpEventType()));
}

void TWakeMeSoon::WndPrc()
{
    FPending = false;
    if (!OnWakeUp)
        return;

    // The callback may destroy this object (an owner tearing itself down), so
    // run a copy of it and touch no member once it has returned.
    const std::function<void()> callback = OnWakeUp;
    TRunFrame frame;
    frame.Outer = FRunning;
    FRunning = &frame;
    try {
        callback();
    } catch (const std::exception& e) {
        ReportException(e, QString::fromLatin1(WakeUpLocation));
    } catch (...) {
        ReportException(EUnknownException(QStringLiteral("Unknown exception")),
                        QString::fromLatin1(WakeUpLocation));
    }
    if (!frame.Destroyed)
        FRunning = frame.Outer;
}
