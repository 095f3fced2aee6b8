// Delta format: a new file coded against an old one, and its block decoder.
//
// A delta is blocks back to back: sync word 0x7A64, the block's new length n
// (1 to 32768), the count L of its literal bytes (0 to n), the L bytes, then
// coded words as in the compressed format (16-bit big-endian words, bits most
// significant first, the last word padded). The literals lie apart from the
// words, byte by byte, so that a compressed stream around the delta packs
// them as it packs any file. Gamma codes here take up to 31 leading zeros,
// so a value may be any 32-bit number but 0. A block is tokens until its n
// bytes are made:
//   gamma(R + 1): the next R literal bytes; the old position moves on by R,
//     as if they replaced old bytes (a changed byte costs no new offset);
//   then, unless the block is full, an old copy: gamma(zigzag(offset) + 1)
//     moves the old position by the signed offset, gamma(M) copies M old
//     bytes from there (the position moves on past them), gamma(K + 1) and K
//     changes, each gamma(gap + 1) (copied bytes it skips) and the change
//     there: 1 and gamma(r + 1) the r-th of the last QZD_CHANGES changes, or
//     a new one: 00 and 8 bits added to the byte, 010 and
//     gamma(zigzag(value) + 1) added to the 32-bit little-endian word
//     (inside the copy), 011 the same for a relative word, which takes the
//     value less the copy's shift (new position less old). The change then
//     stands first among the last ones (move to front), and the next gap
//     counts from the end of what it changed. A rebuilt program's moved
//     addresses come out as a few such changes, over and over.
// The old position and the last changes (all byte changes of 0 at first) go
// on from block to block. A block uses all its literals.
//
// The old file is read through pages of its own, never into memory whole.
// A token that reaches outside the old file, past its block or its literals,
// or a gamma code of more than 31 zeros, is a corrupt block.
#pragma once

#include <cstdint>

#include "stream/bstrm.h"
#include "stream/qzt.h"
#include "stream/strm.h"

constexpr uint16_t QZD_SYNC = 0x7A64;
constexpr int32_t QZD_BLOCK_HEADER = 6;  // sync word, n and L
constexpr uint32_t QZD_CHANGES = 128;    // changes that a change may name again
static_assert((QZD_CHANGES & (QZD_CHANGES - 1)) == 0, "the last changes' ring wraps by a mask");

// The old file as the decoder reads it: pages of QZD_OLD_PAGE bytes at
// multiples of that size, page p held in slot p % QZD_OLD_PAGES, so that
// the old bytes that short copies come back to are read once, and a run of
// pages fills neighbouring slots with one read. A copy of QZD_OLD_DIRECT
// bytes or more is read straight into the new bytes where its pages are not
// held. The memory is the same whatever the file's size.
constexpr uint32_t QZD_OLD_PAGE = 4096;
constexpr uint32_t QZD_OLD_PAGES = 32;
constexpr uint32_t QZD_OLD_DIRECT = 8192;
constexpr uint32_t QZD_OLD_NONE = 0xFFFFFFFFu;  // a slot that holds no page
struct qzd_old {
    strm *file;  // a reader with seek, the decoder's own reference
    uint32_t size;
    uint32_t page[QZD_OLD_PAGES];  // the page each slot holds, or QZD_OLD_NONE
    uint8_t buf[QZD_OLD_PAGES * QZD_OLD_PAGE];
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
    uint32_t made;  // new bytes made so far
    // The last changes in a ring: the r-th latest (0 the latest) is
    // change[(first + r) % QZD_CHANGES], so that a new one takes the last
    // one's place without moving the others.
    qzd_change change[QZD_CHANGES];
    uint32_t first;
    uint8_t lits[QZT_BLOCK];  // the block's literals
};

// The old file, a reader of size bytes, as the decoder reads it; the
// caller's reference stays its own. Null (after a report) without memory.
qzd_old *qzd_old_new(strm *file, uint32_t size);
void qzd_old_free(qzd_old *o);
// A fresh state; null (after a report) without memory. Freed with free().
qzd_state *qzd_state_new();

// Reads the next block from in and makes its new bytes in dest (room for
// QZT_BLOCK bytes): QZT_OK, QZT_END, QZT_SYNC_LOST, QZT_BAD_LENGTH or
// QZT_CORRUPT (the block zero-filled from the fault on); *n is the header's
// length.
int32_t qzd_read_block(strm *in, qzd_state *s, qzd_old *o, uint8_t *dest, int32_t *n);

// The new file as a stream: each block of the delta that inner reads is
// decoded against the old file as the window runs empty. A block that
// cannot be had is a fatal report ("qzd out of sync", "qzd bad block
// length, %d", "qzd block corrupt"); should it return, the stream ends there
// (a corrupt block's bytes read as they are).
struct qzd_strm {
    strm_stacked stacked;  // the delta's reader and the block buffer
    qzd_state *state;
    qzd_old *old;
    uint32_t total;  // the new file's length, the stream's size
};

// Opens the new file of total bytes rebuilt from old (a reader with seek, of
// old_size bytes) and the delta that inner stands at. The stream holds its
// own references to both. Null when inner or old is null, or after the
// report of memory that cannot be had. The decoder keeps pages of the old
// file itself (qzd_old) and reads them, and long copies, with one seek and
// one read each: a file stream without a window of its own (fstrm) serves it
// best, where a buffered reader would read a whole window for every page.
strm *qzd_open(strm *inner, strm *old, uint32_t old_size, uint32_t total);
