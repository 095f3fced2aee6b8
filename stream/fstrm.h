// File reader, file writer and scratch file.
//
// Windowless kinds that go straight to the operating system: every access is
// a table call, so they are used under a buffered stream. A file stream owns a
// duplicate of the handle it was made from, unless it adopted the handle
// itself; the caller's handle stays its own.
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
#ifdef _WIN32
// The handle of a file created or truncated for writing, as
// fstrm_open_write opens it; INVALID_HANDLE_VALUE (the system's error code
// left) when it cannot be had. A file that does not exist yet is made new,
// never truncated: a Linux file system under Wine writes a file that was
// truncated and written again back to the disk at its close, which the
// closer waits for (40 ms for 129 MB).
fstrm_handle fstrm_create(const char *path);
#endif
// Wraps a duplicate of the handle as a reader / writer.
strm *fstrm_from_handle(fstrm_handle h);
strm *fstrm_from_write_handle(fstrm_handle h);
// Take the handle itself over, which spares the system a duplicate and its
// close for every file: the stream closes it, at once when it cannot be
// made. A scratch stream writes and reads back through its one handle,
// which needs both kinds of access.
strm *fstrm_adopt_write_handle(fstrm_handle h);
strm *fstrm_adopt_scratch_handle(fstrm_handle h);
// Cuts a writable file stream's file where the stream stands; a failure is
// a fatal report ("write error, %d"), then false.
bool fstrm_cut(strm *s);
