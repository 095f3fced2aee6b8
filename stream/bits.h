// Bit buffer over 16-bit big-endian words of a stream.
//
// Reading: bits come out most significant first; a word is fetched only when
// a bit is needed that is not held, so the words a decoder consumes are
// exactly its input. Writing: bits are packed into words and stored into a
// writer's window; bits_free pads the last word with zero bits. A bits object
// holds one reference to its stream.
#pragma once

#include <cstdint>

#include "stream/strm.h"

struct bits {
    int32_t nbits;  // valid bits held in acc
    uint32_t acc;   // reading: held bits at the top of the low 16 bits; writing: pending bits at the top
    strm *io;
};

// Null (after a fatal report) when memory cannot be had.
bits *bits_new(strm *io);
// Flushes a writer's pending bits as one zero-padded word, then releases the
// stream and frees the object. A null argument does nothing.
void bits_free(bits *b);
// The next n bits (1 to 16), first bit highest.
uint32_t bits_get(bits *b, int n);
// Appends the n (1 to 16) low bits of value, which must be below 2^n.
void bits_put(bits *b, int n, uint32_t value);
