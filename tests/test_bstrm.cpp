// Buffered reader and writer over files (run natively and under Wine).
#include <gtest/gtest.h>

#include <cstdio>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#endif

#include "stream/bstrm.h"
#include "stream/fstrm.h"
#include "test_util.h"

namespace {

bytes pattern(size_t n)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return b;
}

// A writer kind that records the count of every write call.
struct recorder {
    strm head;
    std::vector<int32_t> *calls;
};

int32_t recorder_write(strm *s, const uint8_t *, int32_t count)
{
    reinterpret_cast<recorder *>(s)->calls->push_back(count);
    return count;
}

const strm_ops recorder_ops = {.write = recorder_write};

}  // namespace

TEST(BstrmReader, PositionIsTheFilesLessTheUnreadBytes)
{
    TempDir dir;
    std::string path = dir.file("hundred");
    write_file(path, pattern(100));
    strm *f = fstrm_open_read(path.c_str());
    strm_seek(f, 7);
    strm *b = bstrm_new_reader(f, BSTRM_WINDOW);
    strm_release(f);
    EXPECT_EQ(strm_tell(b), 7u);
    EXPECT_EQ(strm_size(b), 100u);
    EXPECT_EQ(strm_getc(b), pattern(100)[7]);
    EXPECT_EQ(strm_tell(b), 8u);
    strm_release(b);

    b = bstrm_open_file_read(path.c_str(), BSTRM_WINDOW);
    strm_getc(b);
    EXPECT_EQ(strm_tell(b), 1u);
    strm_release(b);
}

TEST(BstrmReader, WholeWindowsThenTheRestThenNothing)
{
    TempDir dir;
    std::string path = dir.file("big");
    bytes data = pattern(BSTRM_WINDOW + 1);
    write_file(path, data);
    strm *b = bstrm_open_file_read(path.c_str(), BSTRM_WINDOW);
    EXPECT_EQ(strm_getc(b), data[0]);
    EXPECT_EQ(b->end - b->next, BSTRM_WINDOW - 1);
    bytes got(BSTRM_WINDOW - 1);
    EXPECT_EQ(strm_read(b, got.data(), BSTRM_WINDOW - 1), BSTRM_WINDOW - 1);
    EXPECT_FALSE(strm_eof(b));
    EXPECT_EQ(strm_getc(b), data[BSTRM_WINDOW]);
    EXPECT_EQ(b->end - b->next, 0);
    EXPECT_TRUE(strm_eof(b));
    EXPECT_EQ(strm_read(b, got.data(), 10), 0);
    EXPECT_EQ(strm_getc(b), 0xEE);
    strm_release(b);
}

TEST(BstrmReader, SeekDropsTheWindowAndRefills)
{
    TempDir dir;
    std::string path = dir.file("seek");
    bytes data = pattern(5000);
    write_file(path, data);
    strm *b = bstrm_open_file_read(path.c_str(), 1024);
    uint8_t buf[10];
    strm_read(b, buf, 10);
    strm_seek(b, 5);
    EXPECT_EQ(b->next, b->end);
    EXPECT_EQ(strm_tell(b), 5u);
    EXPECT_EQ(strm_getc(b), data[5]);
    EXPECT_EQ(b->end - b->next, 1024 - 1);
    strm_seek(b, 4999);
    EXPECT_EQ(strm_get16(b), data[4999] << 8 | 0xEE);
    strm_release(b);
}

TEST(BstrmWriter, BytesReachTheFileOnFullWindowSeekAndRelease)
{
    TempDir dir;
    std::string path = dir.file("w");
    strm *w = bstrm_open_file_write(path.c_str(), BSTRM_WINDOW);
    bytes data = pattern(2 * BSTRM_WINDOW);
    EXPECT_EQ(strm_write(w, data.data(), BSTRM_WINDOW - 1), BSTRM_WINDOW - 1);
    EXPECT_EQ(read_file(path).size(), 0u);
    EXPECT_EQ(strm_tell(w), static_cast<uint32_t>(BSTRM_WINDOW - 1));
    strm_putc(w, data[BSTRM_WINDOW - 1]);
    EXPECT_EQ(read_file(path).size(), 0u);  // full, drained by the next byte
    strm_putc(w, data[BSTRM_WINDOW]);
    EXPECT_EQ(read_file(path).size(), static_cast<size_t>(BSTRM_WINDOW));
    EXPECT_EQ(strm_tell(w), static_cast<uint32_t>(BSTRM_WINDOW + 1));
    strm_release(w);
    EXPECT_EQ(read_file(path), bytes(data.begin(), data.begin() + BSTRM_WINDOW + 1));

    w = bstrm_open_file_write(path.c_str(), BSTRM_WINDOW);
    EXPECT_EQ(strm_write(w, data.data(), BSTRM_WINDOW), BSTRM_WINDOW);
    EXPECT_EQ(read_file(path).size(), static_cast<size_t>(BSTRM_WINDOW));
    strm_write(w, to_bytes("tail").data(), 4);
    strm_seek(w, 0);  // the pending bytes go out at the old position first
    strm_write(w, to_bytes("HEAD").data(), 4);
    strm_release(w);
    bytes want(data.begin(), data.begin() + BSTRM_WINDOW);
    std::copy_n("HEAD", 4, want.begin());
    for (char c : std::string("tail"))
        want.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(read_file(path), want);
}

TEST(BstrmWriter, ReleaseDrainsEvenAnEmptyWindowOnce)
{
    std::vector<int32_t> calls;
    strm *inner = strm_alloc(sizeof(recorder), &recorder_ops);
    reinterpret_cast<recorder *>(inner)->calls = &calls;
    strm *w = bstrm_new_writer(inner, 16);
    strm_release(inner);
    strm_release(w);
    EXPECT_EQ(calls, std::vector<int32_t>{0});
}

TEST(BstrmWriter, CallersOwnReferenceKeepsTheFileOpen)
{
    TempDir dir;
    std::string path = dir.file("shared");
    strm *f = fstrm_open_write(path.c_str());
    strm *w = bstrm_new_writer(f, 16);
    strm_write(w, to_bytes("abc").data(), 3);
    strm_release(w);
    EXPECT_EQ(read_file(path), to_bytes("abc"));
    EXPECT_EQ(strm_write(f, to_bytes("de").data(), 2), 2);
    strm_release(f);
    EXPECT_EQ(read_file(path), to_bytes("abcde"));
}

// A file written over and read back through its one handle, as the
// temporary file of each entry's blob is.
TEST(BstrmScratch, EachBlobWrittenOverAndCutReadsBackAlone)
{
    TempDir dir;
    std::string path = dir.file("temp");
#ifdef _WIN32
    fstrm_handle h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
#else
    fstrm_handle h = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
#endif
    strm *file = fstrm_adopt_scratch_handle(h);
    ASSERT_NE(file, nullptr);
    // Shorter, longer and with nothing, each after the one before.
    for (size_t n : {100000, 10, 70000, 0}) {
        bytes b = pattern(n);
        strm_seek(file, 0);
        strm *w = bstrm_new_writer(file, BSTRM_WINDOW);
        strm_write(w, b.data(), static_cast<int32_t>(n));
        strm_release(w);
        EXPECT_TRUE(fstrm_cut(file));
        strm_seek(file, 0);
        strm *r = bstrm_new_reader(file, BSTRM_WINDOW);
        bytes back(n + 1);
        EXPECT_EQ(strm_read(r, back.data(), static_cast<int32_t>(n + 1)), static_cast<int32_t>(n)) << n;
        back.resize(n);
        EXPECT_EQ(back, b) << n;
        strm_release(r);
    }
    strm_release(file);  // the stream's to close: no handle is left to the file
    EXPECT_EQ(remove(path.c_str()), 0);
}

TEST(BstrmOpen, FailedOpenGivesNull)
{
    TempDir dir;
    FatalReturns fatal;
    EXPECT_EQ(bstrm_open_file_read(dir.file("none").c_str(), BSTRM_WINDOW), nullptr);
    EXPECT_EQ(bstrm_new_reader(nullptr, BSTRM_WINDOW), nullptr);
    EXPECT_NE(fatal.text().find("Can't open file"), std::string::npos);
}
