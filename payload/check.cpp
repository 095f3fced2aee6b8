#include "payload/check.h"

#include <cstdlib>
#include <cstring>

#include "payload/crc32.h"
#include "stream/qzt.h"
#include "stream/rstrm.h"

static bool payload_fail(payload_check *c, int32_t fault, uint32_t value)
{
    c->fault = fault;
    c->value = value;
    return false;
}

// Moves n bytes of the reader's window along into the CRC (into out as well,
// when given); false when the data ends first.
static bool payload_take(strm *s, uint32_t n, uint32_t *crc, uint8_t *out)
{
    while (n > 0) {
        if (s->next >= s->end && !s->kind->fill(s))
            return false;
        auto avail = static_cast<uint32_t>(s->end - s->next);
        uint32_t k = avail < n ? avail : n;
        *crc = crc32_update(*crc, s->next, k);
        if (out) {
            memcpy(out, s->next, k);
            out += k;
        }
        s->next += k;
        n -= k;
    }
    return true;
}

static uint32_t payload_be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Every length inside the file, the CRC-32 of everything up to the trailer,
// and the trailer itself where there is one.
static bool payload_walk(strm *file, uint32_t offset, payload_check *c)
{
    uint32_t size = strm_size(file);
    if (size <= offset)
        return payload_fail(c, PAYLOAD_NONE, 0);
    strm_seek(file, offset);
    uint32_t crc = 0;
    uint8_t word[PAYLOAD_HEADER];
    if (size - offset < PAYLOAD_HEADER || !payload_take(file, PAYLOAD_HEADER, &crc, word))
        return payload_fail(c, PAYLOAD_HEADER_CUT, size - offset);
    c->count = payload_be32(word);
    c->message_len = payload_be32(word + 4);
    uint32_t pos = offset + PAYLOAD_HEADER;
    if (c->message_len > size - pos || !payload_take(file, c->message_len, &crc, nullptr))
        return payload_fail(c, PAYLOAD_MESSAGE_CUT, c->message_len);
    pos += c->message_len;
    for (uint32_t k = 1; k <= c->count; k++) {
        c->entry = k;
        if (size - pos < 4 || !payload_take(file, 4, &crc, word))
            return payload_fail(c, PAYLOAD_LENGTH_CUT, size - pos);
        uint32_t len = payload_be32(word);
        pos += 4;
        c->blob_at = pos;
        c->blob_len = len;
        if (len > size - pos || !payload_take(file, len, &crc, nullptr))
            return payload_fail(c, PAYLOAD_BLOB_CUT, len);
        pos += len;
    }
    c->entry = 0;
    c->end = pos;
    if (pos == size)
        return true;
    uint32_t unused = 0;
    if (size - pos < PAYLOAD_TRAILER_SIZE || !payload_take(file, PAYLOAD_TRAILER_SIZE, &unused, word) ||
        payload_be32(word) != PAYLOAD_TRAILER_MAGIC)
        return payload_fail(c, PAYLOAD_EXTRA, size - pos);
    if (payload_be32(word + 4) != crc)
        return payload_fail(c, PAYLOAD_CHECKSUM, payload_be32(word + 4));
    c->trailer = true;
    return true;
}

// The record as it streams by: its head kept, its length counted.
struct payload_record_state {
    uint8_t head[RECORD_WRITE_HEAD_SIZE];
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
    if (r->len < RECORD_HEAD_SIZE)
        return payload_fail(c, PAYLOAD_RECORD_SIZE, r->len);
    if (!memchr(r->head + 1, 0, RECORD_NAME_SIZE))
        return payload_fail(c, PAYLOAD_NAME_OPEN, 0);
    if (!memchr(r->head + 1 + RECORD_NAME_SIZE, 0, RECORD_DEST_SIZE))
        return payload_fail(c, PAYLOAD_DEST_OPEN, 0);
    uint8_t action = r->head[0];
    if (action == ACTION_DELETE && r->len != RECORD_HEAD_SIZE)
        return payload_fail(c, PAYLOAD_RECORD_SIZE, r->len);
    if (action == ACTION_WRITE &&
        (r->len < RECORD_WRITE_HEAD_SIZE || r->len - RECORD_WRITE_HEAD_SIZE != payload_be32(r->head + RECORD_HEAD_SIZE)))
        return payload_fail(c, PAYLOAD_RECORD_SIZE, r->len);
    return true;
}

// One blob, read through a range reader so that nothing past its B bytes is
// taken for its own: the stream header, then blocks until the range ends.
static bool payload_blob(strm *blob, uint8_t *buf, payload_check *c)
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
    }
    c->block = 0;  // a short sum lies in no one block
    if (rec.len != total)
        return payload_fail(c, PAYLOAD_TOTAL, total);
    return payload_record_done(&rec, c);
}

static bool payload_decode(strm *file, uint32_t offset, uint8_t *buf, payload_check *c)
{
    uint32_t pos = offset + PAYLOAD_HEADER + c->message_len;
    strm_seek(file, pos);
    for (uint32_t k = 1; k <= c->count; k++) {
        c->entry = k;
        c->blob_len = strm_get32(file);
        c->blob_at = pos + 4;
        strm *blob = rstrm_new(file, c->blob_len);
        bool ok = blob && payload_blob(blob, buf, c);
        if (blob) {
            // A sound blob was read to its end, which leaves the file at the
            // next entry.
            strm_release(blob);
        }
        if (!ok)
            return false;
        if (c->sink)
            c->sink(c, nullptr, 0);
        pos = c->blob_at + c->blob_len;
    }
    c->entry = 0;
    return true;
}

bool payload_check_file(strm *file, uint32_t offset, payload_check *c)
{
    c->count = c->message_len = c->end = c->blob_at = c->blob_len = 0;
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

const char *payload_fault_text(int32_t fault)
{
    static const char *const texts[] = {
        "sound",
        "no patch data",
        "header cut short",
        "question runs past the end of the file",
        "blob length cut short",
        "blob runs past the end of the file",
        "bytes follow the last entry",
        "checksum does not match",
        "not a compressed stream",
        "block out of sync",
        "bad block length",
        "block corrupt",
        "stream runs past the end of its blob",
        "blocks do not add up to the stream's length",
        "record of the wrong length",
        "name not terminated",
        "destination not terminated",
        "out of memory",
    };
    static_assert(sizeof texts / sizeof texts[0] == PAYLOAD_NO_MEMORY + 1, "a text for every fault");
    return fault >= 0 && fault <= PAYLOAD_NO_MEMORY ? texts[fault] : "unknown fault";
}
