#include "payload/read.h"

#include <cstring>

#include "payload/crc32.h"
#include "stream/strm.h"

// Puts the reader at pos: by moving along its window where pos lies in it,
// since a seek drops the window and reads it again.
static void payload_goto(strm *s, uint32_t pos)
{
    uint32_t here = strm_tell(s);
    if (pos >= here && pos - here <= static_cast<uint32_t>(s->end - s->next))
        s->next += pos - here;
    else
        strm_seek(s, pos);
}

static int32_t payload_fault(payload_cursor *c, int32_t fault, uint32_t value)
{
    c->value = value;
    return fault;
}

int32_t payload_first(payload_cursor *c, strm *file, uint32_t offset)
{
    c->file = file;
    c->size = strm_size(file);
    c->offset = offset;
    c->count = c->message_at = c->message_len = 0;
    c->entry = c->blob_at = c->blob_len = c->value = 0;
    if (c->size <= offset)
        return payload_fault(c, PAYLOAD_NONE, 0);
    if (c->size - offset < PAYLOAD_HEADER)
        return payload_fault(c, PAYLOAD_HEADER_CUT, c->size - offset);
    uint8_t header[PAYLOAD_HEADER];
    payload_goto(file, offset);
    strm_read(file, header, PAYLOAD_HEADER);
    c->count = payload_get32(header + PAYLOAD_COUNT_AT);
    c->message_len = payload_get32(header + PAYLOAD_MESSAGE_LEN_AT);
    c->message_at = offset + PAYLOAD_HEADER;
    if (c->message_len > c->size - c->message_at)
        return payload_fault(c, PAYLOAD_MESSAGE_CUT, c->message_len);
    return PAYLOAD_OK;
}

uint32_t payload_after(const payload_cursor *c)
{
    return c->entry ? c->blob_at + c->blob_len : c->message_at + c->message_len;
}

int32_t payload_next(payload_cursor *c)
{
    uint32_t at = payload_after(c);
    c->entry++;
    if (c->size - at < PAYLOAD_BLOB_LEN_SIZE)
        return payload_fault(c, PAYLOAD_LENGTH_CUT, c->size - at);
    payload_goto(c->file, at);
    c->blob_len = strm_get32(c->file);
    c->blob_at = at + PAYLOAD_BLOB_LEN_SIZE;
    if (c->blob_len > c->size - c->blob_at)
        return payload_fault(c, PAYLOAD_BLOB_CUT, c->blob_len);
    return PAYLOAD_OK;
}

uint32_t payload_crc(strm *file, uint32_t from, uint32_t to, payload_progress progress, void *ctx)
{
    uint32_t crc = 0;
    payload_goto(file, from);
    for (uint32_t n = to - from; n > 0;) {
        if (file->next >= file->end && !file->kind->fill(file))
            break;
        auto avail = static_cast<uint32_t>(file->end - file->next);
        uint32_t k = avail < n ? avail : n;
        crc = crc32_update(crc, file->next, k);
        file->next += k;
        n -= k;
        if (progress)
            progress(ctx, to - from - n, to - from);
    }
    return crc;
}

// A field holds its terminator among the got bytes read of it.
static bool payload_closed(const uint8_t *field, uint32_t got)
{
    return got > 0 && memchr(field, 0, got);
}

int32_t payload_read_head(strm *rec, payload_head *h)
{
    h->action = strm_getc(rec);
    int32_t got_name = strm_read(rec, reinterpret_cast<uint8_t *>(h->name), RECORD_NAME_SIZE);
    int32_t got_dest = strm_read(rec, reinterpret_cast<uint8_t *>(h->dest), RECORD_DEST_SIZE);
    h->data_len = 0;
    if (!payload_closed(reinterpret_cast<uint8_t *>(h->name), static_cast<uint32_t>(got_name)))
        return PAYLOAD_NAME_OPEN;
    if (!payload_closed(reinterpret_cast<uint8_t *>(h->dest), static_cast<uint32_t>(got_dest)))
        return PAYLOAD_DEST_OPEN;
    if (payload_action_has_data(h->action))
        h->data_len = strm_get32(rec);
    return PAYLOAD_OK;
}

int32_t payload_check_head(const uint8_t *head, uint32_t len)
{
    if (len < RECORD_HEAD_SIZE)
        return PAYLOAD_RECORD_SIZE;
    if (!payload_closed(head + RECORD_NAME_AT, RECORD_NAME_SIZE))
        return PAYLOAD_NAME_OPEN;
    if (!payload_closed(head + RECORD_DEST_AT, RECORD_DEST_SIZE))
        return PAYLOAD_DEST_OPEN;
    // A code that names no action has no length to check: it is passed over.
    const payload_action_row *action = payload_action_of(head[RECORD_ACTION_AT]);
    if (!action)
        return PAYLOAD_OK;
    if (!action->has_data)
        return len == RECORD_HEAD_SIZE ? PAYLOAD_OK : PAYLOAD_RECORD_SIZE;
    if (len < RECORD_DATA_HEAD_SIZE || len - RECORD_DATA_HEAD_SIZE != payload_get32(head + RECORD_DATA_LEN_AT) ||
        len - RECORD_DATA_HEAD_SIZE < action->data_at)
        return PAYLOAD_RECORD_SIZE;
    return PAYLOAD_OK;
}

bool payload_read_delta_head(strm *rec, payload_delta_head *d)
{
    uint8_t b[DELTA_HEAD_SIZE];
    if (strm_read(rec, b, DELTA_HEAD_SIZE) != static_cast<int32_t>(DELTA_HEAD_SIZE))
        return false;
    d->old_len = payload_get32(b + DELTA_OLD_LEN_AT);
    d->old_crc = payload_get32(b + DELTA_OLD_CRC_AT);
    d->new_len = payload_get32(b + DELTA_NEW_LEN_AT);
    d->new_crc = payload_get32(b + DELTA_NEW_CRC_AT);
    return true;
}
