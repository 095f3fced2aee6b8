#include <cstring>

#include "diag/diag.h"
#include "stream/qzt.h"

static qzt_strm *qzt_of(strm *s)
{
    return reinterpret_cast<qzt_strm *>(s);
}

int32_t qzt_block_length(int32_t status, int32_t n, const char *format)
{
    switch (status) {
    case QZT_END:
        return 0;
    case QZT_SYNC_LOST:
        fatal_error("%s out of sync", format);
        return 0;
    case QZT_BAD_LENGTH:
        fatal_error("%s bad block length, %d", format, static_cast<int>(n));
        return 0;
    case QZT_CORRUPT:
        // Should the report return, the block's bytes are defined (zeros
        // from the fault on) and are read as they are.
        fatal_error("%s block corrupt", format);
        break;
    }
    return n;
}

// The next block decoded into dest (room for QZT_BLOCK bytes): its length,
// or 0 at the end of the stream and after a report of a block that cannot
// be had.
static int32_t qzt_next_block(qzt_strm *q, uint8_t *dest)
{
    int32_t n;
    int32_t status = qzt_read_block(q->stacked.inner, dest, &n);
    return qzt_block_length(status, n, "qzt");
}

static int32_t qzt_fill(strm *s)
{
    qzt_strm *q = qzt_of(s);
    int32_t n = qzt_next_block(q, q->stacked.base);
    if (n == 0)
        return 0;
    s->next = q->stacked.base;
    s->end = q->stacked.base + n;
    return 1;
}

// A block that the caller's buffer has room for whole is decoded straight
// into it, not into the window and then copied; the rest goes through the
// window.
static int32_t qzt_read(strm *s, uint8_t *buf, int32_t count)
{
    qzt_strm *q = qzt_of(s);
    int32_t done = 0;
    while (done < count) {
        if (s->next < s->end) {
            auto n = static_cast<int32_t>(s->end - s->next);
            n = n < count - done ? n : count - done;
            memcpy(buf + done, s->next, static_cast<size_t>(n));
            s->next += n;
            done += n;
        } else if (count - done >= QZT_BLOCK) {
            int32_t n = qzt_next_block(q, buf + done);
            if (n == 0)
                break;
            done += n;
        } else if (!qzt_fill(s)) {
            break;
        }
    }
    return done;
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
    .fill = qzt_fill,
    .read = qzt_read,
    .at_end = qzt_at_end,
    .size = qzt_size,
    .tell = qzt_tell,
    .seek = qzt_seek,
    .close = strm_stacked_close,
    .drain = nullptr,
    .write = nullptr,
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
