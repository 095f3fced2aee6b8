// File reader, file writer and file rewriter.
//
// Windowless kinds that go straight to the operating system: every access is
// a table call, so they are used under a buffered stream. A file stream owns a
// duplicate of the handle it was made from; the caller's handle stays its own.
// Opening or creating a named file that fails, and a failed write, are fatal
// reports ("%s: Can't open file, %d", "%s: Can't open wfile, %d",
// "write error, %d" with the system's error code). A failed read reads as end
// of file. Positions and sizes are 32-bit; a seek position is a signed 32-bit
// distance from the start.
#pragma once

#include "stream/strm.h"

#ifdef _WIN32
typedef void *fstrm_handle;  // HANDLE
#else
typedef int fstrm_handle;  // file descriptor
#endif

struct fstrm {
    strm head;
    fstrm_handle handle;
};

// Opens an existing file for reading; null if the fatal report returns.
strm *fstrm_open_read(const char *path);
// Creates or truncates a file for writing; null if the fatal report returns.
strm *fstrm_open_write(const char *path);
// Opens a file, created if need be, for writing over it from its start; on
// close it is cut where the writing ended. Its blocks are written over rather
// than freed and allocated anew: on ext4 under Wine, rewriting a 2 MB file
// twelve times took a tenth of the time that truncating it first did. A
// failed cut is a fatal report ("write error, %d").
strm *fstrm_open_rewrite(const char *path);
// Wraps a duplicate of the handle as a reader / writer.
strm *fstrm_from_handle(fstrm_handle h);
strm *fstrm_from_write_handle(fstrm_handle h);
