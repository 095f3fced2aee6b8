#include "payload/crc32.h"

#include "stream/cpu.h"

static uint32_t g_crc_table[8][256];
static bool g_crc_ready;

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>

#define CRC32_FOLD_TARGET __attribute__((target("pclmul,sse2")))
#define CRC32_WIDE_TARGET __attribute__((target("avx2,vpclmulqdq,pclmul")))

CRC32_FOLD_TARGET static inline __m128i crc32_load(const uint8_t *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// x multiplied by the power of x that k holds for each of its halves, and
// next added.
CRC32_FOLD_TARGET static inline __m128i crc32_fold_in(__m128i x, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// The folded lane x1 brought down to the 32-bit CRC register: to 64 bits
// (with 32 zero bits appended), then to 32 + 32, and reduced by Barrett's
// method.
CRC32_FOLD_TARGET __attribute__((noinline)) static uint32_t crc32_reduce(__m128i x1)
{
    const __m128i k128 = _mm_set_epi32(0x00000000, static_cast<int>(0xccaa009e), 0x00000001, 0x751997d0);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(k128, x1, 0x01));
    const __m128i k64 = _mm_set_epi32(0, 0, 0x00000001, 0x63cd6124);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 4), _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k64, 0x00));
    // Barrett: the quotient by P from the low 32 bits, its product with P
    // added, leaves the remainder in the second 32 bits.
    const __m128i poly =
        _mm_set_epi32(0x00000001, static_cast<int>(0xf7011641), 0x00000001, static_cast<int>(0xdb710641));
    __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10), mask32);
    x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(q, poly, 0x00));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

// The CRC register (not inverted) carried over len bytes, a multiple of 16
// and at least 64, by folding: four 128-bit lanes each multiplied forward
// by x^512 mod P and the next 64 bytes added, the lanes folded into one
// (x^128 mod P), then brought down to 32 bits. The constants are those
// powers of x, bit-reflected as the CRC is. The stack of a 32-bit Windows
// thread is aligned to 4 bytes only, hence the realignment for the vector
// registers spilled there.
CRC32_FOLD_TARGET __attribute__((force_align_arg_pointer)) static uint32_t crc32_fold(uint32_t crc, const uint8_t *data,
                                                                                      size_t len)
{
    __m128i x1 = _mm_xor_si128(crc32_load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = crc32_load(data + 16), x3 = crc32_load(data + 32), x4 = crc32_load(data + 48);
    data += 64;
    len -= 64;
    const __m128i k512 = _mm_set_epi32(0x00000001, static_cast<int>(0xc6e41596), 0x00000001, 0x54442bd4);
    for (; len >= 64; data += 64, len -= 64) {
        x1 = crc32_fold_in(x1, k512, crc32_load(data));
        x2 = crc32_fold_in(x2, k512, crc32_load(data + 16));
        x3 = crc32_fold_in(x3, k512, crc32_load(data + 32));
        x4 = crc32_fold_in(x4, k512, crc32_load(data + 48));
    }
    const __m128i k128 = _mm_set_epi32(0x00000000, static_cast<int>(0xccaa009e), 0x00000001, 0x751997d0);
    x1 = crc32_fold_in(crc32_fold_in(crc32_fold_in(x1, k128, x2), k128, x3), k128, x4);
    for (; len >= 16; data += 16, len -= 16)
        x1 = crc32_fold_in(x1, k128, crc32_load(data));
    return crc32_reduce(x1);
}

CRC32_WIDE_TARGET static inline __m256i crc32_load_wide(const uint8_t *p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

CRC32_WIDE_TARGET static inline __m256i crc32_fold_in_wide(__m256i x, __m256i k, __m256i next)
{
    return _mm256_xor_si256(
        _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00), _mm256_clmulepi64_epi128(x, k, 0x11)), next);
}

// The same over len bytes, a multiple of 64, twice as fast: the four lanes
// two to a register.
CRC32_WIDE_TARGET __attribute__((force_align_arg_pointer)) static uint32_t
crc32_fold_wide(uint32_t crc, const uint8_t *data, size_t len)
{
    __m256i x1 =
        _mm256_xor_si256(crc32_load_wide(data), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
    __m256i x2 = crc32_load_wide(data + 32);
    const __m256i k512 = _mm256_set_epi32(0x00000001, static_cast<int>(0xc6e41596), 0x00000001, 0x54442bd4, 0x00000001,
                                          static_cast<int>(0xc6e41596), 0x00000001, 0x54442bd4);
    for (data += 64, len -= 64; len > 0; data += 64, len -= 64) {
        x1 = crc32_fold_in_wide(x1, k512, crc32_load_wide(data));
        x2 = crc32_fold_in_wide(x2, k512, crc32_load_wide(data + 32));
    }
    const __m128i k128 = _mm_set_epi32(0x00000000, static_cast<int>(0xccaa009e), 0x00000001, 0x751997d0);
    __m128i x = crc32_fold_in(_mm256_castsi256_si128(x1), k128, _mm256_extracti128_si256(x1, 1));
    x = crc32_fold_in(crc32_fold_in(x, k128, _mm256_castsi256_si128(x2)), k128, _mm256_extracti128_si256(x2, 1));
    return crc32_reduce(x);
}
#endif

static void crc32_init()
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        g_crc_table[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; i++)
        for (int t = 1; t < 8; t++)
            g_crc_table[t][i] = g_crc_table[t - 1][i] >> 8 ^ g_crc_table[0][g_crc_table[t - 1][i] & 0xFF];
    g_crc_ready = true;
}

uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t len)
{
    if (!g_crc_ready)
        crc32_init();
    const uint32_t(*t)[256] = g_crc_table;
    crc = ~crc;
#if defined(__i386__) || defined(__x86_64__)
    // Runs of 256 bytes or more fold 256-bit registers where the processor
    // can; shorter ones of 64 or more, and the processors that cannot,
    // 128-bit ones.
    if (len >= 256 && (cpu_features() & CPU_WIDE_CLMUL)) {
        size_t wide = len & ~static_cast<size_t>(63);
        crc = crc32_fold_wide(crc, data, wide);
        data += wide;
        len -= wide;
    }
    if (len >= 64 && (cpu_features() & CPU_PCLMUL)) {
        size_t whole = len & ~static_cast<size_t>(15);
        crc = crc32_fold(crc, data, whole);
        data += whole;
        len -= whole;
    }
#endif
    for (; len >= 8; data += 8, len -= 8) {
        uint32_t lo = crc ^ (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                             static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24);
        uint32_t hi = static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
                      static_cast<uint32_t>(data[6]) << 16 | static_cast<uint32_t>(data[7]) << 24;
        crc = t[7][lo & 0xFF] ^ t[6][lo >> 8 & 0xFF] ^ t[5][lo >> 16 & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
              t[2][hi >> 8 & 0xFF] ^ t[1][hi >> 16 & 0xFF] ^ t[0][hi >> 24];
    }
    while (len--)
        crc = t[0][(crc ^ *data++) & 0xFF] ^ crc >> 8;
    return ~crc;
}
