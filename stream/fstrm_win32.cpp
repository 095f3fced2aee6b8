#include <windows.h>

#include "diag/diag.h"
#include "stream/fstrm.h"

static HANDLE fstrm_h(strm *s)
{
    return reinterpret_cast<fstrm *>(s)->handle;
}

static int32_t fstrm_read(strm *s, uint8_t *buf, int32_t count)
{
    DWORD got = 0;
    if (count <= 0 || !ReadFile(fstrm_h(s), buf, static_cast<DWORD>(count), &got, nullptr))
        return 0;
    return static_cast<int32_t>(got);
}

static bool fstrm_at_end(strm *s)
{
    HANDLE h = fstrm_h(s);
    DWORD p = SetFilePointer(h, 0, nullptr, FILE_CURRENT);
    if (p == INVALID_SET_FILE_POINTER)
        return false;
    DWORD e = SetFilePointer(h, 0, nullptr, FILE_END);
    if (e == INVALID_SET_FILE_POINTER)
        return false;
    SetFilePointer(h, static_cast<LONG>(p), nullptr, FILE_BEGIN);
    return p == e;
}

static uint32_t fstrm_size(strm *s)
{
    return GetFileSize(fstrm_h(s), nullptr);
}

static uint32_t fstrm_tell(strm *s)
{
    return SetFilePointer(fstrm_h(s), 0, nullptr, FILE_CURRENT);
}

static uint32_t fstrm_seek(strm *s, uint32_t pos)
{
    return SetFilePointer(fstrm_h(s), static_cast<LONG>(pos), nullptr, FILE_BEGIN);
}

static void fstrm_close(strm *s)
{
    CloseHandle(fstrm_h(s));
}

bool fstrm_cut(strm *s)
{
    if (SetEndOfFile(fstrm_h(s)))
        return true;
    fatal_error("write error, %d", static_cast<int>(GetLastError()));
    return false;
}


static int32_t fstrm_write(strm *s, const uint8_t *buf, int32_t count)
{
    DWORD written = 0;
    if (count < 0)
        count = 0;
    if (WriteFile(fstrm_h(s), buf, static_cast<DWORD>(count), &written, nullptr))
        return static_cast<int32_t>(written);
    fatal_error("write error, %d", static_cast<int>(GetLastError()));
    return 0;
}

static const strm_ops fstrm_reader_ops = {
    .fill = nullptr,
    .read = fstrm_read,
    .at_end = fstrm_at_end,
    .size = fstrm_size,
    .tell = fstrm_tell,
    .seek = fstrm_seek,
    .close = fstrm_close,
    .drain = nullptr,
    .write = nullptr,
};

static const strm_ops fstrm_writer_ops = {
    .fill = nullptr,
    .read = nullptr,
    .at_end = nullptr,
    .size = nullptr,
    .tell = fstrm_tell,
    .seek = fstrm_seek,
    .close = fstrm_close,
    .drain = nullptr,
    .write = fstrm_write,
};

static strm *fstrm_wrap(HANDLE h, const strm_ops *kind)
{
    HANDLE dup;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        fatal_error("DuplicateHandle, %d", static_cast<int>(GetLastError()));
        return nullptr;
    }
    strm *s = strm_alloc(sizeof(fstrm), kind);
    if (!s) {
        CloseHandle(dup);
        return nullptr;
    }
    reinterpret_cast<fstrm *>(s)->handle = dup;
    return s;
}

static const strm_ops fstrm_scratch_ops = {
    .fill = nullptr,
    .read = fstrm_read,
    .at_end = fstrm_at_end,
    .size = fstrm_size,
    .tell = fstrm_tell,
    .seek = fstrm_seek,
    .close = fstrm_close,
    .drain = nullptr,
    .write = fstrm_write,
};

static strm *fstrm_adopt(fstrm_handle h, const strm_ops *kind)
{
    strm *s = strm_alloc(sizeof(fstrm), kind);
    if (!s) {
        CloseHandle(h);
        return nullptr;
    }
    reinterpret_cast<fstrm *>(s)->handle = h;
    return s;
}

strm *fstrm_adopt_write_handle(fstrm_handle h)
{
    return fstrm_adopt(h, &fstrm_writer_ops);
}

strm *fstrm_adopt_scratch_handle(fstrm_handle h)
{
    return fstrm_adopt(h, &fstrm_scratch_ops);
}

strm *fstrm_from_handle(fstrm_handle h)
{
    return fstrm_wrap(h, &fstrm_reader_ops);
}

strm *fstrm_from_write_handle(fstrm_handle h)
{
    return fstrm_wrap(h, &fstrm_writer_ops);
}

HANDLE fstrm_create(const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
        h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h;
}

// The file stream of h, which it takes over; null after the report of a
// file that could not be opened.
static strm *fstrm_open(HANDLE h, const char *path, const char *fmt, const strm_ops *kind)
{
    if (h == INVALID_HANDLE_VALUE) {
        fatal_error(fmt, path, static_cast<int>(GetLastError()));
        return nullptr;
    }
    return fstrm_adopt(h, kind);
}

strm *fstrm_open_read(const char *path)
{
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return fstrm_open(h, path, "%s: Can't open file, %d", &fstrm_reader_ops);
}

strm *fstrm_open_write(const char *path)
{
    return fstrm_open(fstrm_create(path), path, "%s: Can't open wfile, %d", &fstrm_writer_ops);
}
