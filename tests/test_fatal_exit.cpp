// The fatal report ends the process: shown (on stderr here), then exit code 1
// through exit(), so that the atexit functions run; a report made during that
// exit returns. Death tests fork, so these run natively only.
#include <gtest/gtest.h>

#include <cstdlib>

#include "test_util.h"

namespace {

void report_during_exit()
{
    fatal_error("second report");
    fprintf(stderr, "exit went on\n");
}

}  // namespace

TEST(FatalDeathTest, ShowsTheTextAndExitsWithCodeOne)
{
    EXPECT_EXIT(fatal_error("%s: Can't open wfile, %d", "C:\\X\\Y.DAT", 3), testing::ExitedWithCode(1),
                "^C:\\\\X\\\\Y\\.DAT: Can't open wfile, 3\n$");
}

TEST(FatalDeathTest, ReportFromAnExitFunctionReturnsIntoIt)
{
    EXPECT_EXIT(
        {
            atexit(report_during_exit);
            fatal_error("first report");
        },
        testing::ExitedWithCode(1), "^first report\nsecond report\nexit went on\n$");
}
