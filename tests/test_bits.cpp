// The bit buffer: words out of and into 16-bit big-endian words.
#include <gtest/gtest.h>

#include <random>

#include "test_util.h"

TEST(BitsPut, FreeFlushesPendingBitsAsOneZeroPaddedWord)
{
    strm *out = mstrm_new_writer();
    bits *b = bits_new(out);
    bits_put(b, 16, 0xBEEF);
    bits_put(b, 5, 0x1F);
    bits_free(b);
    uint32_t len;
    const uint8_t *p = mstrm_data(out, &len);
    EXPECT_EQ(bytes(p, p + len), (bytes{0xBE, 0xEF, 0xF8, 0x00}));

    b = bits_new(out);  // nothing pending: nothing written
    bits_free(b);
    EXPECT_EQ(strm_size(out), 4u);
    bits_free(nullptr);
    strm_release(out);
}

TEST(BitsGet, ReadsBackWhatWasPutAtEveryAlignment)
{
    std::mt19937 rng(1);
    std::vector<std::pair<int, uint32_t>> fields;
    strm *out = mstrm_new_writer();
    strm_putc(out, 0x55);  // an odd start leaves one byte of room at the window's end
    bits *b = bits_new(out);
    for (int i = 0; i < 5000; i++) {
        int n = 1 + static_cast<int>(rng() % 16);
        uint32_t v = rng() & ((1u << n) - 1);
        fields.emplace_back(n, v);
        bits_put(b, n, v);
    }
    bits_free(b);

    uint32_t len;
    const uint8_t *p = mstrm_data(out, &len);
    bytes data(p + 1, p + len);
    strm_release(out);
    EXPECT_EQ(data.size() % 2, 0u);

    strm *in = mstrm_new_reader(data.data(), static_cast<uint32_t>(data.size()));
    b = bits_new(in);
    for (auto [n, v] : fields)
        ASSERT_EQ(bits_get(b, n), v);
    EXPECT_EQ(in->next, in->end);  // every word consumed, none read ahead
    bits_free(b);
    strm_release(in);
}

TEST(BitsGet, AWordCutAfterItsFirstByteEndsInFiller)
{
    bytes data{0x12};
    strm *in = mstrm_new_reader(data.data(), 1);
    bits *b = bits_new(in);
    EXPECT_EQ(bits_get(b, 12), 0x12Eu);
    EXPECT_EQ(bits_get(b, 8), 0xEEu);
    bits_free(b);
    strm_release(in);
}
