#include "Exceptions.h"

#include <cxxabi.h>
#include <cstdlib>
#include <memory>
#include <typeinfo>

Exception::Exception(QString message)
    : FMessage(std::move(message)), FWhat(FMessage.toUtf8())
{
}

EAssertionFailed::EAssertionFailed(QString unit, QString text)
    : Exception(std::move(text)), FUnit(std::move(unit))
{
}

QString ExceptionClassName(const std::exception& e)
{
    if (auto own = dynamic_cast<const Exception*>(&e))
        return QString::fromLatin1(own->ClassName());
    const char* mangled = typeid(e).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return QString::fromLatin1(status == 0 && demangled ? demangled.get() : mangled);
}

QString ExceptionMessage(const std::exception& e)
{
    if (auto own = dynamic_cast<const Exception*>(&e))
        return own->Message();
    return QString::fromUtf8(e.what());
}
