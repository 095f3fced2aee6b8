// Delta format: the coder of a block's literals (the format is stream/qzd.h).
//
// The literals of all blocks go on one stream, as the decoder keeps it; each
// block's are coded as matches back in it and literal bytes through the
// model the decoder keeps. The coder holds the stream, a hash chain over its
// last QZD_WINDOW bytes (16 MB) and a 4 MB table of heads: about 21 MB and the
// stream's length. The same input gives the same bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

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

struct qzd_lit_coder;

qzd_lit_coder *qzd_lit_coder_new();
void qzd_lit_coder_free(qzd_lit_coder *c);

// Adds the block's n literals to the stream. Where their coded section, with
// the word that gives its length, saves a sixteenth of the n bytes, the section
// (padded to whole words) goes into *out and it returns true; else the model
// goes back to what it was before, as the decoder's stays over a plain
// block, and it returns false.
bool qzd_lit_code(qzd_lit_coder *c, const uint8_t *lits, uint32_t n, std::vector<uint8_t> *out);
