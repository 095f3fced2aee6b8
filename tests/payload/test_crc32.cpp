// CRC-32: the sliced tables and, where the processor has it, the folding by
// carry-less multiplication on 256-bit or 128-bit registers, against the
// bit-at-a-time definition; each way as a processor or system without the
// wider instructions takes it.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "payload/crc32.h"
#include "stream/cpu.h"

namespace {

uint32_t crc32_bitwise(uint32_t crc, const uint8_t *data, size_t len)
{
    crc = ~crc;
    while (len--) {
        crc ^= *data++;
        for (int k = 0; k < 8; k++)
            crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

}  // namespace

TEST(Crc32, AgreesWithTheDefinitionAtEveryLengthAndAlignment)
{
    EXPECT_EQ(crc32_update(0, reinterpret_cast<const uint8_t *>("123456789"), 9), 0xCBF43926u);
    std::mt19937 rng(7);
    std::vector<uint8_t> data(70000);
    for (uint8_t &b : data)
        b = static_cast<uint8_t>(rng());
    // Short runs take the tables alone; longer ones fold, with the tables
    // for what is left over; a sum carried on from call to call as the
    // program's pieces carry it.
    for (int32_t features : {cpu_features(), CPU_SSE2 | CPU_PCLMUL, 0}) {
        g_cpu_features = features;
        for (size_t at = 0; at < 17; at++) {
            for (size_t len : {0, 1, 15, 63, 64, 65, 79, 80, 127, 128, 129, 200, 1000, 8192, 69000}) {
                const uint8_t *p = data.data() + at;
                uint32_t want = crc32_bitwise(0, p, len);
                EXPECT_EQ(crc32_update(0, p, len), want) << features << " " << at << " " << len;
                EXPECT_EQ(crc32_update(crc32_update(0, p, len / 3), p + len / 3, len - len / 3), want)
                    << features << " " << at << " " << len;
            }
        }
    }
    g_cpu_features = CPU_UNKNOWN;
}
