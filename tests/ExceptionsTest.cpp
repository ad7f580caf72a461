#include "Exceptions.h"

#include <gtest/gtest.h>
#include <stdexcept>

BRENIK_DECLARE_EXCEPTION(ETestError, Exception)

TEST(Exceptions, ClassNameAndMessageOfOwnAndForeignExceptions)
{
    ETestError own("bad thing");
    EXPECT_EQ(ExceptionClassName(own), "ETestError");
    EXPECT_EQ(ExceptionMessage(own), "bad thing");
    EXPECT_STREQ(own.what(), "bad thing");

    std::runtime_error foreign("plain");
    EXPECT_EQ(ExceptionClassName(foreign), "std::runtime_error");
    EXPECT_EQ(ExceptionMessage(foreign), "plain");
}

TEST(Exceptions, AssertRaisesWithUnitAndText)
{
    EXPECT_NO_THROW(Assert(true, "Unit"));
    try {
        Assert(false, "TalkWithServer", "Unknown field type.");
        FAIL() << "no exception";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), "Unknown field type.");
        EXPECT_EQ(e.Unit(), "TalkWithServer");
        EXPECT_EQ(ExceptionClassName(e), "EAssertionFailed");
    }
    try {
        Assert(false, "WakeMeSoon");
        FAIL() << "no exception";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), "Assertion failure");
    }
}
