// The road of a clicked symbol out of the alert grids.
//
// The grids do not know who links symbols to other programs; the program shell
// installs that receiver here once at start-up (the external linking window's
// SendSymbol). Until one is installed, and after it is removed with an empty
// function, a hand-off does nothing. Everything runs on the GUI thread.
#pragma once

#include <QByteArray>
#include <functional>

using TSymbolHandOff = std::function<void(const QByteArray& Symbol)>;

// Installs the receiver of clicked symbols; an empty function removes it.
void SetSymbolHandOff(TSymbolHandOff HandOff);

// True while a receiver is installed.
bool HasSymbolHandOff();

// Passes Symbol to the installed receiver, or does nothing without one. An
// exception from the receiver travels to the caller unchanged.
void HandOffSymbol(const QByteArray& Symbol);
