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

// A tool's raise hook throws from inside the libraries, whose code is built
// without exceptions: the throw must unwind through their frames to the
// tool's catch, the process going on and no report shown.
TEST(Fatal, RaiseUnwindsThroughTheLibraries)
{
    struct Raised {
        std::string text;
    };
    g_fatal_raise = [](const char *text) { throw Raised{text}; };
    const uint8_t not_qzt[] = {'M', 'Z', 0, 0};
    strm *in = mstrm_new_reader(not_qzt, sizeof not_qzt);
    std::string caught;
    try {
        qzt_open(in);
    } catch (const Raised &r) {
        caught = r.text;
    }
    g_fatal_raise = nullptr;
    strm_release(in);
    EXPECT_EQ(caught, "stream is not qzt");
    EXPECT_EQ(g_fatal_exiting, 0);
}
