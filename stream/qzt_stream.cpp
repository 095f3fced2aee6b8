#include "diag/diag.h"
#include "stream/qzt.h"

static qzt_strm *qzt_of(strm *s)
{
    return reinterpret_cast<qzt_strm *>(s);
}

static int32_t qzt_fill(strm *s)
{
    qzt_strm *q = qzt_of(s);
    strm *in = q->stacked.inner;
    if (in->next >= in->end && in->kind->at_end(in))
        return 0;
    if (strm_get16(in) != QZT_SYNC) {
        fatal_error("qzt out of sync");
        return 0;
    }
    int32_t n = strm_get16(in);
    if (n == 0 || n > QZT_BLOCK) {
        fatal_error("qzt bad block length, %d", static_cast<int>(n));
        return 0;
    }
    bits *b = bits_new(in);
    if (!b)
        return 0;
    qzt_decode(b, q->stacked.base, n);
    bits_free(b);
    s->next = q->stacked.base;
    s->end = q->stacked.base + n;
    return 1;
}

static bool qzt_at_end(strm *s)
{
    strm *in = qzt_of(s)->stacked.inner;
    return in->next >= in->end && in->kind->at_end(in);
}

static uint32_t qzt_size(strm *s)
{
    return qzt_of(s)->total;
}

static uint32_t qzt_tell(strm *)
{
    return 0;
}

// Every seek is a rewind to the first block: blocks can only be decoded in order.
static uint32_t qzt_seek(strm *s, uint32_t)
{
    qzt_strm *q = qzt_of(s);
    s->next = s->end = q->stacked.base + QZT_BLOCK;
    return strm_seek(q->stacked.inner, q->data_start);
}

static const strm_ops qzt_ops = {
    qzt_fill, nullptr, qzt_at_end, qzt_size, qzt_tell, qzt_seek, bstrm_reader_close, nullptr, nullptr,
};

strm *qzt_open(strm *inner)
{
    if (!inner)
        return nullptr;
    if (strm_get16(inner) != QZT_MAGIC) {
        fatal_error("stream is not qzt");
        return nullptr;
    }
    strm *s = strm_stacked_new(sizeof(qzt_strm), &qzt_ops, inner, QZT_BLOCK);
    if (!s)
        return nullptr;
    qzt_strm *q = qzt_of(s);
    s->next = s->end = q->stacked.base + QZT_BLOCK;
    q->total = strm_get32(inner);
    q->data_start = strm_tell(inner);
    return s;
}
