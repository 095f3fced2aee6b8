// The fatal report's text (every platform).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "test_util.h"

TEST(Fatal, TextIsBoundedToItsBuffer)
{
    FatalReturns fatal;
    std::string longpath(10000, 'p');
    fatal_error("%s: Can't open file, %d", longpath.c_str(), 2);
    EXPECT_EQ(strlen(g_fatal_text), static_cast<size_t>(FATAL_TEXT_SIZE - 1));
}
