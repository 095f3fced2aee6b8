// Compressed format: stream reader and block decoder.
//
// A compressed stream is the magic 0x717A, the 32-bit total length of the
// decompressed data, then blocks back to back up to the end of the inner
// stream: sync word 0x7A74, decompressed length n (1 to 32768), then the
// block's coded words. All integers are big-endian. Blocks are independent.
// A block is LZ77 tokens: gamma(L + 1), L literal bytes, and, unless the block
// is full, gamma(D) and gamma(M): copy M bytes from D bytes back.
//
// A wrong magic ("stream is not qzt"), a wrong sync word ("qzt out of sync"),
// a block length outside 1 to 32768 and a block that breaks the code's limits
// (a literal run past the block's end, a distance before its start, a gamma
// code of more than 15 leading zeros) are fatal reports. Input that runs out
// inside a block reads as 0xEEEE words. A match running past the block's end
// is cut there (a silent trace), and the next block follows normally.
#pragma once

#include <cstdint>

#include "stream/bits.h"
#include "stream/bstrm.h"
#include "stream/strm.h"

constexpr uint16_t QZT_MAGIC = 0x717A;
constexpr uint16_t QZT_SYNC = 0x7A74;
constexpr int32_t QZT_BLOCK = 32768;     // largest block, and the reader's block buffer
constexpr int32_t QZT_HEADER = 6;        // magic and total
constexpr int32_t QZT_BLOCK_HEADER = 4;  // sync word and n

struct qzt_strm {
    strm_stacked stacked;  // inner and block buffer, as in the buffered kinds
    uint32_t total;        // decompressed length from the header
    uint32_t data_start;   // inner position of the first block
};

// Opens a compressed stream on inner, which stands at its magic. The new
// stream holds its own reference to inner; the caller keeps its own. Null
// when inner is null or the fatal report of a wrong magic returns.
strm *qzt_open(strm *inner);

// What reading one block came to. The stream's fill turns the faults into
// fatal reports; the payload check names them instead.
enum : int32_t {
    QZT_OK = 0,          // the block is decoded
    QZT_END = 1,         // no block left: the inner stream is at its end
    QZT_SYNC_LOST = 2,   // the block header lacks the sync word
    QZT_BAD_LENGTH = 3,  // the header's n lies outside 1 to 32768
    QZT_CORRUPT = 4,     // the coded words break the code's limits
};

// Reads the next block header, with the sync word sync, from in: QZT_OK,
// QZT_END, QZT_SYNC_LOST or QZT_BAD_LENGTH. *n is the header's length, 0
// when none was read.
int32_t qzt_block_head(strm *in, uint16_t sync, int32_t *n);
// Reads the next block header from in and decodes the block into dest (room
// for QZT_BLOCK bytes). *n is the header's length, 0 when none was read.
int32_t qzt_read_block(strm *in, uint8_t *dest, int32_t *n);
// Decodes one block of n bytes (at most the size of dest) from b's stream:
// QZT_OK, or QZT_CORRUPT with the block zero-filled from the fault on.
int32_t qzt_decode_block(bits *b, uint8_t *dest, int32_t n);
// The same, with a corrupt block a fatal report ("qzt block corrupt").
void qzt_decode(bits *b, uint8_t *dest, int32_t n);
// The length of a block read with status and the header's length n: n, or 0
// for none left; a fault is a fatal report named for the format ("qzt out of
// sync", "qzt bad block length, %d", "qzt block corrupt"), 0 after it but for
// a corrupt block, whose bytes are defined.
int32_t qzt_block_length(int32_t status, int32_t n, const char *format);
