#include <cstring>

#include "diag/diag.h"
#include "stream/cpu.h"
#include "stream/qzt.h"

#if defined(__i386__) || defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

// The decoder's bit buffer is a machine word: 64 bits on 64-bit builds, 32 on
// the 32-bit program, where a wider one would live in register pairs.
using qzt_acc = uintptr_t;
constexpr int ACC_BITS = 8 * sizeof(qzt_acc);
constexpr ptrdiff_t ACC_BYTES = sizeof(qzt_acc);
// Most literal bytes taken from one buffer: it is stored whole, and shifting
// it by its whole width is undefined.
constexpr uint32_t LIT_CHUNK = ACC_BYTES - 1;
// Runs this long or longer go a whole buffer at a time, from the window's
// bytes shifted into place: most of a file that does not compress.
constexpr uint32_t LIT_LONG = 4 * ACC_BYTES;

// A buffer's value from or to its bytes in big-endian order.
inline qzt_acc qzt_be(qzt_acc v)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        if constexpr (sizeof v == 8)
            return static_cast<qzt_acc>(__builtin_bswap64(v));
        else
            return static_cast<qzt_acc>(__builtin_bswap32(static_cast<uint32_t>(v)));
    }
    return v;
}

inline qzt_acc qzt_load_be(const uint8_t *p)
{
    qzt_acc v;
    memcpy(&v, p, sizeof v);
    return qzt_be(v);
}

inline void qzt_store_be(uint8_t *p, qzt_acc v)
{
    v = qzt_be(v);
    memcpy(p, &v, sizeof v);
}

// Eight bytes loaded whole, then stored: the two may overlap.
inline void qzt_copy8(uint8_t *to, const uint8_t *from)
{
    uint8_t v[8];
    memcpy(v, from, 8);
    memcpy(to, v, 8);
}

// Leading zeros of a buffer, ACC_BITS for an empty one.
inline int qzt_clz(qzt_acc v)
{
    if (!v)
        return ACC_BITS;
    if constexpr (sizeof v == 8)
        return __builtin_clzll(v);
    else
        return __builtin_clz(static_cast<uint32_t>(v));
}

#if defined(__i386__) || defined(__x86_64__)
// Literal bytes sixteen at a time, count times: out[i] is the last n (0 to
// 7) bits of in[i - 1] above the first 8 - n bits of in[i]. Each byte's two
// parts are shifted in 16-bit lanes and the bits that cross into the lane's
// other byte masked off. The stack of a 32-bit Windows thread is aligned to
// 4 bytes only, hence the realignment for any vector spilled there.
__attribute__((target("sse2"), force_align_arg_pointer, noinline)) void qzt_shift16(uint8_t *out, const uint8_t *in,
                                                                                    uint32_t count, int n)
{
    const __m128i up = _mm_cvtsi32_si128(8 - n), down = _mm_cvtsi32_si128(n);
    const __m128i high = _mm_set1_epi8(static_cast<char>(0xFF << (8 - n)));
    const __m128i low = _mm_set1_epi8(static_cast<char>(0xFF >> n));
    for (uint32_t i = 0; i < count; i++, in += 16, out += 16) {
        __m128i a = _mm_sll_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in - 1)), up);
        __m128i b = _mm_srl_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)), down);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_or_si128(_mm_and_si128(a, high), _mm_and_si128(b, low)));
    }
}
#endif

}  // namespace

// The decoder reads bytes straight from the stream's window into a bit
// buffer, as many as fit, and gives back at the end the whole words it held
// but did not use. Only when a bit is needed that is not held and the window
// has no whole word left does it go to the stream for one word, which may
// refill the window: so the stream ends where a word-at-a-time reader would
// leave it, and a range reader sees the same reads. The block's limits are
// tested once per token, so the literal and copy loops run unchecked.
int32_t qzt_decode_block(bits *b, uint8_t *dest, int32_t n)
{
    if (n <= 0)
        return QZT_OK;
    strm *io = b->io;
    uint8_t *in = io->next;  // the window's next byte that the buffer has not counted
    uint8_t *end = io->end;
    // Held bits at the top; the bits below them are zero or the stream's next
    // bits, so a later load may be ORed in over them.
    qzt_acc acc = static_cast<qzt_acc>(b->acc) << (ACC_BITS - 16);
    int nbits = b->nbits;
    uint8_t *out = dest;
    uint8_t *const lim = dest + n;
#if defined(__i386__) || defined(__x86_64__)
    // Asked here, once: a call in the token loop costs it registers.
    const bool sse2 = (cpu_features() & CPU_SSE2) != 0;
#endif

    // clang-format 14 lays out a lambda with an attribute as a function: the
    // decoder's helpers keep their layout by hand.
    // clang-format off
    // As many whole bytes as fit below a full buffer, from a window that
    // holds at least a buffer's worth, with no branch on the count: the
    // buffer then holds 24 to 31 bits on the 32-bit build (56 to 63 on 64-bit
    // ones), enough for any gamma code of up to 11 zeros.
    auto refill_fast = [&]() __attribute__((always_inline)) {
        acc |= qzt_load_be(in) >> nbits;
        in += (ACC_BYTES - 1) - (nbits >> 3);
        nbits |= ACC_BITS - 8;
    };
    // The window's words start at grid's parity. Before words are counted
    // again, a byte counted without the rest of its word is given back, or,
    // when fewer than eight bits are held, the word's second byte is counted
    // too: the load that counted the first had it in the window.
    uint8_t *grid = in;
    auto align = [&]() __attribute__((always_inline)) {
        if ((in - grid) & 1) {
            if (nbits >= 8) {
                in--;
                nbits -= 8;
            } else {
                acc |= static_cast<qzt_acc>(*in) << (ACC_BITS - 8 - nbits);
                in++;
                nbits += 8;
            }
        }
    };
    // As many whole words from the window as the buffer takes, never past it.
    auto refill = [&]() __attribute__((always_inline)) {
        if (end - in >= ACC_BYTES) [[likely]] {
            refill_fast();
            return;
        }
        align();
        while (nbits <= ACC_BITS - 16 && end - in >= 2) {
            acc |= static_cast<qzt_acc>(in[0] << 8 | in[1]) << (ACC_BITS - 16 - nbits);
            in += 2;
            nbits += 16;
        }
    };
    // One word from the stream itself: the window holds no whole word. Input
    // that has run out reads as 0xEEEE.
    auto fetch = [&]() __attribute__((always_inline)) {
        io->next = in;
        acc |= static_cast<qzt_acc>(strm_get16(io)) << (ACC_BITS - 16 - nbits);
        in = io->next;
        grid = in;
        end = io->end;
        nbits += 16;
    };
    // The next k (1 to 16) bits.
    auto get = [&](int k) __attribute__((always_inline)) -> uint32_t {
        if (nbits < k) {
            refill();
            if (nbits < k)
                fetch();
        }
        auto v = static_cast<uint32_t>(acc >> (ACC_BITS - k));
        acc <<= k;
        nbits -= k;
        return v;
    };
    // Set when a faulty code's zeros fill a whole word: a word-at-a-time
    // reader holds that word and reads no further code of the block.
    bool stopped = false;
    // The gamma codes that the buffer does not hold whole, and faults.
    auto gamma_rest = [&]() __attribute__((always_inline)) -> uint32_t {
        align();
        int z = qzt_clz(acc);
        int zeros = z < nbits ? z : nbits;
        if (zeros > 15) {
            // Consumed as a word-at-a-time reader would: the zeros up to the
            // end of the word that holds the sixteenth, and that whole word
            // when it is all zeros.
            int k = (nbits & 15) + 16;
            stopped = zeros >= k;
            k = stopped ? k : zeros;
            acc <<= k;
            nbits -= k;
            return 0;
        }
        if (z < nbits) {
            acc <<= z;
            nbits -= z;
            return get(z + 1);
        }
        // Every held bit is zero and the window is used up: word by word.
        z = nbits;
        acc = 0;
        nbits = 0;
        fetch();
        int c = qzt_clz(acc);
        if (c >= 16) {
            acc = 0;
            nbits = 0;
            stopped = true;
            return 0;
        }
        z += c;
        acc <<= c;
        nbits -= c;
        return z > 15 ? 0 : get(z + 1);
    };
    // A gamma value, or 0 for a code of more than 15 leading zeros. The
    // buffer is topped up first whatever it holds: a branch on its count
    // would be mispredicted half the time.
    auto gamma = [&]() __attribute__((always_inline)) -> uint32_t {
        refill();
        int z = qzt_clz(acc);
        if (z <= 15 && 2 * z + 1 <= nbits) {
            auto v = static_cast<uint32_t>(acc >> (ACC_BITS - 1 - 2 * z));
            acc <<= 2 * z + 1;
            nbits -= 2 * z + 1;
            return v;
        }
        return gamma_rest();
    };
    // The long part of a literal run of lits bytes, after a whole chunk has
    // left fewer than eight bits held: a buffer's worth of the window's
    // bytes at a time, shifted down below the held bits and stored, whose
    // last bits are then the ones held; with SSE2, after the first buffer
    // (the held bits then lie in the byte before the window's next), sixteen
    // bytes at a time. The run's bytes and the window's are counted once for
    // all the steps; the window's last byte is left to the other paths, as
    // refill_fast leaves it, so that a word whose first byte has been counted
    // has its second in the window (see align). Gives back the bytes left.
    auto literal_step = [&]() __attribute__((always_inline)) {
        qzt_acc w = qzt_load_be(in);
        qzt_store_be(out, acc | w >> nbits);
        acc = w << 1 << (ACC_BITS - 1 - nbits);
        in += ACC_BYTES;
        out += ACC_BYTES;
    };
    auto literal_run = [&](uint32_t lits) __attribute__((always_inline)) -> uint32_t {
        uint32_t room = static_cast<uint32_t>(end - in) - 1;
        uint32_t whole = lits < room ? lits : room;
#if defined(__i386__) || defined(__x86_64__)
        if (whole >= ACC_BYTES + 16 && sse2) {
            literal_step();
            uint32_t count = (whole - ACC_BYTES) / 16;
            qzt_shift16(out, in, count, nbits);
            in += 16 * count;
            out += 16 * count;
            acc = static_cast<qzt_acc>(in[-1]) << 1 << (ACC_BITS - 1 - nbits);
            lits -= ACC_BYTES + 16 * count;
            whole -= ACC_BYTES + 16 * count;
        }
#endif
        uint32_t steps = whole / ACC_BYTES;
        for (uint32_t i = 0; i < steps; i++)
            literal_step();
        return lits - steps * ACC_BYTES;
    };
    // The literal bytes of a run of lits, from a window and into a block
    // that both have a buffer's worth left: up to a chunk from a full buffer
    // at a time, stored in one go (the bytes past them land inside the block
    // and are written over), until either has less. The first chunk is
    // stored even for no literals: most runs are of 0 to 3 bytes, and a
    // branch on them would often be mispredicted. Gives back the bytes left.
    auto literal_chunks = [&](uint32_t lits) __attribute__((always_inline)) -> uint32_t {
        do {
            refill_fast();
            uint32_t k = lits < LIT_CHUNK ? lits : LIT_CHUNK;
            qzt_store_be(out, acc);
            acc <<= 8 * k;
            nbits -= 8 * k;
            out += k;
            lits -= k;
            if (lits >= LIT_LONG)
                lits = literal_run(lits);
        } while (lits > 0 && end - in >= ACC_BYTES && lim - out >= ACC_BYTES);
        return lits;
    };
    // clang-format on

    int32_t status = QZT_OK;
    for (;;) {
        uint32_t run = gamma();
        if (run == 0 || run - 1 > static_cast<uint32_t>(lim - out)) {
            status = QZT_CORRUPT;
            break;
        }
        uint32_t lits = run - 1;
        // In chunks while the window and the block have a buffer's worth
        // left; then a byte at a time, and in chunks again once a byte has
        // refilled the window.
        if (end - in >= ACC_BYTES && lim - out >= ACC_BYTES) [[likely]]
            lits = literal_chunks(lits);
        while (lits > 0) {
            *out++ = static_cast<uint8_t>(get(8));
            lits--;
            if (lits > 0 && end - in >= ACC_BYTES && lim - out >= ACC_BYTES)
                lits = literal_chunks(lits);
        }
        if (out == lim)
            break;

        uint32_t dist = gamma();
        uint32_t len = stopped ? 0 : gamma();
        if (dist == 0 || len == 0 || dist > static_cast<uint32_t>(out - dest)) {
            status = QZT_CORRUPT;
            break;
        }
        if (len > static_cast<uint32_t>(lim - out)) {
            dbg_trace("qzt_decode: 古いqzt.exeで圧縮した?");
            len = static_cast<uint32_t>(lim - out);
        }
        const uint8_t *from = out - dist;
        if ((dist >= 8 || len <= dist) && static_cast<uint32_t>(lim - out) >= len + 32) {
            // Eight bytes at a time, each piece loaded before it is stored.
            // Either the source lies a whole piece or more back, or every
            // byte the match takes lies before it and the bytes a piece
            // stores past the match are written over later. Four pieces are
            // copied whatever the length: most matches fit them.
            qzt_copy8(out, from);
            qzt_copy8(out + 8, from + 8);
            qzt_copy8(out + 16, from + 16);
            qzt_copy8(out + 24, from + 24);
            for (uint32_t i = 32; i < len; i += 8)
                qzt_copy8(out + i, from + i);
            out += len;
        } else {
            for (uint32_t i = 0; i < len; i++)
                *out++ = from[i];
        }
        if (out == lim)
            break;
    }
    align();
    // The whole words held go back to the window; the bits left of the last
    // word used stay with b, at the top of its low 16 bits.
    io->next = in - 2 * (nbits >> 4);
    b->nbits = nbits & 15;
    b->acc = static_cast<uint32_t>(acc >> (ACC_BITS - 16)) & (0xFFFF0000u >> (nbits & 15)) & 0xFFFF;
    // A corrupt block still holds defined bytes, whatever the caller does next.
    if (status == QZT_CORRUPT)
        memset(out, 0, static_cast<size_t>(lim - out));
    return status;
}

void qzt_decode(bits *b, uint8_t *dest, int32_t n)
{
    if (qzt_decode_block(b, dest, n) == QZT_CORRUPT)
        fatal_error("qzt block corrupt");
}

int32_t qzt_block_head(strm *in, uint16_t sync, int32_t *n)
{
    *n = 0;
    if (in->next >= in->end && in->kind->at_end(in))
        return QZT_END;
    if (strm_get16(in) != sync)
        return QZT_SYNC_LOST;
    *n = strm_get16(in);
    return *n == 0 || *n > QZT_BLOCK ? QZT_BAD_LENGTH : QZT_OK;
}

int32_t qzt_read_block(strm *in, uint8_t *dest, int32_t *n)
{
    int32_t head = qzt_block_head(in, QZT_SYNC, n);
    if (head != QZT_OK)
        return head;
    // Blocks start on a word of their own: the bits left over in the last
    // word of a block are padding.
    bits b = {0, 0, in};
    return qzt_decode_block(&b, dest, *n);
}
