// Compressed format: encoder.
//
// qzt_encode writes the complete compressed stream of data[0, len) to out, any
// writer stream: magic, total, then blocks of 32768 bytes, the last one
// holding the rest (empty data gives the header alone). The output is exactly
// what qzt_open reads back. QZT_LEVEL_BEST codes every block in the fewest
// bits the code allows, on two threads; lower levels match greedily, much
// faster. progress, when given, is called on the calling thread as blocks
// are done, with the bytes done so far, last with len. False when memory
// cannot be had (after its fatal report returns) or out takes fewer bytes
// than it is given.
#pragma once

#include <cstdint>

#include "stream/strm.h"

constexpr int QZT_LEVEL_FAST = 1;
constexpr int QZT_LEVEL_BEST = 9;

using qzt_progress_fn = void (*)(void *ctx, uint32_t done, uint32_t total);

bool qzt_encode(const uint8_t *data, uint32_t len, int level, strm *out, qzt_progress_fn progress = nullptr,
                void *ctx = nullptr);
