// Delta format: the coder of a block's literals (the format is stream/qzd.h).
//
// The literals of all blocks go on one stream, as the decoder keeps it; each
// block's are coded as matches back in it and literal bytes through the
// model the decoder keeps. The coder holds the stream, a hash chain over its
// last QZD_WINDOW bytes (16 MB), a 16 MB table of heads, 1.25 MB of heads
// of short matches, the record compression's parse of a block (0.6 MB) and
// the matches found in a block for its second parse (8 bytes each, about 5
// a byte: 1 MB or so, 33 MB at the very most): about 37 MB and the stream's
// length. The same input gives the same bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "stream/qzd.h"

// How many bytes a and b agree over from their starts, most at most: eight
// at a time, the first that differs found in the lowest one that does (the
// coders run on little-endian machines).
inline uint32_t qzd_match(const uint8_t *a, const uint8_t *b, uint32_t most)
{
    uint32_t n = 0;
    while (n + 8 <= most) {
        uint64_t x, y;
        memcpy(&x, a + n, sizeof x);
        memcpy(&y, b + n, sizeof y);
        if (x != y)
            return n + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < most && a[n] == b[n])
        n++;
    return n;
}

// The range coder's writer: the first byte it makes is always 0 and is left
// out, as the decoder's code starts with the next four.
struct qzd_rc_enc {
    uint64_t low = 0;
    uint32_t range = 0xFFFFFFFFu;
    uint8_t cache = 0;
    uint64_t pending = 1;
    std::vector<uint8_t> *out;
    int step = QZD_PROB_MOVE;  // the section's step, QZD_TOK_MOVE for tokens

    void shift_low()
    {
        if (static_cast<uint32_t>(low) < 0xFF000000u || (low >> 32) != 0) {
            auto carry = static_cast<uint8_t>(low >> 32);
            uint8_t t = cache;
            do {
                out->push_back(static_cast<uint8_t>(t + carry));
                t = 0xFF;
            } while (--pending);
            cache = static_cast<uint8_t>(low >> 24);
        }
        pending++;
        low = (low & 0x00FFFFFFu) << 8;
    }
    void norm()
    {
        if (range < (1u << 24)) {
            range <<= 8;
            shift_low();
        }
    }
    // move 0: the section's own step.
    void bit(uint16_t *p, uint32_t b, int move = 0)
    {
        move = move ? move : step;
        uint32_t bound = (range >> QZD_PROB_BITS) * *p;
        if (b) {
            low += bound;
            range -= bound;
            *p = static_cast<uint16_t>(*p - (*p >> move));
        } else {
            range = bound;
            *p = static_cast<uint16_t>(*p + (((1 << QZD_PROB_BITS) - *p) >> move));
        }
        norm();
    }
    // A byte as an 8-bit tree, its top bit first: node 1, then node * 2 + bit.
    void tree8(uint16_t *p, uint32_t value, int move = 0)
    {
        for (uint32_t j = 8, node = 1; j-- > 0;) {
            uint32_t b = value >> j & 1;
            bit(&p[node], b, move);
            node = node << 1 | b;
        }
    }
    void direct(uint32_t b)
    {
        range >>= 1;
        if (b)
            low += range;
        norm();
    }
    void gamma(qzd_gamma_model *g, uint32_t v)
    {
        int z = 31 - __builtin_clz(v);
        for (int k = 0; k < z; k++)
            bit(&g->zero[k], 0);
        bit(&g->zero[z], 1);
        for (int j = 0; j < z; j++) {
            uint32_t b = v >> (z - 1 - j) & 1;
            if (j < QZD_TREE)
                bit(&g->tree[z][v >> (z - j)], b);
            else
                direct(b);
        }
    }
    // The bytes left in low; trailing zeros go, as the decoder reads zeros
    // past the section's end. Any value of the last range decodes the same,
    // so low first takes the one with the most zero bits below it.
    void finish()
    {
        uint64_t top = low + range - 1;
        for (int k = 32; k > 0; k--) {
            uint64_t v = top & ~((uint64_t{1} << k) - 1);
            if (v >= low) {
                low = v;
                break;
            }
        }
        for (int k = 0; k < 5; k++)
            shift_low();
        out->erase(out->begin());
        while (!out->empty() && out->back() == 0)
            out->pop_back();
        if (out->size() % 2)
            out->push_back(0);
    }
};

struct qzd_lit_coder;

qzd_lit_coder *qzd_lit_coder_new();
void qzd_lit_coder_free(qzd_lit_coder *c);

// Puts the old file's first n bytes (at most QZD_WINDOW) on the stream
// before any literal, as a delta's first block with QZD_PRIMED has the
// decoder do, so that literals may match them.
void qzd_lit_prime(qzd_lit_coder *c, const uint8_t *old, uint32_t n);

// Adds the block's n literals to the stream and codes them both ways, their
// bytes through the context model and through the flat one (the context
// model's parsed twice, the second time by the prices its first coding
// ended with). Where a coded
// section, with the word that gives its length, saves enough of the n bytes
// (the shorter one where both do), it goes (padded to whole words) into *out
// and it returns the sync word's bits for it (QZD_CODED_LITS and
// QZD_REP_LITS, with QZD_FLAT_LITS for the flat model); else the model goes
// back to what it was before, as the decoder's stays over a plain block, and
// it returns 0.
uint16_t qzd_lit_code(qzd_lit_coder *c, const uint8_t *lits, uint32_t n, std::vector<uint8_t> *out);
