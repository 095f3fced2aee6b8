#include "stream/mstrm.h"

#include <cstdlib>

#include "diag/diag.h"

static mstrm *mstrm_of(strm *s)
{
    return reinterpret_cast<mstrm *>(s);
}

static int32_t mstrm_reader_fill(strm *)
{
    return 0;
}

static bool mstrm_reader_at_end(strm *)
{
    return true;
}

static uint32_t mstrm_tell(strm *s)
{
    return static_cast<uint32_t>(s->next - mstrm_of(s)->base);
}

static uint32_t mstrm_reader_size(strm *s)
{
    return static_cast<uint32_t>(s->end - mstrm_of(s)->base);
}

static uint32_t mstrm_reader_seek(strm *s, uint32_t pos)
{
    uint32_t size = mstrm_reader_size(s);
    s->next = mstrm_of(s)->base + (pos < size ? pos : size);
    return mstrm_tell(s);
}

static bool mstrm_writer_drain(strm *s)
{
    mstrm *m = mstrm_of(s);
    size_t used = static_cast<size_t>(s->next - m->base);
    size_t cap = static_cast<size_t>(s->end - m->base);
    size_t grown = cap ? cap * 2 : 4096;
    if (grown > 0x80000000u) {
        fatal_error("memory stream too large");
        return false;
    }
    auto *p = static_cast<uint8_t *>(realloc(m->base, grown));
    if (!p) {
        fatal_error("out of memory");
        return false;
    }
    m->base = p;
    s->next = p + used;
    s->end = p + grown;
    return true;
}

static void mstrm_writer_close(strm *s)
{
    free(mstrm_of(s)->base);
}

static const strm_ops mstrm_reader_ops = {
    .fill = mstrm_reader_fill,
    .read = nullptr,
    .at_end = mstrm_reader_at_end,
    .size = mstrm_reader_size,
    .tell = mstrm_tell,
    .seek = mstrm_reader_seek,
    .close = nullptr,
    .drain = nullptr,
    .write = nullptr,
};

static const strm_ops mstrm_writer_ops = {
    .fill = nullptr,
    .read = nullptr,
    .at_end = nullptr,
    .size = mstrm_tell,  // without a seek, the position is the end
    .tell = mstrm_tell,
    .seek = nullptr,
    .close = mstrm_writer_close,
    .drain = mstrm_writer_drain,
    .write = nullptr,
};

strm *mstrm_new_reader(const uint8_t *data, uint32_t len)
{
    strm *s = strm_alloc(sizeof(mstrm), &mstrm_reader_ops);
    if (s) {
        // The window is read-only in practice: readers never store into it.
        mstrm_of(s)->base = const_cast<uint8_t *>(data);
        s->next = mstrm_of(s)->base;
        s->end = s->next + len;
    }
    return s;
}

strm *mstrm_new_writer()
{
    return strm_alloc(sizeof(mstrm), &mstrm_writer_ops);
}

const uint8_t *mstrm_data(strm *s, uint32_t *len)
{
    *len = mstrm_tell(s);
    return mstrm_of(s)->base;
}
