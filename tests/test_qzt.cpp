// The compressed stream and its block decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "piece_strm.h"
#include "stream/cpu.h"
#include "test_util.h"

namespace {

std::string str(const bytes &b)
{
    return std::string(b.begin(), b.end());
}

// The three worked examples of the code: tokens and the words they make.
struct Example {
    std::string text;
    bytes words;
};

const Example examples[] = {
    {"aaaa", {0x4C, 0x36}},
    {"abababab", {0x6C, 0x2C, 0x48, 0xC0}},
    {"xyz", {0x23, 0xC3, 0xCB, 0xD0}},
};

// A block of n bytes: one literal and a match of distance 1 for the rest.
bytes run_block(char c, uint16_t n)
{
    return BlockBuilder().literals(std::string(1, c)).match(1, n - 1u).words();
}

// A random valid block of n bytes: zero runs that span words, 1 bits at the
// end of a word, long gamma codes, literal runs at every bit alignment.
bytes random_block(std::mt19937 &rng, uint16_t n, std::string *want)
{
    BlockBuilder bb;
    size_t start = want->size();
    while (want->size() - start < n) {
        size_t room = n - (want->size() - start);
        size_t lits = rng() % 4 == 0 ? rng() % std::min<size_t>(room + 1, 300) : rng() % 3;
        lits = std::min(lits, room);
        std::string l;
        for (size_t i = 0; i < lits; i++)
            l += static_cast<char>(rng());
        if (want->size() == start && l.empty())
            l.push_back('s');
        bb.literals(l);
        *want += l;
        if (want->size() - start == n)
            break;
        uint32_t dist = 1 + rng() % (want->size() - start);
        uint32_t len = 1 + rng() % std::min<size_t>(n - (want->size() - start), rng() % 2 ? 20 : 5000);
        bb.match(dist, len);
        for (uint32_t i = 0; i < len; i++)
            *want += (*want)[want->size() - dist];
    }
    return bb.words();
}

}  // namespace

TEST(QztExamples, WordsOfTheWorkedExamples)
{
    EXPECT_EQ(BlockBuilder().literals("a").match(1, 3).words(), examples[0].words);
    EXPECT_EQ(BlockBuilder().literals("ab").match(2, 6).words(), examples[1].words);
    EXPECT_EQ(BlockBuilder().literals("xyz").words(), examples[2].words);

    bytes aaaa{0x71, 0x7A, 0x00, 0x00, 0x00, 0x04, 0x7A, 0x74, 0x00, 0x04, 0x4C, 0x36};
    EXPECT_EQ(str(qzt_decompress(aaaa)), "aaaa");
}

TEST(QztExamples, EachBlockConsumesExactlyItsWords)
{
    // Back to back: any word read too many or too few puts the next header
    // out of step.
    std::vector<std::pair<uint16_t, bytes>> blocks;
    std::string all;
    for (auto &e : examples) {
        blocks.emplace_back(static_cast<uint16_t>(e.text.size()), e.words);
        all += e.text;
    }
    FatalReturns fatal;
    EXPECT_EQ(str(qzt_decompress(qzt_stream(15, blocks))), all);
    EXPECT_EQ(fatal.text(), "");
}

TEST(QztStream, HeaderWithoutBlocks)
{
    bytes s = qzt_stream(1234, {});
    strm *in = mstrm_new_reader(s.data(), static_cast<uint32_t>(s.size()));
    strm *q = qzt_open(in);
    EXPECT_EQ(strm_size(q), 1234u);
    EXPECT_TRUE(strm_eof(q));
    EXPECT_EQ(strm_getc(q), 0xEE);
    strm_release(q);
    strm_release(in);
}

TEST(QztStream, TwoFullBlocksThenTheEnd)
{
    bytes s = qzt_stream(65536, {{32768, run_block('x', 32768)}, {32768, run_block('y', 32768)}});
    bytes out = qzt_decompress(s);
    ASSERT_EQ(out.size(), 65536u);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(out[32767], 'x');
    EXPECT_EQ(out[32768], 'y');
    EXPECT_EQ(out[65535], 'y');
}

TEST(QztStream, ReadsAcrossBlocksAndRewindsOnSeek)
{
    bytes s = qzt_stream(6000, {{4000, run_block('p', 4000)}, {2000, run_block('q', 2000)}});
    strm *in = mstrm_new_reader(s.data(), static_cast<uint32_t>(s.size()));
    strm *q = qzt_open(in);
    bytes buf(6000);
    EXPECT_EQ(strm_read(q, buf.data(), 3998), 3998);
    EXPECT_EQ(strm_read(q, buf.data(), 4), 4);
    EXPECT_EQ(str(bytes(buf.begin(), buf.begin() + 4)), "ppqq");
    EXPECT_EQ(strm_read(q, buf.data(), 1000), 1000);
    EXPECT_EQ(strm_tell(q), 0u);

    strm_seek(q, 1000);
    EXPECT_EQ(strm_getc(q), 'p');
    EXPECT_EQ(strm_read(q, buf.data(), 6000), 5999);
    EXPECT_EQ(strm_tell(q), 0u);
    strm_release(q);
    strm_release(in);
}

// A read with room for whole blocks takes them straight from the decoder,
// between what the window still holds and a last block through it.
TEST(QztStream, LargeReadsMixTheWindowAndWholeBlocks)
{
    bytes s = qzt_stream(65636, {{32768, run_block('a', 32768)}, {32768, run_block('b', 32768)},
                                 {100, run_block('c', 100)}});
    strm *in = mstrm_new_reader(s.data(), static_cast<uint32_t>(s.size()));
    strm *q = qzt_open(in);
    bytes buf(70000);
    EXPECT_EQ(strm_read(q, buf.data(), 10), 10);
    EXPECT_EQ(strm_read(q, buf.data(), 70000), 65626);
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 32758, 'a'), 32758);
    EXPECT_EQ(std::count(buf.begin() + 32758, buf.begin() + 65526, 'b'), 32768);
    EXPECT_EQ(std::count(buf.begin() + 65526, buf.begin() + 65626, 'c'), 100);
    EXPECT_TRUE(strm_eof(q));
    strm_release(q);
    strm_release(in);
}

TEST(QztStream, RecordFieldsFromOneBlock)
{
    // A delete record: action byte, 260-byte name, 300-byte destination.
    std::string record(561, '\0');
    record[0] = 2;
    record.replace(1, 8, "GAME.DAT");
    record.replace(261, 7, "%WINDIR");
    bytes s = qzt_stream(561, {{561, BlockBuilder().literals(record).words()}});
    strm *in = mstrm_new_reader(s.data(), static_cast<uint32_t>(s.size()));
    strm *q = qzt_open(in);
    uint8_t name[260], dest[300];
    EXPECT_EQ(strm_getc(q), 2);
    EXPECT_EQ(strm_read(q, name, 260), 260);
    EXPECT_EQ(strm_read(q, dest, 300), 300);
    EXPECT_STREQ(reinterpret_cast<char *>(name), "GAME.DAT");
    EXPECT_STREQ(reinterpret_cast<char *>(dest), "%WINDIR");
    EXPECT_TRUE(strm_eof(q));
    strm_release(q);
    strm_release(in);
}

TEST(QztStream, AtEndAnswersForTheInnerStreamOnly)
{
    bytes s = qzt_stream(4, {{4, examples[0].words}});
    strm *in = mstrm_new_reader(s.data(), static_cast<uint32_t>(s.size()));
    strm *q = qzt_open(in);
    EXPECT_EQ(strm_getc(q), 'a');
    EXPECT_TRUE(q->kind->at_end(q));
    EXPECT_FALSE(strm_eof(q));
    uint8_t buf[3];
    strm_read(q, buf, 3);
    EXPECT_TRUE(strm_eof(q));
    strm_release(q);
    // The caller's own reference keeps the inner stream alive.
    EXPECT_EQ(in->refs, 1);
    strm_release(in);
}

TEST(QztStream, FormatFaultsAreReported)
{
    FatalReturns fatal;
    bytes not_qzt{0x71, 0x7B, 0, 0, 0, 0};
    EXPECT_TRUE(qzt_decompress(not_qzt).empty());
    EXPECT_EQ(fatal.text(), "stream is not qzt");

    bytes trailing = qzt_stream(4, {{4, examples[0].words}});
    trailing.push_back(0x00);
    EXPECT_EQ(str(qzt_decompress(trailing)), "aaaa");
    EXPECT_EQ(fatal.text(), "qzt out of sync");

    for (uint16_t n : {0, 32769, 0xFFFF}) {
        g_fatal_text[0] = '\0';
        EXPECT_TRUE(qzt_decompress(qzt_stream(4, {{n, examples[0].words}})).empty());
        EXPECT_EQ(fatal.text(), "qzt bad block length, " + std::to_string(n));
    }

    // Cut right after a sync word: n reads as 0xEEEE.
    bytes cut = qzt_stream(4, {});
    put_be(cut, QZT_SYNC, 2);
    EXPECT_TRUE(qzt_decompress(cut).empty());
    EXPECT_EQ(fatal.text(), "qzt bad block length, 61166");
}

TEST(QztDecode, TokensOfEveryShape)
{
    struct Case {
        const char *what;
        uint16_t n;
        bytes words;
        std::string want;
    };
    const Case cases[] = {
        {"zero literals then a match", 6, BlockBuilder().literals("ab").match(2, 2).literals("").match(2, 2).words(),
         "ababab"},
        {"six equal bytes", 6, BlockBuilder().literals("z").match(1, 5).words(), "zzzzzz"},
        {"block ends after literals", 5, BlockBuilder().literals("ab").match(1, 2).literals("c").words(), "abbbc"},
        {"match past the block's end is cut", 4, BlockBuilder().literals("a").match(1, 10).words(), "aaaa"},
    };
    for (auto &c : cases) {
        std::string next_block = "xyz";
        bytes s = qzt_stream(c.n + 3u, {{c.n, c.words}, {3, examples[2].words}});
        FatalReturns fatal;
        EXPECT_EQ(str(qzt_decompress(s)), c.want + next_block) << c.what;
        EXPECT_EQ(fatal.text(), "") << c.what;
    }
}

TEST(QztDecode, RandomTokenStreamsRoundTrip)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        auto n = static_cast<uint16_t>(1 + rng() % 32768);
        std::string want;
        bytes words = random_block(rng, n, &want);
        bytes s = qzt_stream(n, {{n, words}, {3, examples[2].words}});
        ASSERT_EQ(str(qzt_decompress(s)), want + "xyz") << "round " << round;
    }
}

TEST(QztDecode, WindowsOfAnySizeCutCodesAnywhere)
{
    // The decoder reads ahead within the window only: a window that ends
    // inside a code, inside a word or just past a block's last word must not
    // change a byte, nor where the next block header is read.
    std::mt19937 rng(11);
    std::vector<std::pair<uint16_t, bytes>> blocks;
    std::string want;
    for (uint16_t n : {1, 700, 32768, 5, 9000}) {
        bytes words = random_block(rng, n, &want);
        blocks.emplace_back(n, words);
    }
    bytes s = qzt_stream(static_cast<uint32_t>(want.size()), blocks);
    for (uint32_t piece : {1, 2, 3, 7, 8, 9, 15, 17, 4093}) {
        FatalReturns fatal;
        strm *in = piece_reader(s, piece);
        strm *q = qzt_open(in);
        std::string got(want.size() + 1, '\0');
        EXPECT_EQ(strm_read(q, reinterpret_cast<uint8_t *>(got.data()), static_cast<int32_t>(got.size())),
                  static_cast<int32_t>(want.size()))
            << piece;
        got.pop_back();
        EXPECT_TRUE(got == want) << "windows of " << piece;
        EXPECT_EQ(fatal.text(), "") << piece;
        strm_release(q);
        strm_release(in);
    }
}

TEST(QztDecode, LongLiteralRunsEndTheirWindowsAtEveryOffset)
{
    // Long literal runs go many bytes at a time up to the window's end: runs
    // at every bit alignment, each behind a match of 1 to 8 bytes, through
    // windows of every size up to 40, so that a run's fast part ends at the
    // window's last byte, inside a word as well as after one; with SSE2 and
    // without.
    std::mt19937 rng(13);
    BlockBuilder bb;
    std::string want;
    for (uint32_t i = 0; want.size() < 6000; i++) {
        std::string l;
        for (uint32_t k = 0; k < 20 + i % 61; k++)
            l += static_cast<char>(rng());
        bb.literals(l).match(1 + i % 7, 1 + i % 8);
        want += l;
        for (uint32_t k = 0; k < 1 + i % 8; k++)
            want += want[want.size() - 1 - i % 7];
    }
    auto n = static_cast<uint16_t>(want.size());
    bytes s = qzt_stream(n + 3u, {{n, bb.words()}, {3, examples[2].words}});
    for (int32_t features : {cpu_features(), 0}) {
        g_cpu_features = features;
        for (uint32_t piece = 1; piece <= 40; piece++) {
            FatalReturns fatal;
            strm *in = piece_reader(s, piece);
            strm *q = qzt_open(in);
            std::string got(n + 4u, '\0');
            got.resize(static_cast<size_t>(strm_read(q, reinterpret_cast<uint8_t *>(got.data()), n + 4)));
            EXPECT_TRUE(got == want + "xyz") << "windows of " << piece << ", features " << features;
            EXPECT_EQ(fatal.text(), "") << piece;
            strm_release(q);
            strm_release(in);
        }
    }
    g_cpu_features = CPU_UNKNOWN;
}

TEST(QztDecode, InputRunningOutReadsFillerWords)
{
    // "aaaaa" as a + (1,1) + (1,3); the last code's zero ends the first word
    // and its value bits 11 come from the missing word, read as 0xEEEE.
    bytes words = BlockBuilder().literals("a").match(1, 1).literals("").match(1, 3).words();
    ASSERT_EQ(words.size(), 4u);
    words.resize(2);
    FatalReturns fatal;
    EXPECT_EQ(str(qzt_decompress(qzt_stream(5, {{5, words}}))), "aaaaa");
    EXPECT_EQ(fatal.text(), "");
}

TEST(QztDecode, BlocksBreakingTheLimitsAreReportedAndStayInside)
{
    struct Case {
        const char *what;
        bytes words;
    };
    const Case cases[] = {
        {"literal run past the end", BlockBuilder().literals("abcdefghij").words()},
        {"distance before the start", BlockBuilder().literals("ab").match(3, 2).words()},
        {"first match with nothing behind it", BlockBuilder().literals("").match(1, 8).words()},
        {"gamma code of 16 zeros", BlockBuilder().put(16, 0).put(16, 0xFFFF).words()},
        {"all zero words", bytes(64, 0)},
    };
    for (auto &c : cases) {
        FatalReturns fatal;
        strm *in = mstrm_new_reader(c.words.data(), static_cast<uint32_t>(c.words.size()));
        bits *b = bits_new(in);
        bytes out(8, 0xAA);  // exactly the block: a write past it is caught by the sanitizers
        qzt_decode(b, out.data(), 8);
        bits_free(b);
        strm_release(in);
        EXPECT_EQ(fatal.text(), "qzt block corrupt") << c.what;
        EXPECT_EQ(out.back(), 0) << c.what;  // the rest of the block is defined
    }
}
