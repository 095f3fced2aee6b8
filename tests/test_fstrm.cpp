// File reader and writer, over the real file system (run natively and as a
// Windows program under Wine).
#include <gtest/gtest.h>

#include "stream/fstrm.h"
#include "test_util.h"

#ifdef _WIN32
constexpr int NO_SUCH_FILE = 2;    // ERROR_FILE_NOT_FOUND
constexpr int NO_SUCH_FOLDER = 3;  // ERROR_PATH_NOT_FOUND
#else
constexpr int NO_SUCH_FILE = 2;  // ENOENT
constexpr int NO_SUCH_FOLDER = 2;
#endif

TEST(FstrmOpen, FailuresAreReportedWithPathAndSystemCode)
{
    TempDir dir;
    FatalReturns fatal;
    std::string missing = dir.file("missing.bin");
    EXPECT_EQ(fstrm_open_read(missing.c_str()), nullptr);
    EXPECT_EQ(fatal.text(), missing + ": Can't open file, " + std::to_string(NO_SUCH_FILE));

    std::string nowhere = dir.file("no_folder") + "/x.dat";
    EXPECT_EQ(fstrm_open_write(nowhere.c_str()), nullptr);
    EXPECT_EQ(fatal.text(), nowhere + ": Can't open wfile, " + std::to_string(NO_SUCH_FOLDER));
}

TEST(FstrmOpen, WriteOpenTruncatesAtOnce)
{
    TempDir dir;
    std::string path = dir.file("old.txt");
    write_file(path, to_bytes("old contents"));
    strm *s = fstrm_open_write(path.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(read_file(path).empty());
    strm_release(s);
    EXPECT_TRUE(read_file(path).empty());
}

TEST(FstrmRead, EndTestNeverMovesThePosition)
{
    TempDir dir;
    std::string empty = dir.file("empty");
    write_file(empty, {});
    strm *s = fstrm_open_read(empty.c_str());
    EXPECT_TRUE(strm_eof(s));
    strm_release(s);

    std::string ten = dir.file("ten");
    write_file(ten, to_bytes("0123456789"));
    s = fstrm_open_read(ten.c_str());
    EXPECT_EQ(strm_size(s), 10u);
    uint8_t buf[16];
    EXPECT_FALSE(strm_eof(s));
    EXPECT_EQ(strm_read(s, buf, 5), 5);
    EXPECT_FALSE(strm_eof(s));
    EXPECT_EQ(strm_tell(s), 5u);
    EXPECT_EQ(strm_read(s, buf, 16), 5);
    EXPECT_EQ(buf[4], '9');
    EXPECT_TRUE(strm_eof(s));
    EXPECT_EQ(strm_tell(s), 10u);

    // Past the end: not "at end", and reads get nothing without a report.
    EXPECT_EQ(strm_seek(s, 20), 20u);
    EXPECT_FALSE(strm_eof(s));
    g_fatal_text[0] = '\0';
    EXPECT_EQ(strm_read(s, buf, 16), 0);
    EXPECT_EQ(strm_read(s, buf, 0), 0);
    EXPECT_STREQ(g_fatal_text, "");
    EXPECT_EQ(strm_tell(s), 20u);
    // A negative distance from the start is refused and the position stays.
    EXPECT_EQ(strm_seek(s, 0xFFFFFFF0u), 0xFFFFFFFFu);
    EXPECT_EQ(strm_tell(s), 20u);
    strm_release(s);
}

TEST(FstrmHandle, StreamOwnsADuplicateSharingThePosition)
{
    TempDir dir;
    std::string path = dir.file("data");
    write_file(path, to_bytes("abcdef"));
    strm *a = fstrm_open_read(path.c_str());
    strm *b = fstrm_from_handle(reinterpret_cast<fstrm *>(a)->handle);
    ASSERT_NE(b, nullptr);
    uint8_t buf[8];
    EXPECT_EQ(strm_read(a, buf, 2), 2);
    EXPECT_EQ(strm_tell(b), 2u);
    strm_release(a);  // closes a's handle, not b's
    EXPECT_EQ(strm_read(b, buf, 8), 4);
    EXPECT_EQ(buf[0], 'c');
    strm_release(b);
}

TEST(FstrmWrite, WritesGoStraightToTheFile)
{
    TempDir dir;
    std::string path = dir.file("out");
    strm *s = fstrm_open_write(path.c_str());
    EXPECT_EQ(strm_write(s, to_bytes("hello").data(), 5), 5);
    EXPECT_EQ(strm_tell(s), 5u);
    EXPECT_EQ(read_file(path), to_bytes("hello"));
    EXPECT_EQ(strm_seek(s, 1), 1u);
    EXPECT_EQ(strm_write(s, to_bytes("E").data(), 1), 1);
    strm_release(s);
    EXPECT_EQ(read_file(path), to_bytes("hEllo"));
}

TEST(FstrmWrite, FailedWriteIsReported)
{
    TempDir dir;
    std::string path = dir.file("readonly_handle");
    write_file(path, to_bytes("x"));
    strm *r = fstrm_open_read(path.c_str());
    // A writer over a handle opened for reading only: the system refuses.
    strm *w = fstrm_from_write_handle(reinterpret_cast<fstrm *>(r)->handle);
    FatalReturns fatal;
    EXPECT_EQ(strm_write(w, to_bytes("y").data(), 1), 0);
    EXPECT_EQ(fatal.text().rfind("write error, ", 0), 0u) << fatal.text();
    strm_release(w);
    strm_release(r);
    EXPECT_EQ(read_file(path), to_bytes("x"));
}
