// Generic stream operations, through a scripted in-memory kind whose window
// is refilled in chunks of a chosen size and whose drain can be made to fail.
#include <gtest/gtest.h>

#include <cstring>

#include "test_util.h"

namespace {

struct Script {
    bytes data;        // what the reader serves
    size_t pos = 0;    // read position behind the window
    size_t chunk = 4;  // bytes per fill
    int fills = 0;
    bytes sink;  // what the writer's drains took
    int drains = 0;
    bool fail_drain = false;
    bool closed = false;
};

struct script_strm {
    strm head;
    Script *sc;
    uint8_t window[16];
};

Script *sc_of(strm *s)
{
    return reinterpret_cast<script_strm *>(s)->sc;
}

int32_t script_fill(strm *s)
{
    Script *sc = sc_of(s);
    auto *w = reinterpret_cast<script_strm *>(s)->window;
    sc->fills++;
    size_t n = std::min(sc->chunk, sc->data.size() - sc->pos);
    memcpy(w, sc->data.data() + sc->pos, n);
    sc->pos += n;
    s->next = w;
    s->end = w + n;
    return n != 0;
}

bool script_at_end(strm *s)
{
    return sc_of(s)->pos == sc_of(s)->data.size();
}

bool script_drain(strm *s)
{
    Script *sc = sc_of(s);
    auto *w = reinterpret_cast<script_strm *>(s)->window;
    sc->drains++;
    if (sc->fail_drain)
        return false;
    sc->sink.insert(sc->sink.end(), w, s->next);
    s->next = w;
    return true;
}

void script_close(strm *s)
{
    sc_of(s)->closed = true;
}

const strm_ops script_reader_ops = {.fill = script_fill, .at_end = script_at_end, .close = script_close};
const strm_ops script_writer_ops = {.close = script_close, .drain = script_drain};

strm *script_reader(Script &sc)
{
    strm *s = strm_alloc(sizeof(script_strm), &script_reader_ops);
    reinterpret_cast<script_strm *>(s)->sc = &sc;
    return s;  // empty window: next == end == null
}

// A writer whose window has `room` bytes.
strm *script_writer(Script &sc, int room)
{
    strm *s = strm_alloc(sizeof(script_strm), &script_writer_ops);
    auto *w = reinterpret_cast<script_strm *>(s);
    w->sc = &sc;
    s->next = w->window;
    s->end = w->window + room;
    return s;
}

}  // namespace

TEST(StrmRead, GetcPastEndReadsFillerAndRefillsEveryTime)
{
    Script sc{.data = {1, 2}};
    strm *s = script_reader(sc);
    EXPECT_EQ(strm_getc(s), 1);
    EXPECT_EQ(strm_getc(s), 2);
    int before = sc.fills;
    EXPECT_EQ(strm_getc(s), 0xEE);
    EXPECT_EQ(strm_getc(s), 0xEE);
    EXPECT_EQ(sc.fills, before + 2);
    strm_release(s);
}

TEST(StrmRead, BigEndianIntegersAndFillerBytes)
{
    Script sc{.data = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE}, .chunk = 3};
    strm *s = script_reader(sc);
    EXPECT_EQ(strm_get32(s), 0x12345678u);  // crosses a window end
    EXPECT_EQ(strm_get16(s), 0x9ABC);
    EXPECT_EQ(strm_get16(s), 0xDEEE);  // one byte left, then nothing
    EXPECT_EQ(strm_get16(s), 0xEEEE);
    EXPECT_EQ(strm_get32(s), 0xEEEEEEEEu);
    strm_release(s);

    Script tail{.data = {1, 2, 3}};
    s = script_reader(tail);
    strm_getc(s);
    EXPECT_EQ(strm_get32(s), 0x0203EEEEu);  // each missing trailing byte is 0xEE
    strm_release(s);
}

TEST(StrmRead, Get16TakesHighByteFromWindowAndLowByteFromRefill)
{
    Script sc{.data = {0xAA, 0xBB, 0xCC, 0xDD}, .chunk = 3};
    strm *s = script_reader(sc);
    strm_getc(s);
    strm_getc(s);
    EXPECT_EQ(strm_get16(s), 0xCCDD);
    EXPECT_EQ(sc.fills, 2);
    strm_release(s);
}

TEST(StrmRead, BulkReadAcrossWindowsAndShortAtEnd)
{
    Script sc{.chunk = 5};
    for (int i = 0; i < 23; i++)
        sc.data.push_back(static_cast<uint8_t>(i));
    strm *s = script_reader(sc);

    uint8_t buf[32];
    EXPECT_EQ(strm_read(s, buf, 0), 0);
    EXPECT_EQ(sc.fills, 0);
    EXPECT_EQ(strm_getc(s), 0);
    EXPECT_EQ(strm_read(s, buf, 12), 12);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(buf[i], i + 1);
    EXPECT_EQ(strm_read(s, buf, 32), 10);
    EXPECT_EQ(buf[9], 22);
    EXPECT_EQ(strm_read(s, buf, 32), 0);
    EXPECT_EQ(strm_read(s, buf, -1), 0);
    strm_release(s);
}

TEST(StrmRead, EofTestsTheWindowFirst)
{
    Script sc{.data = {1, 2, 3}, .chunk = 3};
    strm *s = script_reader(sc);
    strm_getc(s);  // the whole data is now in the window
    EXPECT_TRUE(sc_of(s)->pos == 3);
    EXPECT_FALSE(strm_eof(s));
    strm_getc(s);
    strm_getc(s);
    EXPECT_TRUE(strm_eof(s));
    strm_release(s);
}

TEST(StrmWrite, ExactlyFullWindowIsDrainedZeroBytesAreNot)
{
    Script sc;
    strm *s = script_writer(sc, 8);
    EXPECT_EQ(strm_write(s, to_bytes("").data(), 0), 0);
    EXPECT_EQ(sc.drains, 0);
    EXPECT_EQ(strm_write(s, to_bytes("12345678").data(), 8), 8);
    EXPECT_EQ(sc.drains, 1);
    EXPECT_EQ(sc.sink, to_bytes("12345678"));
    EXPECT_EQ(strm_write(s, to_bytes("abcdefghijklmnopqrs").data(), 19), 19);
    EXPECT_EQ(sc.sink, to_bytes("12345678abcdefghijklmnop"));
    strm_putc(s, 't');
    EXPECT_TRUE(strm_drain(s));
    EXPECT_EQ(sc.sink, to_bytes("12345678abcdefghijklmnopqrst"));
    strm_release(s);
}

TEST(StrmWrite, FailedDrainShortensTheCountAndKeepsTheWindow)
{
    Script sc{.fail_drain = true};
    strm *s = script_writer(sc, 4);
    // Bytes copied into the window count although the drain failed.
    EXPECT_EQ(strm_write(s, to_bytes("abcdef").data(), 6), 4);
    EXPECT_EQ(sc.drains, 1);
    // A full window that cannot be drained drops further bytes, never
    // storing past its end.
    strm_putc(s, 'x');
    EXPECT_EQ(sc.drains, 2);
    EXPECT_EQ(memcmp(reinterpret_cast<script_strm *>(s)->window, "abcd", 4), 0);
    EXPECT_EQ(reinterpret_cast<script_strm *>(s)->window[4], 0);
    sc.fail_drain = false;
    EXPECT_EQ(strm_write(s, to_bytes("ef").data(), 2), 2);
    EXPECT_TRUE(strm_drain(s));
    EXPECT_EQ(sc.sink, to_bytes("abcdef"));
    strm_release(s);
}

TEST(StrmRefs, LastReleaseClosesAndFrees)
{
    Script sc;
    strm *s = script_reader(sc);
    EXPECT_EQ(strm_addref(s), s);
    EXPECT_EQ(s->refs, 2);
    strm_release(s);
    EXPECT_FALSE(sc.closed);
    EXPECT_EQ(s->refs, 1);
    strm_release(s);
    EXPECT_TRUE(sc.closed);
}
