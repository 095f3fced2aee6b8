// Compressed format encoder: what its parts share.
//
// A token is gamma(L + 1), L literal bytes, then (unless the block is full)
// gamma(D) and gamma(M). A gamma code of v takes 2 * floor(log2 v) + 1 bits,
// so costs depend only on the "class" floor(log2 v) of each value. Each level
// parses a block of 1 to QZT_BLOCK bytes into qzt_tokens, which
// qzt_encode.cpp codes.
#pragma once

#include <cstdint>

#include "stream/qzt.h"

static_assert(QZT_BLOCK <= 32768, "block positions fit in int16_t, and their ends in uint16_t");

struct qzt_token {
    int32_t start;  // first literal
    int32_t lits;
    int32_t dist;  // 0: the literals end the block
    int32_t len;
};

struct qzt_tokens {
    int32_t count;
    qzt_token at[QZT_BLOCK + 1];
};

static inline int32_t qzt_log2(uint32_t v)
{
    return 31 - __builtin_clz(v);
}

static inline int32_t qzt_gamma_bits(uint32_t v)
{
    return 2 * qzt_log2(v) + 1;
}

// The largest value of class c, 2^(c+1) - 1: the farthest distance, or the
// longest match, that class c codes.
static constexpr int32_t qzt_class_top(int32_t c)
{
    return (2 << c) - 1;
}

// The longest literal run whose gamma(L + 1) is of class k.
static constexpr int32_t qzt_run_reach(int32_t k)
{
    return qzt_class_top(k) - 1;
}

static inline uint32_t qzt_hash3(const uint8_t *t, int32_t bits)
{
    return (static_cast<uint32_t>(t[0] << 16 | t[1] << 8 | t[2]) * 2654435761u) >> (32 - bits);
}
