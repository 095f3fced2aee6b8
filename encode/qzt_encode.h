// Compressed format: encoder.
//
// qzt_encode writes the complete compressed stream of data[0, len) to out, any
// writer stream: magic, total, then blocks of 32768 bytes, the last one
// holding the rest (empty data gives the header alone). The output is exactly
// what qzt_open reads back. QZT_LEVEL_BEST codes every block in the fewest
// bits the code allows, on g_qzt_threads threads (each block on its own, so
// the bytes are the same whatever their number); lower levels match
// greedily, much faster, on one. progress, when given, is called on the calling thread as blocks
// are done, with the bytes done so far, last with len. False when memory
// cannot be had (after its fatal report returns) or out takes fewer bytes
// than it is given.
#pragma once

#include <cstdint>

#include "stream/strm.h"

constexpr int QZT_LEVEL_FAST = 1;
constexpr int QZT_LEVEL_BEST = 9;

constexpr int32_t QZT_MAX_THREADS = 16;
// The best level's threads, 1 to QZT_MAX_THREADS: 2 unless a tool sets it.
extern int32_t g_qzt_threads;

using qzt_progress_fn = void (*)(void *ctx, uint32_t done, uint32_t total);

bool qzt_encode(const uint8_t *data, uint32_t len, int level, strm *out, qzt_progress_fn progress = nullptr,
                void *ctx = nullptr);

// The same stream a piece at a time, for data too large to hold at once:
// qzt_encode_head with the total, then qzt_encode_blocks for each piece in
// order. Every piece but the last must be a whole number of blocks (a multiple
// of QZT_BLOCK bytes), so that the blocks fall where qzt_encode puts them and
// the bytes are the same. False as for qzt_encode.
bool qzt_encode_head(uint32_t total, strm *out);
bool qzt_encode_blocks(const uint8_t *data, uint32_t len, int level, strm *out);
