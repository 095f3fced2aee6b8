#include <cstring>

#include "diag/diag.h"
#include "stream/qzt.h"

// The decoder keeps the bit buffer in locals and reads its words inline from
// the stream's window; every limit is tested once per token, so the literal
// and copy loops run unchecked.
int32_t qzt_decode_block(bits *b, uint8_t *dest, int32_t n)
{
    if (n <= 0)
        return QZT_OK;
    strm *io = b->io;
    uint32_t acc = b->acc;
    int32_t nbits = b->nbits;
    uint8_t *out = dest;
    uint8_t *const lim = dest + n;

    auto get = [&](int count) -> uint32_t {
        acc <<= count;
        nbits -= count;
        if (nbits < 0) {
            acc |= static_cast<uint32_t>(strm_get16(io)) << -nbits;
            nbits += 16;
        }
        uint32_t v = acc >> 16;
        acc &= 0xFFFF;
        return v;
    };
    // A gamma value, or 0 for a code of more than 15 leading zeros. A run of
    // zeros may span any number of words.
    auto gamma = [&]() -> uint32_t {
        int z = 0;
        for (;;) {
            int c = acc ? __builtin_clz(acc) - 16 : 16;
            if (c < nbits) {
                z += c;
                nbits -= c;
                acc = (acc << c) & 0xFFFF;
                break;
            }
            z += nbits;
            if (z > 15)
                return 0;
            acc = strm_get16(io);
            nbits = 16;
        }
        return z > 15 ? 0 : get(z + 1);
    };

    for (;;) {
        uint32_t run = gamma();
        if (run == 0 || run - 1 > static_cast<uint32_t>(lim - out))
            goto corrupt;
        for (uint32_t i = 1; i < run; i++)
            *out++ = static_cast<uint8_t>(get(8));
        if (out == lim)
            break;

        uint32_t dist = gamma();
        uint32_t len = gamma();
        if (dist == 0 || len == 0 || dist > static_cast<uint32_t>(out - dest))
            goto corrupt;
        if (len > static_cast<uint32_t>(lim - out)) {
            dbg_trace("qzt_decode: 古いqzt.exeで圧縮した?");
            len = static_cast<uint32_t>(lim - out);
        }
        const uint8_t *from = out - dist;
        for (uint32_t i = 0; i < len; i++)
            *out++ = from[i];
        if (out == lim)
            break;
    }
    b->acc = acc;
    b->nbits = nbits;
    return QZT_OK;

corrupt:
    b->acc = acc;
    b->nbits = nbits;
    // The block still holds defined bytes, whatever the caller does next.
    memset(out, 0, static_cast<size_t>(lim - out));
    return QZT_CORRUPT;
}

void qzt_decode(bits *b, uint8_t *dest, int32_t n)
{
    if (qzt_decode_block(b, dest, n) == QZT_CORRUPT)
        fatal_error("qzt block corrupt");
}

int32_t qzt_read_block(strm *in, uint8_t *dest, int32_t *n)
{
    *n = 0;
    if (in->next >= in->end && in->kind->at_end(in))
        return QZT_END;
    if (strm_get16(in) != QZT_SYNC)
        return QZT_SYNC_LOST;
    *n = strm_get16(in);
    if (*n == 0 || *n > QZT_BLOCK)
        return QZT_BAD_LENGTH;
    // Blocks start on a word of their own: the bits left over in the last
    // word of a block are padding.
    bits b = {0, 0, in};
    return qzt_decode_block(&b, dest, *n);
}
