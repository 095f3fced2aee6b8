#include "payload/check.h"

#include <cstdlib>
#include <cstring>

#include "payload/read.h"
#include "stream/qzt.h"
#include "stream/rstrm.h"

static bool payload_fail(payload_check *c, int32_t fault, uint32_t value)
{
    c->fault = fault;
    c->value = value;
    return false;
}

// Every length inside the file, then the CRC-32 of everything up to the
// trailer, and the trailer itself where there is one.
static bool payload_walk(strm *file, uint32_t offset, payload_check *c)
{
    payload_cursor cur;
    int32_t fault = payload_first(&cur, file, offset);
    c->count = cur.count;
    c->message_len = cur.message_len;
    while (fault == PAYLOAD_OK && cur.entry < cur.count) {
        fault = payload_next(&cur);
        c->entry = cur.entry;
        c->blob_at = cur.blob_at;
        c->blob_len = cur.blob_len;
    }
    if (fault != PAYLOAD_OK)
        return payload_fail(c, fault, cur.value);
    c->entry = 0;
    c->end = payload_after(&cur);
    uint32_t crc = payload_crc(file, offset, c->end, c->progress, c->ctx);
    c->crc = crc;
    if (c->end == cur.size)
        return true;
    uint8_t trailer[PAYLOAD_TRAILER_SIZE];
    if (cur.size - c->end < PAYLOAD_TRAILER_SIZE ||
        strm_read(file, trailer, PAYLOAD_TRAILER_SIZE) != static_cast<int32_t>(PAYLOAD_TRAILER_SIZE) ||
        payload_get32(trailer + PAYLOAD_TRAILER_MAGIC_AT) != PAYLOAD_TRAILER_MAGIC)
        return payload_fail(c, PAYLOAD_EXTRA, cur.size - c->end);
    uint32_t found = payload_get32(trailer + PAYLOAD_TRAILER_CRC_AT);
    if (found != crc)
        return payload_fail(c, PAYLOAD_CHECKSUM, found);
    c->trailer = true;
    return true;
}

// The record as it streams by: its head kept, its length counted.
struct payload_record_state {
    uint8_t head[RECORD_DATA_HEAD_SIZE];
    uint32_t len;
};

static void payload_record_feed(payload_record_state *r, const uint8_t *data, uint32_t n)
{
    if (r->len < sizeof r->head) {
        uint32_t k = sizeof r->head - r->len;
        memcpy(r->head + r->len, data, k < n ? k : n);
    }
    r->len += n;
}

static bool payload_record_done(const payload_record_state *r, payload_check *c)
{
    c->block = 0;
    int32_t fault = payload_check_head(r->head, r->len);
    if (fault != PAYLOAD_OK)
        return payload_fail(c, fault, fault == PAYLOAD_RECORD_SIZE ? r->len : 0);
    return true;
}

// One blob, read through a range reader so that nothing past its B bytes is
// taken for its own: the stream header, then blocks until the range ends.
// The payload starts at offset, for the progress.
static bool payload_blob(strm *blob, uint32_t offset, uint8_t *buf, payload_check *c)
{
    uint16_t magic = strm_get16(blob);
    uint32_t total = strm_get32(blob);
    if (magic != QZT_MAGIC || rstrm_overrun(blob))
        return payload_fail(c, PAYLOAD_NOT_QZT, magic);
    payload_record_state rec;
    rec.len = 0;
    for (c->block = 1;; c->block++) {
        int32_t n;
        int32_t status = qzt_read_block(blob, buf, &n);
        if (rstrm_overrun(blob))
            return payload_fail(c, PAYLOAD_OVERRUN, 0);
        if (status == QZT_END)
            break;
        if (status == QZT_SYNC_LOST)
            return payload_fail(c, PAYLOAD_SYNC_LOST, 0);
        if (status == QZT_BAD_LENGTH)
            return payload_fail(c, PAYLOAD_BLOCK_LENGTH, static_cast<uint32_t>(n));
        if (status == QZT_CORRUPT)
            return payload_fail(c, PAYLOAD_CORRUPT, 0);
        if (static_cast<uint32_t>(n) > total - rec.len)
            return payload_fail(c, PAYLOAD_TOTAL, total);
        payload_record_feed(&rec, buf, static_cast<uint32_t>(n));
        if (c->sink)
            c->sink(c, buf, n);
        if (c->progress)
            c->progress(c->ctx, c->blob_at + strm_tell(blob) - offset, c->end - offset);
    }
    c->block = 0;  // a short sum lies in no one block
    if (rec.len != total)
        return payload_fail(c, PAYLOAD_TOTAL, total);
    return payload_record_done(&rec, c);
}

static bool payload_decode(strm *file, uint32_t offset, uint8_t *buf, payload_check *c)
{
    // The walk has found every length inside the file.
    payload_cursor cur;
    payload_first(&cur, file, offset);
    while (cur.entry < cur.count) {
        payload_next(&cur);
        c->entry = cur.entry;
        c->blob_at = cur.blob_at;
        c->blob_len = cur.blob_len;
        strm *blob = rstrm_new(file, c->blob_len);
        bool ok = blob && payload_blob(blob, offset, buf, c);
        if (blob)
            strm_release(blob);
        if (!ok)
            return false;
        if (c->sink)
            c->sink(c, nullptr, 0);
    }
    c->entry = 0;
    return true;
}

bool payload_check_file(strm *file, uint32_t offset, payload_check *c)
{
    c->count = c->message_len = c->end = c->crc = c->blob_at = c->blob_len = 0;
    c->trailer = false;
    c->fault = PAYLOAD_OK;
    c->entry = c->block = c->value = 0;
    bool walked = payload_walk(file, offset, c);
    if (!walked && c->fault != PAYLOAD_CHECKSUM)
        return false;
    if (c->trailer && !c->decode_always)
        return true;
    // A checksum that does not match is damage; decoding may still say in
    // which entry it lies.
    payload_check found = *c;
    auto *buf = static_cast<uint8_t *>(malloc(QZT_BLOCK));
    if (!buf)
        return payload_fail(c, PAYLOAD_NO_MEMORY, 0);
    bool decoded = payload_decode(file, offset, buf, &found);
    free(buf);
    if (!decoded || walked) {
        *c = found;
        return decoded;
    }
    return false;
}
