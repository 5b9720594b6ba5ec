#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vell/platform/errors.h"
#include "tests/support/test_support.h"

TEST(ErrorNames, SuccessAndBothEnds)
{
    EXPECT_STREQ(u_err_name(0), "NO_ERROR");
    EXPECT_STREQ(u_err_name(1), "ERR_AC_CANT_AGC");
    EXPECT_STREQ(u_err_name(462), "ERR_ZOOM_TIMEOUT");
    EXPECT_EQ(ERR_AC_CANT_AGC, 1);
    EXPECT_EQ(ERR_ZOOM_TIMEOUT, 462);
}

TEST(ErrorNames, OutOfRangeCodesAreNamedAsInvalid)
{
    EXPECT_STREQ(u_err_name(463), "invalid error number 463");
    EXPECT_STREQ(u_err_name(-1), "invalid error number -1");
    EXPECT_STREQ(u_err_name(INT32_MIN), "invalid error number -2147483648");
}

TEST(ErrorNames, NonAlphabeticalStretchesKeepTheirNumbers)
{
    // The numbering follows the list, not the alphabet.
    EXPECT_EQ(ERR_ASPHERE_INVALID_JOB_VAL, 26);
    EXPECT_EQ(ERR_ALL_BAD_DATA, 27);
    EXPECT_EQ(ERR_MISSING_CONFIG_DATA, 317);
    EXPECT_EQ(ERR_NO_MEM, 320);
    EXPECT_EQ(ERR_CANT_READ_FILE, 123);
    EXPECT_EQ(ERR_CANT_OPEN_FILE, 120);
    EXPECT_EQ(ERR_CANT_CREATE_FILE, 116);
    EXPECT_EQ(ERR_CANT_WRITE_FILE, 125);
    EXPECT_EQ(ERR_FILE_IO, 166);
    EXPECT_EQ(ERR_VMI_BEAM_INTERRUPTED, 458);
    EXPECT_STREQ(u_err_name(317), "ERR_MISSING_CONFIG_DATA");
    EXPECT_STREQ(u_err_name(458), "ERR_VMI_BEAM_INTERRUPTED");
}

TEST(ErrorNames, TableHasEveryNameOnceAndEndsWithNull)
{
    EXPECT_STREQ(u_err_names[0], "");
    EXPECT_EQ(u_err_names[463], nullptr);
    for (int i = 1; i <= 462; ++i) {
        ASSERT_NE(u_err_names[i], nullptr) << i;
        EXPECT_EQ(std::strncmp(u_err_names[i], "ERR_", 4), 0) << i;
        for (int j = 1; j < i; ++j)
            ASSERT_STRNE(u_err_names[i], u_err_names[j]) << i << " " << j;
    }
}

TEST(ErrorNames, LookupSharesOneBuffer)
{
    const char* first = u_err_name(1);
    const char* second = u_err_name(2);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "ERR_AC_CANT_CALIBRATE");
}

TEST(PrintErr, WritesNameLineOnlyForFailures)
{
    vptest::LogCapture log;
    u_print_err(0);
    u_exit_on_err(0);
    EXPECT_EQ(log.str(), "");
    u_print_err(ERR_NO_MEM);
    EXPECT_EQ(log.str(), "ERR_NO_MEM\n");
}

TEST(PrintErrDeathTest, ExitOnErrEndsWithStatusOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(u_exit_on_err(ERR_ZOOM_TIMEOUT), ::testing::ExitedWithCode(1), "ERR_ZOOM_TIMEOUT\n");
}
