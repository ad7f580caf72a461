// The standard error box: what the user sees when an exception escapes one of
// the program's event handlers. Qt cannot carry an exception through its event
// loop, so every handler that may raise runs its work through
// RunShowingErrors, which shows the failure and lets the program continue.
#pragma once

#include <QString>
#include <functional>

// The caption of every error box.
extern const char* const ErrorBoxCaption; // "Brenik Trading Alerts"

// Shows Text in a modal critical message box captioned ErrorBoxCaption and
// returns when the user has closed it. Must be called on the GUI thread.
void ShowErrorBox(const QString& Text);

// Runs Handler; any exception it raises is caught and its message shown with
// ShowErrorBox (an exception without a message of its own shows its class
// name). Returns true when Handler finished without an exception. Never raises.
bool RunShowingErrors(const std::function<void()>& Handler) noexcept;
