// The delta format: round trips of edited files through the encoder and the
// decoder, and blocks that break the format's limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <thread>

#include "encode/qzd_encode.h"
#include "stream/mstrm.h"
#include "stream/qzd.h"
#include "tests/piece_strm.h"
#include "tests/qzd_reference.h"
#include "tests/test_util.h"

namespace {

bytes qzd_delta(const bytes &old_data, const bytes &new_data, qzd_each_fn each = nullptr)
{
    strm *out = mstrm_new_writer();
    qzd_encode(old_data.data(), static_cast<uint32_t>(old_data.size()), new_data.data(),
               static_cast<uint32_t>(new_data.size()), out, true, each);
    uint32_t len;
    const uint8_t *p = mstrm_data(out, &len);
    bytes d(p, p + len);
    strm_release(out);
    return d;
}

// The delta's first sync word (0 for a delta too short to hold one).
uint32_t first_sync(const bytes &delta)
{
    return delta.size() < 2 ? 0 : delta[0] << 8 | delta[1];
}

// The encoder's tasks each on a thread of its own.
void each_on_threads(void (*task)(void *ctx, int k), void *ctx, int count)
{
    std::vector<std::thread> threads;
    for (int k = 0; k < count; k++)
        threads.emplace_back(task, ctx, k);
    for (std::thread &t : threads)
        t.join();
}

// The new file rebuilt from old and the delta, the old file read through the
// decoder's window; *status is the last block's.
bytes qzd_rebuild(const bytes &old_data, const bytes &delta, int32_t *status)
{
    strm *in = mstrm_new_reader(delta.data(), static_cast<uint32_t>(delta.size()));
    strm *old_file = mstrm_new_reader(old_data.data(), static_cast<uint32_t>(old_data.size()));
    qzd_old *o = qzd_old_new(old_file, static_cast<uint32_t>(old_data.size()));
    qzd_state *s = qzd_state_new();
    bytes made;
    int32_t n;
    static uint8_t block[QZT_BLOCK];
    while ((*status = qzd_read_block(in, s, o, block, &n)) == QZT_OK)
        made.insert(made.end(), block, block + n);
    free(s);
    qzd_old_free(o);
    strm_release(old_file);
    strm_release(in);
    return made;
}

// Both decoders rebuild new_data whole from old_data and delta, the
// reference one reading the delta in pieces of 61 bytes.
void expect_both_rebuild(const bytes &old_data, const bytes &delta, const bytes &new_data)
{
    int32_t status;
    EXPECT_EQ(qzd_rebuild(old_data, delta, &status), new_data);
    EXPECT_EQ(status, QZT_END);
    strm *in = piece_reader(delta, 61);
    bytes want;
    EXPECT_EQ(qzd_ref_rebuild(in, old_data, &want), QZT_END);
    EXPECT_EQ(want, new_data);
    strm_release(in);
}

// Something like a program: items of code-like bytes, each followed by the
// 32-bit little-endian address of another item, so that an edit moves the
// addresses of everything after it, as a rebuild does.
struct item {
    bytes code;
    uint32_t target;  // the id of the item whose address follows the code
};

std::vector<std::pair<uint32_t, item>> program(uint32_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::pair<uint32_t, item>> items;
    for (uint32_t id = 0; id < count; id++) {
        item it{bytes(rng() % 24), static_cast<uint32_t>(rng() % count)};
        for (uint8_t &c : it.code)
            c = static_cast<uint8_t>(rng() % 48);
        items.push_back({id, it});
    }
    return items;
}

bytes layout(const std::vector<std::pair<uint32_t, item>> &items)
{
    std::vector<uint32_t> at(items.size() * 2, 0);
    uint32_t offset = 0;
    for (auto &[id, it] : items) {
        at[id] = offset;
        offset += static_cast<uint32_t>(it.code.size()) + 4;
    }
    bytes b;
    for (auto &[id, it] : items) {
        b.insert(b.end(), it.code.begin(), it.code.end());
        for (int k = 0; k < 4; k++)
            b.push_back(static_cast<uint8_t>(at[it.target] >> 8 * k));
    }
    return b;
}

bytes random_bytes(uint32_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    bytes b(size);
    for (uint8_t &c : b)
        c = static_cast<uint8_t>(rng());
    return b;
}

// A block of the delta: sync word, length, literals, coded words.
bytes qzd_block(uint16_t n, const std::string &lits, const bytes &words)
{
    bytes b;
    put_be(b, QZD_SYNC, 2);
    put_be(b, n, 2);
    put_be(b, static_cast<uint32_t>(lits.size()), 2);
    b.insert(b.end(), lits.begin(), lits.end());
    b.insert(b.end(), words.begin(), words.end());
    return b;
}

}  // namespace

TEST(QzdRoundTrip, EditedFilesComeBackWhole)
{
    auto items = program(20000, 1);
    bytes old_data = layout(items);
    auto inserted = items, deleted = items, moved = items;
    inserted.insert(inserted.begin() + 9000, {static_cast<uint32_t>(items.size()), {bytes(300, 0x41), 5}});
    deleted.erase(deleted.begin() + 5000, deleted.begin() + 5100);
    std::rotate(moved.begin() + 2000, moved.begin() + 2500, moved.begin() + 4000);
    // Rewritten in place: the old bytes around it line up at the same offset
    // and it differs throughout, so its bytes cost no more than literals.
    bytes rewritten = old_data;
    bytes noise = random_bytes(40000, 3);
    std::copy(noise.begin(), noise.end(), rewritten.begin() + 100000);
    // A compressed member coded again after an edit: new bytes but for 6 now
    // and then that fall back into step with the old member's, a little way
    // from where the last ones did (81% of the new file; 99% where only the
    // index's matches of 8 bytes or more are taken).
    bytes member = random_bytes(200000, 4), recoded(member.begin(), member.begin() + 2000);
    std::mt19937 rng(4);
    for (int32_t drift = 0; recoded.size() < 150000;) {
        bytes fresh = random_bytes(24, rng());
        recoded.insert(recoded.end(), fresh.begin(), fresh.end());
        drift += static_cast<int32_t>(rng() % 17) - 8;
        auto at = member.begin() + static_cast<ptrdiff_t>(recoded.size()) + drift;
        recoded.insert(recoded.end(), at, at + 6);
    }
    // After 16 new bytes, words moved by 5, by 5 more than half the 32-bit
    // range and by 16 less than half, by turns: the second as the first's
    // value plus 0x80000000, the third as a relative word of 0x80000000,
    // which no gamma code says (its zigzag code plus 1 wraps to 0), must be
    // coded another way.
    bytes halves = old_data;
    for (uint32_t at = 1000, k = 0; at + 4 < 60000; at += 600, k++) {
        const uint32_t adds[] = {5, 0x80000005u, 0x7FFFFFF0u};
        uint32_t word = 0;
        for (int j = 0; j < 4; j++)
            word |= static_cast<uint32_t>(halves[at + j]) << 8 * j;
        for (int j = 0; j < 4; j++)
            halves[at + j] = static_cast<uint8_t>((word + adds[k % 3]) >> 8 * j);
    }
    halves.insert(halves.begin(), 16, 0x5A);
    const struct {
        const char *what;
        bytes old_data, new_data;
        double most;  // the delta's size at most, as a share of the new file
    } cases[] = {
        {"the same", old_data, old_data, 0.001},
        // Each moved address a word change: bytes one by one take about
        // 1.7 times as much.
        {"a region inserted, the addresses after it moved", old_data, layout(inserted), 0.06},
        {"a region deleted, the addresses after it moved", old_data, layout(deleted), 0.07},
        {"a region moved", old_data, layout(moved), 0.03},
        {"words moved by half the 32-bit range", old_data, halves, 0.01},
        {"a stretch rewritten in place", old_data, rewritten, 41000.0 / rewritten.size()},
        {"a compressed member coded again", member, recoded, 0.85},
        {"nothing in common", old_data, random_bytes(100000, 2), 1.01},
        {"an empty old file", {}, old_data, 1.01},
        {"an empty new file", old_data, {}, 0},
        {"both empty", {}, {}, 0},
    };
    for (auto &c : cases) {
        bytes delta = qzd_delta(c.old_data, c.new_data);
        int32_t status;
        EXPECT_EQ(qzd_rebuild(c.old_data, delta, &status), c.new_data) << c.what;
        EXPECT_EQ(status, QZT_END) << c.what;
        EXPECT_LE(delta.size(), c.most * c.new_data.size() + 8) << c.what;
    }
}

TEST(QzdRoundTrip, ProgramTokensComeCodedAndADamagedSectionIsCorrupt)
{
    // A rebuilt program's moved addresses: its first block's tokens are
    // coded, and the bit-by-bit reader makes the same bytes. Its token
    // section emptied, the first token's gamma code is all zeros: both
    // readers find the block corrupt (the reference zero-fills it).
    auto items = program(20000, 4);
    auto inserted = items;
    inserted.insert(inserted.begin() + 100, {static_cast<uint32_t>(items.size()), {bytes(300, 0x41), 5}});
    bytes old_data = layout(items), new_data = layout(inserted);
    bytes delta = qzd_delta(old_data, new_data);
    ASSERT_GT(delta.size(), 8u);
    ASSERT_TRUE(delta[1] & QZD_CODED_TOKENS);
    for (bool damaged : {false, true}) {
        if (damaged) {
            size_t nlits = delta[4] << 8 | delta[5];
            size_t at = QZD_BLOCK_HEADER + (delta[1] & QZD_CODED_LITS ? 2 + 2 * (delta[6] << 8 | delta[7]) : nlits);
            size_t bytes_at = 2 * (delta[at] << 8 | delta[at + 1]);
            delta.erase(delta.begin() + static_cast<ptrdiff_t>(at + 2),
                        delta.begin() + static_cast<ptrdiff_t>(at + 2 + bytes_at));
            delta[at] = delta[at + 1] = 0;
        }
        int32_t status;
        bytes got = qzd_rebuild(old_data, delta, &status);
        strm *in = piece_reader(delta, 13);
        bytes want;
        EXPECT_EQ(qzd_ref_rebuild(in, old_data, &want), status);
        strm_release(in);
        EXPECT_EQ(status, damaged ? QZT_CORRUPT : QZT_END);
        EXPECT_EQ(want, damaged ? bytes(QZT_BLOCK, 0) : new_data);
        EXPECT_EQ(got, damaged ? bytes() : new_data);
    }
}

TEST(QzdRoundTrip, NewTextComesBackThroughCodedLiterals)
{
    // Lines of a small vocabulary, some said again a few lines on (matches
    // near and far, at the same distance again); random bytes that no coding
    // makes shorter (plain blocks, the model left as it was); then text that
    // repeats the first across them. Both decoders rebuild it, the text's
    // literals coded to a third of their bytes at most.
    std::mt19937 rng(6);
    const char *vocabulary[] = {"delta ", "block ", "the ", "old ", "file ", "copy ", "of ", "a ", "literal ",
                                "match ", "window ", "stream "};
    std::vector<std::string> lines;
    std::string text;
    while (text.size() < 150000) {
        std::string line;
        if (lines.size() > 4 && rng() % 3 == 0) {
            line = lines[lines.size() - 1 - rng() % 4];
        } else {
            for (uint32_t k = 0, words = 3 + rng() % 8; k < words; k++)
                line += vocabulary[rng() % 12];
            line += std::to_string(rng() % 1000) + "\n";
        }
        lines.push_back(line);
        text += line;
    }
    bytes new_data = to_bytes(text), noise = random_bytes(70000, 7);
    new_data.insert(new_data.end(), noise.begin(), noise.end());
    new_data.insert(new_data.end(), text.begin() + 20000, text.begin() + 80000);
    bytes old_data = random_bytes(5000, 8);
    bytes delta = qzd_delta(old_data, new_data);
    expect_both_rebuild(old_data, delta, new_data);
    EXPECT_LT(delta.size(), noise.size() + 210000 / 3);
}

TEST(QzdRoundTrip, AnEditedTextKeepsItsLineUp)
{
    // Lines of a small vocabulary, half of them said again from anywhere
    // before, and a digit put in every third line's number: each edit moves
    // the old position by one, and the lines said again are matches
    // elsewhere that an eager line-up jumps to (2,704 bytes), where a patient
    // one stays (2,270; the most patient 1,776). Both decoders rebuild the
    // shortest, and the line-ups made and coded on threads of their own give
    // the same delta.
    std::mt19937 rng(11);
    const char *vocabulary[] = {"delta ", "block ", "the ", "old ", "file ", "copy ", "of ", "a ", "literal ",
                                "match ", "window ", "stream "};
    std::vector<std::string> lines;
    size_t length = 0;
    while (length < 200000) {
        std::string line;
        if (lines.size() > 50 && rng() % 2 == 0) {
            line = lines[rng() % lines.size()];
        } else {
            for (uint32_t k = 0, words = 3 + rng() % 8; k < words; k++)
                line += vocabulary[rng() % 12];
            line += std::to_string(rng() % 1000) + "\n";
        }
        lines.push_back(line);
        length += line.size();
    }
    std::string old_text, new_text;
    for (size_t k = 0; k < lines.size(); k++) {
        size_t number = k % 3 ? 0 : lines[k].rfind(' ') + 1;
        old_text += lines[k];
        new_text += lines[k].substr(0, number) + (k % 3 ? "" : "7") + lines[k].substr(number);
    }
    bytes old_data = to_bytes(old_text), new_data = to_bytes(new_text);
    bytes delta = qzd_delta(old_data, new_data);
    expect_both_rebuild(old_data, delta, new_data);
    EXPECT_LT(delta.size(), 2000u);
    EXPECT_EQ(qzd_delta(old_data, new_data, each_on_threads), delta);
}

TEST(QzdRoundTrip, ATableOfRecordsComesBackThroughShortRepeats)
{
    // An archive's table: records of a 16-bit id and a 32-bit offset, each
    // id the last one's plus one or two, each offset past a member of 1 to
    // 120 bytes, about 8 bits of news a record. Its 4-byte matches are few;
    // the record before's fields are 1 to 3 bytes at the same distance,
    // which the short matches find and the repeats of one byte take: 2.1
    // bytes a record, where no such repeat makes 2.4 and 4-byte matches
    // alone 4.3.
    std::mt19937 rng(5);
    bytes new_data;
    for (uint32_t k = 0, id = 800, offset = 90000; k < 12000; k++) {
        id += 1 + (rng() % 8 == 0);
        offset += 1 + rng() % 120;
        uint64_t record = id | uint64_t{offset} << 16;  // little-endian, as the archive's machine wrote it
        for (int b = 0; b < 6; b++)
            new_data.push_back(static_cast<uint8_t>(record >> 8 * b));
    }
    bytes old_data = random_bytes(5000, 9);
    bytes delta = qzd_delta(old_data, new_data);
    EXPECT_TRUE(first_sync(delta) & QZD_SHORT_REP);
    EXPECT_LT(delta.size(), 12000u * 9 / 4);
    expect_both_rebuild(old_data, delta, new_data);
}

TEST(QzdRoundTrip, TheOldHeadGoesBeforeLiteralsThatMayMatchIt)
{
    // An old text of 3,000 words of 3 to 6 letters, and a new one that says
    // them again in another order: a word and the space after it are too
    // short for the old file's index, but the literals match the old file's
    // head, which the first block puts before them (15,638 bytes, where
    // literals matching only literals make 19,098). A file whose 20-byte
    // build id alone changed codes none of its literals: its delta leaves
    // the head unread.
    std::mt19937 rng(13);
    std::vector<std::string> words(3000);
    std::string old_text, new_text;
    for (std::string &w : words) {
        for (uint32_t k = 0, n = 3 + rng() % 4; k < n; k++)
            w += static_cast<char>('a' + rng() % 26);
        old_text += w + " ";
    }
    while (new_text.size() < 40000)
        new_text += words[rng() % words.size()] + " ";
    bytes old_data = to_bytes(old_text), new_data = to_bytes(new_text);
    bytes delta = qzd_delta(old_data, new_data);
    EXPECT_TRUE(first_sync(delta) & QZD_PRIMED);
    EXPECT_LT(delta.size(), 18000u);
    expect_both_rebuild(old_data, delta, new_data);

    bytes program = random_bytes(100000, 21), rebuilt = program, id = random_bytes(20, 22);
    std::copy(id.begin(), id.end(), rebuilt.begin() + 700);
    delta = qzd_delta(program, rebuilt);
    EXPECT_FALSE(first_sync(delta) & QZD_PRIMED);
    EXPECT_LT(delta.size(), 100u);
    expect_both_rebuild(program, delta, rebuilt);
}

TEST(QzdRoundTrip, NearUniformBytesComeBackThroughFlatLiterals)
{
    // Bytes as compressed data leaves them: uniform, but for one value that
    // comes up a little more often (7.83 bits a byte). Neither the context
    // model nor plain words save enough on them; the flat model does, in
    // blocks of literals only, the first with the old file's head before its
    // literals. A flat sync word, or one of four repeat distances, without
    // its coded literals' bit, one of short repeats without four repeat
    // distances, one of literals only with coded tokens, and the old file's
    // head before a later block, are out of sync to both decoders.
    std::mt19937 rng(11);
    bytes new_data(100000);
    for (uint8_t &c : new_data)
        c = rng() % 100 < 6 ? 0 : static_cast<uint8_t>(rng());
    bytes old_data = random_bytes(5000, 12);
    bytes delta = qzd_delta(old_data, new_data);
    ASSERT_GE(delta.size(), 6u);
    uint32_t sync = first_sync(delta);
    EXPECT_EQ(sync, QZD_SYNC | QZD_CODED_LITS | QZD_REP_LITS | QZD_SHORT_REP | QZD_FLAT_LITS | QZD_ALL_LITS |
                        QZD_PRIMED);
    EXPECT_LT(delta.size(), new_data.size() - new_data.size() / 100);
    expect_both_rebuild(old_data, delta, new_data);

    size_t second = 6 + 2 * size_t{static_cast<uint32_t>(delta[4] << 8 | delta[5])};  // past its n, C and section
    ASSERT_LT(second + 1, delta.size());
    for (auto [at, broken] : {std::pair{size_t{0}, sync & ~QZD_CODED_LITS},
                              {0, sync & ~(QZD_CODED_LITS | QZD_FLAT_LITS)},
                              {0, sync & ~QZD_REP_LITS},
                              {0, sync | QZD_CODED_TOKENS},
                              {second, uint32_t{delta[second]} << 8 | delta[second + 1] | QZD_PRIMED}}) {
        bytes damaged = delta;
        damaged[at] = static_cast<uint8_t>(broken >> 8);
        damaged[at + 1] = static_cast<uint8_t>(broken);
        int32_t status;
        EXPECT_EQ(qzd_rebuild(old_data, damaged, &status).size(), at ? QZT_BLOCK : 0);
        EXPECT_EQ(status, QZT_SYNC_LOST);
        strm *in = mstrm_new_reader(damaged.data(), static_cast<uint32_t>(damaged.size()));
        bytes want;
        EXPECT_EQ(qzd_ref_rebuild(in, old_data, &want), QZT_SYNC_LOST);
        strm_release(in);
    }
}

TEST(QzdRoundTrip, CallsComeBackThroughTheX86Filter)
{
    // Code-like bytes, a few of them any byte (stray E8s and E9s among
    // them), and calls and jumps to 64 places, forward and back: filtered,
    // each names its target, which repeats. The new file alone, then with
    // new code put in near its start against the first (a literal run among
    // copies, calls across its ends): their blocks are filtered, and both
    // decoders rebuild them.
    std::mt19937 rng(13);
    auto emit = [&](bytes *b, size_t until) {
        while (b->size() < until) {
            for (uint32_t k = rng() % 12; k > 0; k--)
                b->push_back(static_cast<uint8_t>(rng() % 20 == 0 ? rng() : rng() % 48));
            b->push_back(rng() % 4 ? 0xE8 : 0xE9);
            uint32_t offset = (rng() % 64) * 1877 - static_cast<uint32_t>(b->size() + 4);
            for (int k = 0; k < 4; k++)
                b->push_back(static_cast<uint8_t>(offset >> 8 * k));
        }
    };
    bytes code, edited;
    emit(&code, 120000);
    edited.assign(code.begin(), code.begin() + 3001);
    emit(&edited, 5000);
    edited.insert(edited.end(), code.begin() + 3001, code.end());
    const bytes pairs[][2] = {{{}, code}, {code, edited}};
    for (auto &[old_data, new_data] : pairs) {
        bytes delta = qzd_delta(old_data, new_data);
        ASSERT_GE(delta.size(), 2u);
        EXPECT_TRUE(delta[1] & QZD_X86);
        expect_both_rebuild(old_data, delta, new_data);
        EXPECT_LT(delta.size(), new_data.size() * 2 / 3);
    }
}

TEST(QzdRoundTrip, ACodedMatchReadsLiteralsBackAcrossTheWindowsWrap)
{
    // The old file copied first, so that the literals' window wraps inside
    // a block; then random bytes past the window's end (plain blocks), and
    // 2000 of them said again from across the wrap: the coded match reads
    // them back from both ends of the window.
    bytes old_data = random_bytes(5000, 10);
    bytes lits = random_bytes(QZD_WINDOW + 65536, 9);
    bytes new_data = old_data;
    new_data.insert(new_data.end(), lits.begin(), lits.end());
    new_data.insert(new_data.end(), lits.begin() + QZD_WINDOW - 1000, lits.begin() + QZD_WINDOW + 1000);
    bytes delta = qzd_delta(old_data, new_data);
    EXPECT_LT(delta.size(), lits.size() + 2000);  // the repeat coded, not plain
    int32_t status;
    EXPECT_EQ(qzd_rebuild(old_data, delta, &status), new_data);
    EXPECT_EQ(status, QZT_END);
}

TEST(QzdDecode, ACodedMatchBeforeTheLiteralStreamIsACorruptBlock)
{
    // A section of ones: a match at the repeat distance (1 at first) of 2
    // bytes, the block's two literals. After a plain block's literals it
    // repeats the last one; at the stream's start it reaches before it.
    bytes coded;
    put_be(coded, QZD_SYNC_CODED, 2);
    put_be(coded, 2, 2);
    put_be(coded, 2, 2);
    put_be(coded, 1, 2);
    put_be(coded, 0xFFFF, 2);
    bytes run_of_two = BlockBuilder().gamma(3).words();
    coded.insert(coded.end(), run_of_two.begin(), run_of_two.end());
    bytes delta = qzd_block(2, "ab", run_of_two);
    delta.insert(delta.end(), coded.begin(), coded.end());
    int32_t status;
    EXPECT_EQ(qzd_rebuild({}, delta, &status), to_bytes("abbb"));
    EXPECT_EQ(status, QZT_END);
    qzd_rebuild({}, coded, &status);
    EXPECT_EQ(status, QZT_CORRUPT);
    // A section longer than the block's literals.
    coded[7] = 2;
    coded.insert(coded.begin() + 10, 2, 0xFF);
    qzd_rebuild({}, coded, &status);
    EXPECT_EQ(status, QZT_CORRUPT);
}

TEST(QzdDecode, TokensOfEveryKind)
{
    bytes old_data = to_bytes("0123456789ABCDEF");
    // Block 1: "xy" (the old position moves to 2), then the old file's 10
    // bytes from 4 (offset +2) with three changes: +1 to its byte 0, +0x0101
    // to its word at 4, and the byte change named again (second of the last
    // ones) at 8; then "zz".
    bytes one = BlockBuilder()
                    .gamma(3)
                    .gamma(5)
                    .gamma(11)
                    .gamma(4)
                    .gamma(1)
                    .put(2, 0)
                    .put(8, 1)
                    .gamma(4)
                    .put(3, 2)
                    .gamma(0x202 + 1)
                    .gamma(1)
                    .put(1, 1)
                    .gamma(2)
                    .gamma(3)
                    .words();
    // Block 2: the old file's first word (offset -16), a copy to the block's
    // end, with a relative change of 15: the copy's shift (14 made less old
    // position 0) comes off, 1 is added.
    bytes two = BlockBuilder().gamma(1).gamma(32).gamma(1).gamma(2).gamma(1).put(3, 3).gamma(31).words();
    bytes delta = qzd_block(14, "xyzz", one);
    bytes more = qzd_block(4, "", two);
    delta.insert(delta.end(), more.begin(), more.end());
    int32_t status;
    EXPECT_EQ(qzd_rebuild(old_data, delta, &status), to_bytes("xy55679:ABDDzz1123"));
    EXPECT_EQ(status, QZT_END);
}

TEST(QzdDecode, GammaCodesOfEveryLengthAtEveryBitPosition)
{
    // Literal runs of random lengths, each followed by a copy of the old
    // file's four zero bytes with one word change whose code is 1 to 32 bits
    // long: the codes land on every position inside the decoder's words.
    std::mt19937 rng(4);
    BlockBuilder words;
    std::string lits;
    bytes want;
    for (int i = 0; i < 2000; i++) {
        uint32_t run = rng() % 24;
        uint32_t back = (i == 0 ? 0 : 4) + run;  // the old position, back to 0
        uint32_t width = rng() % 32;
        uint32_t code = 1u << width | (rng() & ((1u << width) - 1));
        uint32_t value = (code - 1) & 1 ? ~((code - 1) >> 1) : (code - 1) >> 1;
        words.gamma(run + 1).gamma(back ? 2 * back : 1).gamma(5).gamma(2).gamma(1).put(3, 2).gamma(code);
        for (uint32_t k = 0; k < run; k++) {
            lits.push_back(static_cast<char>('a' + k % 26));
            want.push_back(static_cast<uint8_t>('a' + k % 26));
        }
        for (int k = 0; k < 4; k++)
            want.push_back(static_cast<uint8_t>(value >> 8 * k));
    }
    ASSERT_LE(want.size(), static_cast<size_t>(QZT_BLOCK));
    int32_t status;
    EXPECT_EQ(qzd_rebuild(bytes(4, 0), qzd_block(static_cast<uint16_t>(want.size()), lits, words.words()), &status),
              want);
    EXPECT_EQ(status, QZT_END);
}

TEST(QzdDecode, NoTokenReachesPastItsBlockOrOutsideTheFiles)
{
    bytes old_data = to_bytes("0123456789ABCDEF");
    // No literals, then a copy of the old file's first M bytes (offset 0),
    // with its changes.
    const struct {
        const char *what;
        uint16_t n;
        std::string lits;
        bytes words;
    } cases[] = {
        {"literals past the block", 2, "ab", BlockBuilder().gamma(4).words()},
        {"literals past the block's own", 4, "a", BlockBuilder().gamma(3).words()},
        {"literals left over", 2, "ab", BlockBuilder().gamma(2).gamma(1).gamma(1).gamma(1).words()},
        {"an old copy past the old file", 17, "", BlockBuilder().gamma(1).gamma(1).gamma(18).gamma(1).words()},
        {"an old copy to the block's end past the old file", 17, "",
         BlockBuilder().gamma(1).gamma(1).gamma(1).gamma(1).words()},
        {"an old copy past the block", 4, "", BlockBuilder().gamma(1).gamma(1).gamma(6).gamma(1).words()},
        {"an old copy before it", 4, "", BlockBuilder().gamma(1).gamma(2).gamma(5).gamma(1).words()},
        {"a change past the copy", 4, "", BlockBuilder().gamma(1).gamma(1).gamma(5).gamma(2).gamma(5).words()},
        {"a word past the copy", 4, "",
         BlockBuilder().gamma(1).gamma(1).gamma(5).gamma(2).gamma(2).put(3, 2).gamma(3).words()},
        {"a change beyond the last ones", 4, "",
         BlockBuilder().gamma(1).gamma(1).gamma(5).gamma(2).gamma(1).put(1, 1).gamma(QZD_CHANGES + 1).words()},
        {"a gamma code of 32 zeros", 4, "", BlockBuilder().put(16, 0).put(16, 0).put(1, 1).words()},
    };
    for (auto &c : cases) {
        int32_t status;
        qzd_rebuild(old_data, qzd_block(c.n, c.lits, c.words), &status);
        EXPECT_EQ(status, QZT_CORRUPT) << c.what;
    }
}

TEST(QzdDecode, AnOldFileShorterThanItsSizeIsACorruptBlockNotOtherBytes)
{
    // The old file holds 20000 bytes, its size says 40000: a copy of bytes
    // it does not give, by pages or straight into the block, is a fault.
    bytes old_data = random_bytes(20000, 5);
    const struct {
        uint32_t from, len;
        int32_t status;
    } cases[] = {
        {100, 200, QZT_OK}, {30000, 100, QZT_CORRUPT}, {25000, 10000, QZT_CORRUPT}, {15000, 10000, QZT_CORRUPT}};
    for (auto &c : cases) {
        bytes words = BlockBuilder().gamma(1).gamma(2 * c.from + 1).gamma(c.len + 1).gamma(1).words();
        bytes delta = qzd_block(static_cast<uint16_t>(c.len), "", words);
        strm *in = mstrm_new_reader(delta.data(), static_cast<uint32_t>(delta.size()));
        strm *old_file = mstrm_new_reader(old_data.data(), static_cast<uint32_t>(old_data.size()));
        qzd_old *o = qzd_old_new(old_file, 40000);
        qzd_state *s = qzd_state_new();
        static uint8_t block[QZT_BLOCK];
        int32_t n;
        EXPECT_EQ(qzd_read_block(in, s, o, block, &n), c.status) << c.from;
        if (c.status == QZT_OK) {
            EXPECT_TRUE(std::equal(block, block + c.len, old_data.begin() + c.from));
        }
        free(s);
        qzd_old_free(o);
        strm_release(old_file);
        strm_release(in);
    }
}

TEST(QzdStream, ReadsTheNewFileAndReportsABlockThatCannotBeHad)
{
    auto items = program(30000, 3);
    bytes old_data = layout(items);
    items.erase(items.begin() + 100, items.begin() + 140);
    bytes new_data = layout(items);
    bytes delta = qzd_delta(old_data, new_data);
    strm *old_file = mstrm_new_reader(old_data.data(), static_cast<uint32_t>(old_data.size()));
    // The delta through windows of 77 bytes, the new file read in pieces
    // that straddle its blocks.
    strm *in = piece_reader(delta, 77);
    strm *q = qzd_open(in, old_file, static_cast<uint32_t>(old_data.size()), static_cast<uint32_t>(new_data.size()));
    strm_release(in);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(strm_size(q), new_data.size());
    bytes made(new_data.size() + 1);
    int32_t got = 0, n;
    while ((n = strm_read(q, made.data() + got, 10007)) > 0)
        got += n;
    made.resize(static_cast<size_t>(got));
    EXPECT_EQ(made, new_data);
    EXPECT_TRUE(strm_eof(q));
    strm_release(q);

    // The second block's sync word broken: the report, and the stream ends
    // after the first block.
    in = mstrm_new_reader(delta.data(), static_cast<uint32_t>(delta.size()));
    qzd_old *o = qzd_old_new(old_file, static_cast<uint32_t>(old_data.size()));
    qzd_state *s = qzd_state_new();
    static uint8_t block[QZT_BLOCK];
    ASSERT_EQ(qzd_read_block(in, s, o, block, &n), QZT_OK);
    delta[static_cast<size_t>(in->next - delta.data())] ^= 0xFF;
    free(s);
    qzd_old_free(o);
    strm_release(in);
    FatalReturns fatal;
    in = mstrm_new_reader(delta.data(), static_cast<uint32_t>(delta.size()));
    q = qzd_open(in, old_file, static_cast<uint32_t>(old_data.size()), static_cast<uint32_t>(new_data.size()));
    strm_release(in);
    uint8_t buf[4096];
    got = 0;
    while ((n = strm_read(q, buf, sizeof buf)) > 0)
        got += n;
    EXPECT_EQ(got, QZT_BLOCK);
    EXPECT_EQ(fatal.text(), "qzd out of sync");
    strm_release(q);
    strm_release(old_file);
}
