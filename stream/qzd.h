// Delta format: a new file coded against an old one, and its block decoder.
//
// A delta is blocks back to back: sync word 0x7A64, new length n (1 to
// 32768), then coded words, as in the compressed format (16-bit big-endian
// words, bits most significant first, a block starting on a word of its own).
// Gamma codes here take up to 31 leading zeros, so a value may be any 32-bit
// number but 0. A block is tokens until its n bytes are made:
//   gamma(L + 1) and L literal bytes; the old position moves on by L, as if
//     the literals replaced old bytes (a changed byte costs no new offset);
//   then, unless the block is full, one of
//   1   an old copy: gamma(zigzag(offset) + 1) moves the old position by the
//       signed offset, gamma(M) copies M old bytes from there (the position
//       moves on past them), gamma(K + 1) and K changes, each gamma(gap + 1)
//       (copied bytes it skips) and the change there: 1 and gamma(r + 1) the
//       r-th of the last QZD_CHANGES changes, or a new one: 00 and 8 bits
//       added to the byte, 010 and gamma(zigzag(value) + 1) added to the
//       32-bit little-endian word (inside the copy), 011 the same for a
//       relative word, which takes the value less the copy's shift (new
//       position less old). The change then stands first among the last ones
//       (move to front), and the next gap counts from the end of what it
//       changed. A rebuilt program's moved addresses come out as a few such
//       changes, over and over;
//   01  a copy of M = gamma(M) bytes of new data from the last distance;
//   00  the same from a new distance gamma(D), at most QZD_WINDOW back.
// The old position, the last distance (0 at first) and the last changes (all
// byte changes of 0 at first) go on from block to block, and so do the QZD_WINDOW bytes of
// new data before each block.
//
// The old file is read through a window of its own, never whole. A token that
// reaches outside the old file, before the new data or past its block, or a
// gamma code of more than 31 zeros, is a corrupt block.
#pragma once

#include <cstdint>

#include "stream/qzt.h"
#include "stream/strm.h"

constexpr uint16_t QZD_SYNC = 0x7A64;
constexpr int32_t QZD_WINDOW = 32768;      // how far back a copy of new data reaches
constexpr int32_t QZD_OLD_WINDOW = 65536;  // the old file's bytes held at once
constexpr uint32_t QZD_CHANGES = 128;      // changes that a change may name again

// The old file as the decoder reads it.
struct qzd_old {
    strm *file;  // a reader with seek, the decoder's own reference
    uint32_t size;
    uint32_t at;   // old position of buf[0]
    uint32_t len;  // bytes held
    uint8_t buf[QZD_OLD_WINDOW];
};

// A change: what it adds, and to what.
enum : uint32_t {
    QZD_BYTE = 0,
    QZD_WORD = 1,
    QZD_RELATIVE = 2
};
struct qzd_change {
    uint32_t kind;
    uint32_t value;
};

// What goes on from one block to the next.
struct qzd_state {
    uint32_t old_pos;
    uint32_t dist;
    qzd_change change[QZD_CHANGES];  // the latest first
    uint32_t made;                   // new bytes made so far
    // QZD_WINDOW bytes of new data, then room for a block: a block is made
    // at window + QZD_WINDOW, and the window moves on after it.
    uint8_t window[QZD_WINDOW + QZT_BLOCK];
};

// Starts a delta against old, a reader of size bytes; old's reference
// stays the caller's until qzd_old_free. Null (after a report) without memory.
qzd_old *qzd_old_new(strm *file, uint32_t size);
void qzd_old_free(qzd_old *o);
// A fresh state; null (after a report) without memory. Freed with free().
qzd_state *qzd_state_new();

// Reads the next block header from in and decodes the block into
// s->window + QZD_WINDOW, moving the window on afterwards is the caller's
// (qzd_next). QZT_OK, QZT_END, QZT_SYNC_LOST, QZT_BAD_LENGTH or QZT_CORRUPT
// (a corrupt block zero-filled from the fault on); *n is the header's length.
int32_t qzd_read_block(strm *in, qzd_state *s, qzd_old *o, int32_t *n);
// Moves the window on past the block of n bytes just made.
void qzd_next(qzd_state *s, int32_t n);
