// Compressed format encoder: the fast level's parse.
//
// qzt_parse_fast parses a block t[0, n) (1 <= n <= QZT_BLOCK) greedily, from
// hash chains of three bytes with one step of lazy evaluation: several times
// faster than the best level, at some bits more. It returns the tokens, held
// in w until its next parse.
#pragma once

#include <cstdint>

#include "encode/qzt_enc.h"

constexpr int32_t QZT_HASH_BITS = 15;

struct qzt_fast_state {
    qzt_tokens tokens;
    int16_t head[1 << QZT_HASH_BITS];  // most recent position of each hash of three bytes
    int16_t prev[QZT_BLOCK];           // per position: the one before it of the same hash
};

const qzt_tokens *qzt_parse_fast(qzt_fast_state *w, const uint8_t *t, int32_t n);
