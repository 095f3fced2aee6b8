#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "diag/diag.h"
#include "stream/fstrm.h"

// The same contract as the Windows file kinds over file descriptors; errno
// stands in for the system error code.

static int fstrm_fd(strm *s)
{
    return reinterpret_cast<fstrm *>(s)->handle;
}

static int32_t fstrm_read(strm *s, uint8_t *buf, int32_t count)
{
    if (count <= 0)
        return 0;
    ssize_t got;
    do
        got = read(fstrm_fd(s), buf, static_cast<size_t>(count));
    while (got < 0 && errno == EINTR);
    return got < 0 ? 0 : static_cast<int32_t>(got);
}

static bool fstrm_at_end(strm *s)
{
    int fd = fstrm_fd(s);
    off_t p = lseek(fd, 0, SEEK_CUR);
    if (p < 0)
        return false;
    off_t e = lseek(fd, 0, SEEK_END);
    if (e < 0)
        return false;
    lseek(fd, p, SEEK_SET);
    return p == e;
}

static uint32_t fstrm_size(strm *s)
{
    int fd = fstrm_fd(s);
    off_t p = lseek(fd, 0, SEEK_CUR);
    off_t e = lseek(fd, 0, SEEK_END);
    if (p < 0 || e < 0)
        return 0xFFFFFFFF;
    lseek(fd, p, SEEK_SET);
    return static_cast<uint32_t>(e);
}

static uint32_t fstrm_tell(strm *s)
{
    off_t p = lseek(fstrm_fd(s), 0, SEEK_CUR);
    return p < 0 ? 0xFFFFFFFF : static_cast<uint32_t>(p);
}

static uint32_t fstrm_seek(strm *s, uint32_t pos)
{
    off_t p = lseek(fstrm_fd(s), static_cast<int32_t>(pos), SEEK_SET);
    return p < 0 ? 0xFFFFFFFF : static_cast<uint32_t>(p);
}

static void fstrm_close(strm *s)
{
    close(fstrm_fd(s));
}

// The file ends where the writing did.
bool fstrm_cut(strm *s)
{
    off_t p = lseek(fstrm_fd(s), 0, SEEK_CUR);
    if (p >= 0 && ftruncate(fstrm_fd(s), p) == 0)
        return true;
    fatal_error("write error, %d", errno);
    return false;
}


static int32_t fstrm_write(strm *s, const uint8_t *buf, int32_t count)
{
    // write() may take fewer bytes than asked (pipes); the Windows kind's
    // WriteFile takes all of them, so keep going until it is done.
    int32_t done = 0;
    while (done < count) {
        ssize_t n = write(fstrm_fd(s), buf + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fatal_error("write error, %d", errno);
            return 0;
        }
        done += static_cast<int32_t>(n);
    }
    return done;
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

static strm *fstrm_wrap(int fd, const strm_ops *kind)
{
    int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0) {
        fatal_error("dup, %d", errno);
        return nullptr;
    }
    strm *s = strm_alloc(sizeof(fstrm), kind);
    if (!s) {
        close(dup_fd);
        return nullptr;
    }
    reinterpret_cast<fstrm *>(s)->handle = dup_fd;
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
        close(h);
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

static strm *fstrm_open(const char *path, int flags, const char *fmt, const strm_ops *kind)
{
    int fd = open(path, flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        fatal_error(fmt, path, errno);
        return nullptr;
    }
    strm *s = fstrm_wrap(fd, kind);
    close(fd);
    return s;
}

strm *fstrm_open_read(const char *path)
{
    return fstrm_open(path, O_RDONLY, "%s: Can't open file, %d", &fstrm_reader_ops);
}

strm *fstrm_open_write(const char *path)
{
    return fstrm_open(path, O_WRONLY | O_CREAT | O_TRUNC, "%s: Can't open wfile, %d", &fstrm_writer_ops);
}
