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
//     moves the old position by the signed offset, gamma(M + 1) copies M
//     old bytes from there, gamma(1) as many as the block has left to make
//     (a copy that the block's end cuts, most blocks' last), the position
//     moving on past them, then gamma(K + 1) and K
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
// A block whose literals are coded has the sync word 0x7A65, n, L, then C,
// the coded section's length in 16-bit words (2C more than L is a corrupt
// block), the 2C bytes of the section, then the coded words as above. The
// literals of all blocks, plain and coded, in order, are one stream; the
// section makes the block's L bytes of it, tokens until they are made:
//   a match flag; 0: a literal byte; 1: a repeat flag, 0 and a new distance
//   d as gamma(d) (it becomes the repeat distance) or 1 and the repeat
//   distance (1 at first), then gamma(m - 1): m bytes (2 or more) copied
//   from d bytes back in the stream (d at most QZD_WINDOW, and no farther
//   back than its start; the copy may overlap the bytes it makes).
// Each bit goes through a binary range coder: range (32 bits, 0xFFFFFFFF at
// first) and code (the section's first 4 bytes, big-endian; bytes past the
// section read as 0). A bit with probability p of 0 (11 bits): bound =
// (range >> 11) * p; a code below it is 0, range = bound, p += (2048 - p) >>
// 5; else 1, code and range less bound, p -= p >> 5. A direct bit: range >>=
// 1, 1 where code >= range (code less range). After each bit, a range below
// 2^24 is shifted up 8 bits, the next byte coming into code. The
// probabilities, all 1024 at first: the match flag's and the repeat flag's
// by the kinds of the last two tokens (a match 1, the latest the low bit; 0
// at first); a literal's bits, the top one first, as an 8-bit tree (node 1,
// then node * 2 + bit) by the previous byte's top QZD_LIT_CTX bits (0 before
// the first); a gamma code (lengths and distances each their own) its
// leading zeros by their count so far (32 of them are corrupt), and after
// its leading 1 its next QZD_TREE bits by their tree node (the bits so far
// with the leading 1) and count of zeros, the rest direct bits. The
// probabilities, the last distances, the last kinds and the stream go on
// from block to block; a plain block's literals go on the stream unchanged.
//
// A block whose tokens are coded has the sync word 0x7A66 (its literals
// plain) or 0x7A67 (coded, as in 0x7A65), n, L, C and the literals' section
// where they are coded, else the L bytes, then T, the token section's length
// in 16-bit words (2T more than 32768 is a corrupt block), and the 2T bytes
// of that section, read by a range decoder of its own (as above) and no words
// after it. Its tokens are those above, each gamma code through the coder as
// the literals' gamma codes are (the run's, the offset's, the length's, the
// change count's and the word value's each their own model, a change's gap
// and rank each one of several, below), each bit of the plain words' change
// kinds (repeat, then word, then relative) a probability of its own (the
// repeat bit one of three, below), the 8 bits of a byte change an 8-bit tree
// (as a literal's, without context), and before each offset a back flag (a
// probability of its own): 1 and the copy's offset is the negated last
// nonzero offset of any block's copies (0 before the first), taking no offset
// code; 0 and the offset follows. A new word's value, after its kind's bits,
// has a near flag before it (a probability of its own): 0 and its code as in
// plain words; 1, gamma(r + 1) and gamma(zigzag(d) + 1), each through a model
// of its own: the value of the r-th of the last changes plus d. A table of
// addresses that all moved, some by a little more, says so. A change's
// models are picked by the last change of such blocks (qzd_gap_ctx and the
// others): its gap code g (0 before the first) picks the gap's, g itself
// below 16, else 12 + the count of g's bits after its leading 1, 23 at
// most; the last change's kind picks the repeat bit's (0 a repeat or none, 1
// a new byte, 2 a new word); and the last change, as 0 to 3 a repeat of that
// rank (3 or more), 4 a new one (0 before the first), times 4, plus the
// count of this change's gap code's bits after its leading 1, 3 at most,
// picks the rank's. The changes of a program come in runs of one kind: a
// table of addresses moves by the same gaps over and over, a stretch of
// code by the few shifts of its targets.
// Each of these probabilities moves by 1/16 of the way (QZD_TOK_MOVE: p +=
// (2048 - p) >> 4 for a 0, p -= p >> 4 for a 1) rather than 1/32: split so,
// each model sees fewer bits, and learns them faster. These probabilities,
// 1024 at first, and the last change go on from one such block to the next;
// a block of plain words leaves them be.
//
// A block whose literals are flat has the sync word of its coded literals
// with 8 added (0x7A6D, or 0x7A6F with coded tokens): its section is read as
// a coded block's, but each literal byte, the top bit first, goes through one
// 8-bit tree of probabilities of its own, without context, each moved by
// 1/128 of the way (p += (2048 - p) >> 7 for a 0, p -= p >> 7 for a 1)
// rather than 1/32. Such bytes are near uniform, as compressed data is: the
// slower step follows its slight skew where the faster one's noise costs
// more than the skew saves. These probabilities, 1024 at first, go on from
// one flat block to the next; other blocks leave them be. A sync word with
// 8 but not 1 added is out of sync.
//
// A block whose coded literals go with four repeat distances has the sync
// word of its coded literals with 0x100 added (0x7B65, 0x7B67, 0x7B6D or
// 0x7B6F). The repeat distance is then the first of the last four
// distances, all 1 at first: after a repeat flag of 1, a 0 takes the first,
// 10 the second, 110 the third, 111 the fourth (each bit a probability of
// its own), and the one taken moves to the front; a new distance goes in
// front of them all, the fourth falling out (in any block, so that they stay
// the same whatever kind of block comes next). The length of a match at one
// of the last distances has a gamma model of its own. Such a block's
// probabilities of a match flag, a repeat flag and the bits that name a
// distance go by the kinds of the last three tokens (kinds & 7; other blocks
// by kinds & 3), and its literals' context is the previous byte's top
// QZD_REP_LIT_CTX bits. Its literal byte (not a flat one) right after a
// match is coded against the match byte, the stream's byte at the repeat
// distance: while its bits so far are the match byte's, each bit's
// probability is chosen by the match byte's next bit too (lit[c][0x100 +
// 0x100 * match bit + node]), and from the first bit that differs on as any
// literal's. A sync word with 0x100 but not 1 added is out of sync.
//
// A block whose sync word has 0x80 added (with any of the bits above) holds
// its literal runs filtered for x86 code: a call or jump names its target
// relative to itself, so calls to one target are different bytes wherever
// they stand; filtered, they are the same. In each run, scanned from its
// first byte: an E8 or E9 byte with at least 4 more bytes of the run after
// it is an instruction, and the scan goes on after those 4; where the last
// of them is 0 or 0xFF (a 32-bit little-endian value v within 2^24 of 0),
// the literals hold v plus the new position after the instruction, modulo
// 2^25, bit 24 repeated in bits 25 to 31. The decoder takes the position
// off again the same way, as it places the run.
//
// A block whose four repeat distances go with short repeats has 0x400 added
// to its sync word as well (with 0x100 only): after the bits that name the
// first of the last distances, a bit (by the kinds, as theirs) 0 copies one
// byte from there (a match, to the kinds), which a length's gamma code cannot
// say, 1 and the length follows.
// A table of fixed-size records whose fields moved is such bytes over and
// over: a byte as the record before it had it, amid new ones. A sync word
// with 0x400 but not 0x100 added is out of sync.
//
// A delta whose first block has 0x8000 added to its sync word (with any bits
// above) has the old file's first bytes, as many as QZD_WINDOW at most, on
// the literal stream before that block's literals, as if an earlier block
// had made them, so that a literal match may copy them: new text says much
// of the old text's words and phrases again. A later block with 0x8000 added
// is out of sync.
//
// A block of literals only has 0x10 added to its sync word (with any bits
// above but coded tokens): it holds no L, which is n, and no tokens; the
// block is one run of its n literal bytes. Compressed data that is all new
// comes in such blocks, where the L and the run's code would cost 6 bytes
// a block. A sync word with 0x10 and 2 added is out of sync.
//
// The old file is read through pages of its own, never into memory whole.
// A token that reaches outside the old file, past its block or its literals,
// a literal match outside the window or past the block's L bytes, or a
// gamma code of more than 31 zeros, is a corrupt block.
#pragma once

#include <cstdint>

#include "stream/bstrm.h"
#include "stream/qzt.h"
#include "stream/strm.h"

constexpr uint16_t QZD_SYNC = 0x7A64;
// The sync word's low bits: what of the block is coded.
constexpr uint16_t QZD_CODED_LITS = 1;
constexpr uint16_t QZD_CODED_TOKENS = 2;
constexpr uint16_t QZD_REP_LITS = 0x100;  // four repeat distances and the richer model; with QZD_CODED_LITS only
constexpr uint16_t QZD_FLAT_LITS = 8;  // with QZD_CODED_LITS only
constexpr uint16_t QZD_X86 = 0x80;  // the literal runs filtered for x86 code
constexpr uint16_t QZD_ALL_LITS = 0x10;  // one literal run, the whole block; without QZD_CODED_TOKENS
constexpr uint16_t QZD_SHORT_REP = 0x400;  // a repeat of one byte; with QZD_REP_LITS only
constexpr uint16_t QZD_PRIMED = 0x8000;  // the old file's head before the literals; the first block only
static_assert((QZD_SYNC & (QZD_CODED_LITS | QZD_CODED_TOKENS | QZD_REP_LITS | QZD_FLAT_LITS | QZD_X86 |
                           QZD_ALL_LITS | QZD_SHORT_REP | QZD_PRIMED)) == 0,
              "the sync word's flags are bits that the bare sync word leaves clear");
constexpr uint16_t QZD_SYNC_CODED = QZD_SYNC | QZD_CODED_LITS;
// Sync word, n and L (no L in a block of literals only); C follows in a coded
// block.
constexpr int32_t QZD_BLOCK_HEADER = 6;
constexpr uint32_t QZD_WINDOW = 1u << 22;  // how far back a literal match reaches
constexpr int QZD_LIT_CTX = 3;
constexpr int QZD_REP_LIT_CTX = 4;  // with QZD_REP_LITS
constexpr int QZD_TREE = 4;
constexpr int QZD_PROB_BITS = 11;
constexpr int QZD_PROB_MOVE = 5;
constexpr int QZD_FLAT_MOVE = 7;  // the flat literals' slower step
constexpr int QZD_TOK_MOVE = 4;  // the coded tokens' faster one
constexpr uint32_t QZD_CHANGES = 128;    // changes that a change may name again
static_assert((QZD_CHANGES & (QZD_CHANGES - 1)) == 0, "the last changes' ring wraps by a mask");

// The old file as the decoder reads it: pages of QZD_OLD_PAGE bytes at
// multiples of that size, page p held in slot p % QZD_OLD_PAGES, so that
// the old bytes that short copies come back to are read once, and a run of
// pages fills neighbouring slots with one read. A copy of QZD_OLD_DIRECT
// bytes or more is read straight into the new bytes where its pages are not
// held. The memory is the same whatever the file's size.
constexpr uint32_t QZD_OLD_PAGE = 4096;
constexpr uint32_t QZD_OLD_PAGES = 256;
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

// The coded literals' model.
struct qzd_gamma_model {
    uint16_t zero[32];
    uint16_t tree[32][1 << QZD_TREE];
};
constexpr uint32_t QZD_REPS = 4;
struct qzd_model {
    uint16_t match[8];
    uint16_t rep[8];
    uint16_t which[QZD_REPS - 1][8];  // which repeat distance, a bit at a time
    uint16_t long_rep[8];  // after the first: 0 one byte, 1 a length
    // By context: a literal's byte tree (nodes 1 to 255), then a matched
    // literal's nodes while it follows its match byte, by that byte's bit.
    uint16_t lit[1 << QZD_REP_LIT_CTX][0x300];
    uint16_t flat[256];
    qzd_gamma_model len;
    qzd_gamma_model rep_len;  // a match's at one of the last distances
    qzd_gamma_model dist;
    uint32_t reps[QZD_REPS];  // the last distances, the repeat distance first
    uint32_t kinds;  // the last three tokens', a match 1, the latest the low bit
};
// The model as it is before the first block.
void qzd_model_init(qzd_model *m);

// The coded tokens' model: all probabilities, 1024 at first, and the last
// change, which picks a change's gap, repeat bit and rank models.
enum : uint32_t {
    QZD_RUN = 0,
    QZD_OFFSET = 1,
    QZD_LEN = 2,
    QZD_COUNT = 3,
    QZD_VALUE = 4,
    QZD_NEAR_RANK = 5,
    QZD_NEAR_DIFF = 6,
    QZD_FIELDS = 7
};
enum : uint32_t {
    QZD_FLAG_WORD = 0,
    QZD_FLAG_RELATIVE = 1,
    QZD_FLAG_BACK = 2,
    QZD_FLAG_NEAR = 3,
    QZD_FLAGS = 4
};
// The last change as the next one's models take it: a repeat by its rank
// (below QZD_CHANGES), a new byte, a new word.
enum : uint32_t {
    QZD_LAST_NEW_BYTE = QZD_CHANGES,
    QZD_LAST_NEW_WORD = QZD_CHANGES + 1
};
constexpr uint32_t QZD_GAP_CTX = 24;
constexpr uint32_t QZD_REPEAT_CTX = 3;
constexpr uint32_t QZD_RANK_CTX = 5 * 4;
struct qzd_tok_model {
    qzd_gamma_model field[QZD_FIELDS];
    qzd_gamma_model gap[QZD_GAP_CTX];
    qzd_gamma_model rank[QZD_RANK_CTX];
    uint16_t flag[QZD_FLAGS];
    uint16_t repeat[QZD_REPEAT_CTX];
    uint16_t byte[256];
    uint32_t last_gap;  // the last change's gap code, 0 before the first
    uint32_t last_change;  // a repeat's rank or QZD_LAST_NEW_*, 0 before the first
};
void qzd_tok_model_init(qzd_tok_model *m);

// The count of a gamma code g's bits after its leading 1 (g not 0).
inline uint32_t qzd_gamma_zeros(uint32_t g)
{
    return 31 - static_cast<uint32_t>(__builtin_clz(g));
}
// A change's gap model, by the last change's gap code g (0 before the
// first). Both ways are reckoned and one taken, without a branch: gaps of
// both kinds come mixed.
inline uint32_t qzd_gap_ctx(uint32_t g)
{
    uint32_t z = qzd_gamma_zeros(g | 1), wide = 12 + (z < 11 ? z : 11);
    return g < 16 ? g : wide;
}
// A change's repeat bit's probability, by the last change.
inline uint32_t qzd_repeat_ctx(uint32_t last)
{
    return last < QZD_LAST_NEW_BYTE ? 0 : last - QZD_LAST_NEW_BYTE + 1;
}
// A repeat's rank model, by the last change and this change's gap code g.
inline uint32_t qzd_rank_ctx(uint32_t last, uint32_t g)
{
    uint32_t z = qzd_gamma_zeros(g), kind = last < QZD_LAST_NEW_BYTE ? (last < 3 ? last : 3) : 4;
    return kind * 4 + (z < 3 ? z : 3);
}

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
    uint8_t coded[QZT_BLOCK];  // a coded block's section (its literals', then its tokens')
    qzd_model model;
    qzd_tok_model tok;
    uint32_t last_offset;  // the last nonzero offset of a copy
    uint32_t lit_pos;  // literal bytes so far, of all blocks (the old file's head first, where primed)
    uint8_t ring[QZD_WINDOW];  // the last QZD_WINDOW of them, byte i at i % QZD_WINDOW
    bool primed;  // the old file's head is on the literal stream
    // Set by a caller that checks a delta without its old file, against a
    // stand-in of zeros: once the head is on the literal stream, coded
    // literals, which may match it, cannot be known, and are taken as zeros
    // unread (their section's length still checked).
    bool blind;
};

// The old file, a reader of size bytes, as the decoder reads it; the
// caller's reference stays its own. Null (after a report) without memory.
qzd_old *qzd_old_new(strm *file, uint32_t size);
void qzd_old_free(qzd_old *o);
// A fresh state (4.2 MB, most of it the literals' window); null (after a
// report) without memory. Freed with free().
qzd_state *qzd_state_new();

// The x86 filter of a literal run of n bytes at b, which stands at new
// position pos: applied (encode) or taken off. The count of values it moves.
uint32_t qzd_x86(uint8_t *b, uint32_t n, uint32_t pos, bool encode);

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
