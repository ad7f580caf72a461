// The program's exception family.
//
// Every error the program raises itself is an Exception (or a subclass) that
// carries a message text and names its own class, so that diagnostic reports
// can print "Class=<name>, Message=<text>". Preconditions that only a fault of
// the calling code can break raise EAssertionFailed; no input from a server, a
// file or a user may ever reach one.
#pragma once

#include <QString>
#include <QByteArray>
#include <exception>

class Exception : public std::exception {
public:
    explicit Exception(QString message);
    ~Exception() override = default;

    const QString& Message() const { return FMessage; }
    virtual const char* ClassName() const { return "Exception"; }
    const char* what() const noexcept override { return FWhat.constData(); }

private:
    QString FMessage;
    QByteArray FWhat; // UTF-8 of the message, kept alive for what()
};

// Declares a subclass that adds nothing but its own class name.
#define BRENIK_DECLARE_EXCEPTION(Name, Base)                         \
    class Name : public Base {                                        \
    public:                                                           \
        using Base::Base;                                             \
        const char* ClassName() const override { return #Name; }      \
    };

// A broken precondition. Message() is the text ("Assertion failure" or a
// specific one such as "Unknown field type."); Unit() names the unit whose
// precondition failed.
class EAssertionFailed : public Exception {
public:
    EAssertionFailed(QString unit, QString text);
    const char* ClassName() const override { return "EAssertionFailed"; }
    const QString& Unit() const { return FUnit; }

private:
    QString FUnit;
};

// Raises EAssertionFailed(unit, text) unless the condition holds.
inline void Assert(bool condition, const char* unit, const char* text = "Assertion failure")
{
    if (!condition)
        throw EAssertionFailed(QString::fromLatin1(unit), QString::fromLatin1(text));
}

// The class name of any exception: Exception's own name, or the demangled C++
// type name of anything else (std::bad_alloc, ...).
QString ExceptionClassName(const std::exception& e);

// The message of any exception: Exception::Message(), or what() as UTF-8.
QString ExceptionMessage(const std::exception& e);
