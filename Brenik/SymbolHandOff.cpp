#include "SymbolHandOff.h"

#include <utility>

namespace {

// The installed receiver; lives as long as the program.
TSymbolHandOff& Receiver()
{
    static TSymbolHandOff receiver;
    return receiver;
}

} // namespace

void SetSymbolHandOff(TSymbolHandOff HandOff)
{
    Receiver() = std::move(HandOff);
}

bool HasSymbolHandOff()
{
    return static_cast<bool>(Receiver());
}

void HandOffSymbol(const QByteArray& Symbol)
{
    // A copy, so that a receiver that replaces itself does not destroy the
    // function that is running.
    const TSymbolHandOff receiver = Receiver();
    if (receiver)
        receiver(Symbol);
}
