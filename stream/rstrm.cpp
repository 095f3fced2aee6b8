#include "stream/rstrm.h"

static rstrm *rstrm_of(strm *s)
{
    return reinterpret_cast<rstrm *>(s);
}

static int32_t rstrm_fill(strm *s)
{
    rstrm *r = rstrm_of(s);
    strm *in = r->inner;
    if (r->left == 0 || (in->next >= in->end && !in->kind->fill(in))) {
        r->overrun = true;
        return 0;
    }
    auto avail = static_cast<uint32_t>(in->end - in->next);
    uint32_t take = avail < r->left ? avail : r->left;
    s->next = in->next;
    s->end = in->next + take;
    in->next += take;
    r->left -= take;
    return 1;
}

static bool rstrm_at_end(strm *s)
{
    return rstrm_of(s)->left == 0;
}

static uint32_t rstrm_size(strm *s)
{
    return rstrm_of(s)->len;
}

static uint32_t rstrm_tell(strm *s)
{
    rstrm *r = rstrm_of(s);
    return r->len - r->left - static_cast<uint32_t>(s->end - s->next);
}

static void rstrm_close(strm *s)
{
    strm_release(rstrm_of(s)->inner);
}

static const strm_ops rstrm_ops = {
    .fill = rstrm_fill,
    .read = nullptr,
    .at_end = rstrm_at_end,
    .size = rstrm_size,
    .tell = rstrm_tell,
    .seek = nullptr,
    .close = rstrm_close,
    .drain = nullptr,
    .write = nullptr,
};

strm *rstrm_new(strm *inner, uint32_t len)
{
    if (!inner)
        return nullptr;
    strm *s = strm_alloc(sizeof(rstrm), &rstrm_ops);
    if (!s)
        return nullptr;
    rstrm *r = rstrm_of(s);
    r->inner = strm_addref(inner);
    r->len = r->left = len;
    return s;
}

bool rstrm_overrun(strm *s)
{
    return rstrm_of(s)->overrun;
}
