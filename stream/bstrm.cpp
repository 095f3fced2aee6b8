#include "stream/bstrm.h"

#include <cstdlib>

#include "diag/diag.h"
#include "stream/fstrm.h"

static bstrm *bstrm_of(strm *s)
{
    return reinterpret_cast<bstrm *>(s);
}

static int32_t bstrm_reader_fill(strm *s)
{
    bstrm *b = bstrm_of(s);
    strm *inner = b->stacked.inner;
    int32_t n = inner->kind->read(inner, b->stacked.base, b->bufsize);
    if (n < 0)
        n = 0;
    s->next = b->stacked.base;
    s->end = b->stacked.base + n;
    return n != 0;
}

static bool bstrm_at_end(strm *s)
{
    strm *inner = bstrm_of(s)->stacked.inner;
    return inner->kind->at_end(inner);
}

static uint32_t bstrm_size(strm *s)
{
    strm *inner = bstrm_of(s)->stacked.inner;
    return inner->kind->size(inner);
}

static uint32_t bstrm_reader_tell(strm *s)
{
    strm *inner = bstrm_of(s)->stacked.inner;
    return inner->kind->tell(inner) - static_cast<uint32_t>(s->end - s->next);
}

static uint32_t bstrm_reader_seek(strm *s, uint32_t pos)
{
    bstrm *b = bstrm_of(s);
    s->next = s->end = b->stacked.base;
    return b->stacked.inner->kind->seek(b->stacked.inner, pos);
}

void strm_stacked_close(strm *s)
{
    auto *st = reinterpret_cast<strm_stacked *>(s);
    strm_release(st->inner);
    free(st->base);
}

static bool bstrm_writer_drain(strm *s)
{
    bstrm *b = bstrm_of(s);
    strm *inner = b->stacked.inner;
    auto n = static_cast<int32_t>(s->next - b->stacked.base);
    if (inner->kind->write(inner, b->stacked.base, n) != n)
        return false;
    s->next = b->stacked.base;
    return true;
}

static uint32_t bstrm_writer_tell(strm *s)
{
    bstrm *b = bstrm_of(s);
    return b->stacked.inner->kind->tell(b->stacked.inner) + static_cast<uint32_t>(s->next - b->stacked.base);
}

static uint32_t bstrm_writer_seek(strm *s, uint32_t pos)
{
    // Pending bytes belong at the old position. Should they not all go out,
    // they are dropped rather than written at the new one.
    bstrm *b = bstrm_of(s);
    if (!bstrm_writer_drain(s))
        s->next = b->stacked.base;
    return b->stacked.inner->kind->seek(b->stacked.inner, pos);
}

static void bstrm_writer_close(strm *s)
{
    bstrm_writer_drain(s);
    strm_stacked_close(s);
}

static const strm_ops bstrm_reader_ops = {
    .fill = bstrm_reader_fill,
    .read = nullptr,
    .at_end = bstrm_at_end,
    .size = bstrm_size,
    .tell = bstrm_reader_tell,
    .seek = bstrm_reader_seek,
    .close = strm_stacked_close,
    .drain = nullptr,
    .write = nullptr,
};

static const strm_ops bstrm_writer_ops = {
    .fill = nullptr,
    .read = nullptr,
    .at_end = nullptr,
    .size = nullptr,
    .tell = bstrm_writer_tell,
    .seek = bstrm_writer_seek,
    .close = bstrm_writer_close,
    .drain = bstrm_writer_drain,
    .write = nullptr,
};

strm *strm_stacked_new(size_t bytes, const strm_ops *kind, strm *inner, int32_t bufsize)
{
    if (bufsize <= 0) {
        fatal_error("bad window size %d", static_cast<int>(bufsize));
        return nullptr;
    }
    auto *base = static_cast<uint8_t *>(malloc(static_cast<size_t>(bufsize)));
    if (!base) {
        fatal_error("out of memory");
        return nullptr;
    }
    strm *s = strm_alloc(bytes, kind);
    if (!s) {
        free(base);
        return nullptr;
    }
    auto *st = reinterpret_cast<strm_stacked *>(s);
    st->inner = strm_addref(inner);
    st->base = base;
    return s;
}

static strm *bstrm_new(strm *inner, int32_t bufsize, const strm_ops *kind)
{
    if (!inner)
        return nullptr;
    strm *s = strm_stacked_new(sizeof(bstrm), kind, inner, bufsize);
    if (s)
        bstrm_of(s)->bufsize = bufsize;
    return s;
}

strm *bstrm_new_reader(strm *inner, int32_t bufsize)
{
    strm *s = bstrm_new(inner, bufsize, &bstrm_reader_ops);
    if (s)
        s->next = s->end = bstrm_of(s)->stacked.base + bufsize;
    return s;
}

strm *bstrm_new_writer(strm *inner, int32_t bufsize)
{
    strm *s = bstrm_new(inner, bufsize, &bstrm_writer_ops);
    if (s) {
        s->next = bstrm_of(s)->stacked.base;
        s->end = s->next + bufsize;
    }
    return s;
}

static strm *bstrm_open(strm *file, int32_t bufsize, strm *(*wrap)(strm *, int32_t))
{
    if (!file)
        return nullptr;
    strm *s = wrap(file, bufsize);
    strm_release(file);
    return s;
}

strm *bstrm_open_file_read(const char *path, int32_t bufsize)
{
    return bstrm_open(fstrm_open_read(path), bufsize, bstrm_new_reader);
}

strm *bstrm_open_file_write(const char *path, int32_t bufsize)
{
    return bstrm_open(fstrm_open_write(path), bufsize, bstrm_new_writer);
}
