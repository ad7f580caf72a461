// Deferred calls: run one callback soon, from the event loop, after the
// current handler and the events already queued - never inside the code that
// asks for it.
//
// Request() posts one event to a private receiver unless one is already on its
// way, so any number of requests made before the run coalesce into one run.
// Pending is cleared before OnWakeUp runs, so a Request() made inside the
// callback causes exactly one more run later, never a nested one. Destroying
// the object drops a pending run. An exception escaping OnWakeUp is reported
// through ReportException with the location "WakeMeSoon, TWakeMeSoon.WndPrc"
// and goes no further. The callback may destroy the object that runs it (an
// owner tearing itself down): it runs as a copy, and nothing of the destroyed
// object is touched afterwards.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

class TWakeMeSoon {
public:
    TWakeMeSoon();
    ~TWakeMeSoon();
    TWakeMeSoon(const TWakeMeSoon&) = delete;
    TWakeMeSoon& operator=(const TWakeMeSoon&) = delete;

    // What to run; set by the owner right after construction. May stay unset
    // (a run then only clears Pending).
    std::function<void()> OnWakeUp;

    void Request();
    bool Pending() const { return FPending; }

private:
    friend class TWakeMeSoonReceiver;
    // Handles the wake-up event (the hidden window's procedure of old).
    void WndPrc();

    std::unique_ptr<QObject> FReceiver; // receives the posted wake-up events
    bool FPending = false;
    // One per OnWakeUp call in progress (nested when a callback runs the
    // event loop itself); the destructor marks every frame so that WndPrc
    // touches nothing of a destroyed object once the callback returns.
    struct TRunFrame {
        bool Destroyed = false;
        TRunFrame* Outer = nullptr;
    };
    TRunFrame* FRunning = nullptr;
};
