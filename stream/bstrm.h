// Buffered reader and buffered writer.
//
// A heap window of its own in front of an inner stream, so that byte reads
// and writes run inline against memory and the inner stream is read or
// written a whole window at a time. The inner stream of a reader must have the
// read slot, that of a writer the write slot. A buffered stream holds one
// reference to its inner stream; releasing a writer writes its pending bytes,
// then releases the inner stream.
#pragma once

#include "stream/strm.h"

// Head shared by every kind that puts a window over an inner stream;
// strm_stacked_close serves all of them.
struct strm_stacked {
    strm head;
    strm *inner;
    uint8_t *base;  // window buffer, owned
};

struct bstrm {
    strm_stacked stacked;
    int32_t bufsize;
};

constexpr int32_t BSTRM_WINDOW = 32768;

// Null when inner is null (so that a failed open passes through).
strm *bstrm_new_reader(strm *inner, int32_t bufsize);
strm *bstrm_new_writer(strm *inner, int32_t bufsize);
// Open a named file under a buffered window; the buffered stream holds the
// only reference to the file stream. Null when the open's fatal report returns.
strm *bstrm_open_file_read(const char *path, int32_t bufsize);
strm *bstrm_open_file_write(const char *path, int32_t bufsize);

// Allocates a stacked stream object of `bytes` with a window buffer of
// bufsize bytes and one reference to inner. Null after a fatal report.
strm *strm_stacked_new(size_t bytes, const strm_ops *kind, strm *inner, int32_t bufsize);
// Releases the inner stream and frees the window: the close slot of every
// stacked reading kind, and the last step of the buffered writer's.
void strm_stacked_close(strm *s);
