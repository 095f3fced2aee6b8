// Delta format: encoder (the format is stream/qzd.h).
//
// qzd_encode codes new_data[0, new_len) against old[0, old_len) into out, any
// writer stream: blocks of 32768 new bytes, the last one holding the rest
// (nothing for an empty new file). Both files are in memory; an index of the
// old file takes 2.5 to 5 times old_len bytes more, the literals' coder
// (encode/qzd_lits.h) about 37 MB and the literals' length. The new file is
// lined up with the old one three ways (one, where a quarter of it is bytes
// that no coding makes shorter), and, where both files are 4 MB or less,
// taken as literals alone a fourth way; where they differ, or where literals
// are coded against an old file, each different one is coded into memory
// (up to four deltas' length more) and the one written that the record's
// compression packs shortest (each packed once more to see). The same
// input gives the same bytes. A new file that has nothing
// in common with the old one costs about what its literal bytes do. With
// code_literals false every block is plain and unfiltered: the literals are
// left to the record's compression as they are, and the coder of literals
// (the most of the time on a file of mostly new bytes) is not run.
#pragma once

#include <cstdint>

#include "stream/strm.h"

// each, where given, runs task(ctx, k) for every k below count, as many at
// once as it has threads for, and returns once all are done: the line-ups
// after the first are then made together, and all coded together, which
// gives the same bytes; those after the first are made only where they may
// be coded. An exception that a task throws
// (std::bad_alloc) is the caller's to pass on once all are done.
using qzd_each_fn = void (*)(void (*task)(void *ctx, int k), void *ctx, int count);
void qzd_encode(const uint8_t *old, uint32_t old_len, const uint8_t *new_data, uint32_t new_len, strm *out,
                bool code_literals, qzd_each_fn each = nullptr);
