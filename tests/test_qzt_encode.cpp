// The encoder: what it writes reads back through the stream library at both
// levels, and the best level takes the fewest bits any token sequence can.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "qzt_reference.h"
#include "encode/qzt_encode.h"
#include "test_util.h"

namespace {

bytes encode(const bytes &data, int level)
{
    strm *out = mstrm_new_writer();
    EXPECT_TRUE(qzt_encode(data.data(), static_cast<uint32_t>(data.size()), level, out));
    uint32_t len;
    const uint8_t *p = mstrm_data(out, &len);
    bytes s(p, p + len);
    strm_release(out);
    return s;
}

int64_t gamma_len(uint64_t v)
{
    return 2 * (63 - __builtin_clzll(v)) + 1;
}

// Fewest bits of one block holding s, over every token sequence: from a
// token's start, any literal run; then, unless that ends the block, any
// distance back into the block and any length the bytes there repeat for.
class FewestBits {
  public:
    explicit FewestBits(const bytes &s) : s_(s), token_(s.size() + 1, -1), match_(s.size() + 1, -1) {}
    int64_t from_token(size_t pos)
    {
        if (pos == s_.size())
            return 0;
        if (token_[pos] < 0) {
            int64_t best = INT64_MAX;
            for (size_t lits = 0; pos + lits <= s_.size(); lits++) {
                int64_t c = gamma_len(lits + 1) + 8 * static_cast<int64_t>(lits);
                if (pos + lits < s_.size())
                    c += from_match(pos + lits);
                best = std::min(best, c);
            }
            token_[pos] = best;
        }
        return token_[pos];
    }

  private:
    int64_t from_match(size_t pos)
    {
        if (match_[pos] < 0) {
            int64_t best = INT64_MAX / 2;  // no match from the block's first byte
            for (size_t d = 1; d <= pos; d++)
                for (size_t m = 1; pos + m <= s_.size() && s_[pos + m - 1] == s_[pos + m - 1 - d]; m++)
                    best = std::min(best, gamma_len(d) + gamma_len(m) + from_token(pos + m));
            match_[pos] = best;
        }
        return match_[pos];
    }

    const bytes &s_;
    std::vector<int64_t> token_, match_;
};

int64_t fewest_bits(const bytes &s)
{
    return FewestBits(s).from_token(0);
}

// Reads the first block of a stream through the reference reader, checks the
// bytes it makes, and counts its bits.
int64_t coded_bits(const bytes &stream, const bytes &want)
{
    const uint32_t skip = QZT_HEADER + QZT_BLOCK_HEADER;
    strm *in = mstrm_new_reader(stream.data() + skip, static_cast<uint32_t>(stream.size() - skip));
    bits *b = bits_new(in);
    int64_t used = 0;
    bytes out(want.size());
    EXPECT_EQ(qzt_ref_decode(b, out.data(), static_cast<int32_t>(out.size()), &used), QZT_OK);
    bits_free(b);
    strm_release(in);
    EXPECT_EQ(out, want);
    return used;
}

bytes random_bytes(std::mt19937 &rng, size_t n, uint32_t alphabet)
{
    bytes s(n);
    for (auto &c : s)
        c = static_cast<uint8_t>('a' + rng() % alphabet);
    return s;
}

// Words and runs of bytes, as in documents.
bytes text(std::mt19937 &rng, size_t n)
{
    static const char *const words[] = {"the ", "stream ", "block ", "of ", "patch ", "file ", "\n", "data, "};
    bytes s;
    while (s.size() < n) {
        for (const char *w = words[rng() % 8]; *w; w++)
            s.push_back(static_cast<uint8_t>(*w));
        if (rng() % 50 == 0)
            s.insert(s.end(), rng() % 40, ' ');
    }
    s.resize(n);
    return s;
}

// Records of small numbers, addresses and zeros, as in programs.
bytes binary(std::mt19937 &rng, size_t n)
{
    bytes s;
    while (s.size() < n) {
        uint32_t kind = rng() % 4;
        uint32_t v = kind == 0 ? rng() % 16 : kind == 1 ? 0x401000 + rng() % 4096 * 4 : kind == 2 ? 0 : rng();
        put_be(s, v, 4);
    }
    s.resize(n);
    return s;
}

}  // namespace

TEST(QztEncode, RoundTripsAtBothLevels)
{
    std::mt19937 rng(11);
    const struct {
        const char *what;
        bytes data;
    } inputs[] = {
        {"empty", {}},
        {"one byte", {0x42}},
        {"one block less one", random_bytes(rng, 32767, 4)},
        {"one block", text(rng, 32768)},
        {"one block and one byte", binary(rng, 32769)},
        {"two blocks", binary(rng, 65536)},
        {"a run of one byte", bytes(100000, 'x')},
        {"a short pattern repeated",
         [] {
             bytes s;
             while (s.size() < 100000)
                 s.insert(s.end(), {'p', 'a', 't', 'c', 'h', 0});
             return s;
         }()},
        {"random bytes", random_bytes(rng, 40000, 256)},
        {"text", text(rng, 70000)},
    };
    for (auto &in : inputs) {
        bytes fast = encode(in.data, QZT_LEVEL_FAST);
        bytes best = encode(in.data, QZT_LEVEL_BEST);
        for (const bytes *s : {&fast, &best}) {
            // Back to back blocks that the reader must take in step.
            FatalReturns fatal;
            EXPECT_EQ(qzt_decompress(*s), in.data) << in.what;
            EXPECT_EQ(fatal.text(), "") << in.what;
            strm *r = mstrm_new_reader(s->data(), static_cast<uint32_t>(s->size()));
            strm *q = qzt_open(r);
            EXPECT_EQ(strm_size(q), in.data.size()) << in.what;
            strm_release(q);
            strm_release(r);
        }
        // The fewest bits per block make the fewest words.
        EXPECT_LE(best.size(), fast.size()) << in.what;
    }
    EXPECT_EQ(encode({}, QZT_LEVEL_BEST), qzt_stream(0, {}));
}

TEST(QztEncode, PiecesOfWholeBlocksMakeTheSameStream)
{
    std::mt19937 rng(12);
    bytes data = text(rng, 2 * QZT_BLOCK + 7000);
    bytes more = binary(rng, QZT_BLOCK + 5000);
    data.insert(data.end(), more.begin(), more.end());
    const uint32_t pieces[] = {2 * QZT_BLOCK, QZT_BLOCK, static_cast<uint32_t>(data.size()) - 3 * QZT_BLOCK};
    for (int level : {QZT_LEVEL_FAST, QZT_LEVEL_BEST}) {
        strm *out = mstrm_new_writer();
        ASSERT_TRUE(qzt_encode_head(static_cast<uint32_t>(data.size()), out));
        uint32_t at = 0;
        for (uint32_t n : pieces) {
            ASSERT_TRUE(qzt_encode_blocks(data.data() + at, n, level, out));
            at += n;
        }
        uint32_t len;
        const uint8_t *p = mstrm_data(out, &len);
        EXPECT_EQ(bytes(p, p + len), encode(data, level)) << "level " << level;
        strm_release(out);
    }
}

TEST(QztEncode, WorkedExamplesAndTheLongestMatch)
{
    const struct {
        std::string text;
        bytes words;
    } examples[] = {
        {"aaaa", {0x4C, 0x36}},
        {"abababab", {0x6C, 0x2C, 0x48, 0xC0}},
        {"xyz", {0x23, 0xC3, 0xCB, 0xD0}},
        {std::string(32768, 'r'), BlockBuilder().literals("r").match(1, 32767).words()},
    };
    for (auto &e : examples) {
        auto n = static_cast<uint16_t>(e.text.size());
        EXPECT_EQ(encode(to_bytes(e.text), QZT_LEVEL_BEST), qzt_stream(n, {{n, e.words}})) << e.text.substr(0, 8);
    }
}

TEST(QztEncode, BestLevelTakesTheFewestBits)
{
    // Every string up to 7 bytes over two letters and up to 5 over three.
    for (auto [letters, longest] : {std::pair{2u, 7u}, std::pair{3u, 5u}}) {
        for (uint32_t len = 1; len <= longest; len++) {
            uint32_t count = 1;
            for (uint32_t i = 0; i < len; i++)
                count *= letters;
            for (uint32_t k = 0; k < count; k++) {
                bytes s;
                for (uint32_t i = 0, v = k; i < len; i++, v /= letters)
                    s.push_back(static_cast<uint8_t>('a' + v % letters));
                ASSERT_EQ(coded_bits(encode(s, QZT_LEVEL_BEST), s), fewest_bits(s)) << std::string(s.begin(), s.end());
            }
        }
    }
    // Longer ones: long literal runs, copies near and far, all byte values.
    std::mt19937 rng(3);
    for (int round = 0; round < 150; round++) {
        bytes s = random_bytes(rng, 1 + rng() % 120, round % 3 == 0 ? 256 : 2 + round % 5);
        for (size_t i = 20; i < s.size(); i++)
            if (round % 2 && rng() % 3)
                s[i] = s[i - 1 - rng() % 20];
        ASSERT_EQ(coded_bits(encode(s, QZT_LEVEL_BEST), s), fewest_bits(s)) << "round " << round;
    }
}

TEST(QztEncode, BestLevelOverManyLongRuns)
{
    // Runs of zeros with one other byte between them, enough to make the
    // encoder leave its match tree for the sets of ranks; then copies near
    // and far for those to find.
    for (uint32_t seed : {2u, 9u}) {
        std::mt19937 rng(seed);
        bytes s;
        while (s.size() < 400) {
            s.insert(s.end(), 1 + rng() % 200, 0);
            s.push_back(static_cast<uint8_t>(1 + rng() % 255));
        }
        s.resize(400);
        for (uint8_t c : random_bytes(rng, 400, 4)) {
            uint8_t copy = s[s.size() - 1 - rng() % 300];
            s.push_back(rng() % 2 ? c : copy);
        }
        EXPECT_EQ(coded_bits(encode(s, QZT_LEVEL_BEST), s), fewest_bits(s)) << "seed " << seed;
    }
}

TEST(QztEncode, FastLevelFindsRepeats)
{
    std::mt19937 rng(9);
    EXPECT_LT(encode(bytes(100000, 0), QZT_LEVEL_FAST).size(), 64u);
    // Within a quarter of the fewest words on text.
    bytes words = text(rng, 65536);
    size_t fast = encode(words, QZT_LEVEL_FAST).size();
    EXPECT_LT(fast, words.size() * 3 / 10);
    EXPECT_LT(fast, encode(words, QZT_LEVEL_BEST).size() * 5 / 4);
    // Random bytes cost little more than themselves.
    bytes noise = random_bytes(rng, 65536, 256);
    EXPECT_LT(encode(noise, QZT_LEVEL_FAST).size(), noise.size() + noise.size() / 50);
}
