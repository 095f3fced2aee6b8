// Range reader.
//
// At most len bytes of an inner reader, from where it stands. The window is
// a piece of the inner stream's own window (no copy, no buffer of its own),
// taken only once the last piece is used up, so the inner stream must not be
// read by anyone else meanwhile. Reading past the range reads as end of data,
// as with any reader, and sets overrun: a decoder whose words run past a
// blob's end is caught even where more bytes follow in the file. Size and
// position count from the range's start; there is no seek.
#pragma once

#include "stream/strm.h"

struct rstrm {
    strm head;
    strm *inner;
    uint32_t len;   // the range's length
    uint32_t left;  // bytes of the range not yet in the window
    bool overrun;   // a read wanted more than the range holds
};

// Holds a reference to inner; null when inner is null or memory is short.
strm *rstrm_new(strm *inner, uint32_t len);
// True once a read has asked for more than the range holds.
bool rstrm_overrun(strm *s);
