// Memory reader and memory writer.
//
// The reader presents a caller's byte range as its window (the caller keeps
// the bytes alive until the stream is released); it has no data behind the
// window, so its fill never succeeds. The writer collects everything written
// into a heap buffer that grows whenever the window is full; it has no seek,
// and its size is the bytes written so far.
// Used wherever data is already in memory: standard input, tools, tests.
#pragma once

#include "stream/strm.h"

struct mstrm {
    strm head;
    uint8_t *base;
};

strm *mstrm_new_reader(const uint8_t *data, uint32_t len);
strm *mstrm_new_writer();
// The bytes written so far; valid until the next write or the release.
const uint8_t *mstrm_data(strm *s, uint32_t *len);
