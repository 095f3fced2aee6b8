#include <cstdlib>

#include "diag/diag.h"
#include "stream/qzd.h"

static qzd_strm *qzd_of(strm *s)
{
    return reinterpret_cast<qzd_strm *>(s);
}

static int32_t qzd_fill(strm *s)
{
    qzd_strm *q = qzd_of(s);
    int32_t n;
    int32_t status = qzd_read_block(q->stacked.inner, q->state, q->old, q->stacked.base, &n);
    n = qzt_block_length(status, n, "qzd");
    if (n == 0)
        return 0;
    s->next = q->stacked.base;
    s->end = q->stacked.base + n;
    return 1;
}

static bool qzd_at_end(strm *s)
{
    strm *in = qzd_of(s)->stacked.inner;
    return in->next >= in->end && in->kind->at_end(in);
}

static uint32_t qzd_size(strm *s)
{
    return qzd_of(s)->total;
}

static void qzd_close(strm *s)
{
    qzd_strm *q = qzd_of(s);
    free(q->state);
    qzd_old_free(q->old);
    strm_stacked_close(s);
}

static const strm_ops qzd_ops = {
    .fill = qzd_fill,
    .read = nullptr,
    .at_end = qzd_at_end,
    .size = qzd_size,
    .tell = nullptr,
    .seek = nullptr,
    .close = qzd_close,
    .drain = nullptr,
    .write = nullptr,
};

strm *qzd_open(strm *inner, strm *old, uint32_t old_size, uint32_t total)
{
    if (!inner || !old)
        return nullptr;
    qzd_state *state = qzd_state_new();
    qzd_old *o = state ? qzd_old_new(old, old_size) : nullptr;
    strm *s = o ? strm_stacked_new(sizeof(qzd_strm), &qzd_ops, inner, QZT_BLOCK) : nullptr;
    if (!s) {
        free(state);
        qzd_old_free(o);
        return nullptr;
    }
    qzd_strm *q = qzd_of(s);
    s->next = s->end = q->stacked.base;
    q->state = state;
    q->old = o;
    q->total = total;
    return s;
}
