#include "stream/bits.h"

#include <cstdlib>

#include "diag/diag.h"

bits *bits_new(strm *io)
{
    auto *b = static_cast<bits *>(malloc(sizeof(bits)));
    if (!b) {
        fatal_error("out of memory");
        return nullptr;
    }
    b->nbits = 0;
    b->acc = 0;
    b->io = strm_addref(io);
    return b;
}

void bits_free(bits *b)
{
    if (!b)
        return;
    // Only a writer has a drain slot; fifteen zero bits push out any pending
    // bits as one last word and emit nothing when none are pending.
    if (b->io->kind->drain)
        bits_put(b, 15, 0);
    strm_release(b->io);
    free(b);
}

uint32_t bits_get(bits *b, int n)
{
    b->acc <<= n;
    b->nbits -= n;
    if (b->nbits < 0) {
        b->acc |= static_cast<uint32_t>(strm_get16(b->io)) << -b->nbits;
        b->nbits += 16;
    }
    uint32_t v = b->acc >> 16;
    b->acc &= 0xFFFF;
    return v;
}

void bits_put(bits *b, int n, uint32_t value)
{
    b->nbits += n;
    b->acc |= value << (32 - b->nbits);
    if (b->nbits < 16)
        return;
    strm *io = b->io;
    auto word = static_cast<uint8_t>(b->acc >> 24);
    auto low = static_cast<uint8_t>(b->acc >> 16);
    if (io->end - io->next >= 2) {
        io->next[0] = word;
        io->next[1] = low;
        io->next += 2;
    } else {
        // A window with an odd byte of room left: go byte by byte, draining
        // in between, rather than store past its end.
        strm_putc(io, word);
        strm_putc(io, low);
    }
    b->acc <<= 16;
    b->nbits -= 16;
}
