#include "stream/strm.h"

#include <cstdlib>
#include <cstring>

#include "diag/diag.h"

static_assert(offsetof(strm, next) == 0 && offsetof(strm, end) == sizeof(void *) &&
                  offsetof(strm, kind) == 2 * sizeof(void *) && offsetof(strm, refs) == 3 * sizeof(void *),
              "the stream head is next, end, kind, refs in this order");

strm *strm_alloc(size_t bytes, const strm_ops *kind)
{
    auto *s = static_cast<strm *>(calloc(1, bytes));
    if (!s) {
        fatal_error("out of memory");
        return nullptr;
    }
    s->kind = kind;
    s->refs = 1;
    return s;
}

uint8_t strm_getc_refill(strm *s)
{
    if (!s->kind->fill(s))
        return STRM_EXHAUSTED;
    // A successful fill guarantees at least one byte in the window.
    return *s->next++;
}

uint16_t strm_get16_refill(strm *s)
{
    uint8_t hi = strm_getc(s);
    uint8_t lo = strm_getc(s);
    return static_cast<uint16_t>(hi << 8 | lo);
}

uint32_t strm_get32(strm *s)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v = v << 8 | strm_getc(s);
    return v;
}

void strm_putc_drain(strm *s, uint8_t c)
{
    // A window that could not be drained is still full: the byte is dropped
    // rather than stored past the end of the buffer.
    if (!strm_drain(s))
        return;
    *s->next++ = c;
}

int32_t strm_read(strm *s, uint8_t *buf, int32_t count)
{
    if (s->kind->read)
        return s->kind->read(s, buf, count);
    if (count <= 0)
        return 0;
    int32_t remaining = count;
    while (remaining > 0) {
        ptrdiff_t available = s->end - s->next;
        if (available <= 0) {
            if (!s->kind->fill(s))
                break;
            available = s->end - s->next;
        }
        int32_t n = available < remaining ? static_cast<int32_t>(available) : remaining;
        memcpy(buf, s->next, static_cast<size_t>(n));
        s->next += n;
        buf += n;
        remaining -= n;
    }
    return count - remaining;
}

int32_t strm_write(strm *s, const uint8_t *buf, int32_t count)
{
    if (s->kind->write)
        return s->kind->write(s, buf, count);
    if (count <= 0)
        return 0;
    int32_t remaining = count;
    do {
        ptrdiff_t room = s->end - s->next;
        int32_t n = room < remaining ? static_cast<int32_t>(room) : remaining;
        if (n > 0) {
            memcpy(s->next, buf, static_cast<size_t>(n));
            s->next += n;
            buf += n;
            remaining -= n;
        }
        // A window left exactly full is drained before returning.
        if (s->next >= s->end && !s->kind->drain(s))
            break;
    } while (remaining > 0);
    return count - remaining;
}

bool strm_drain(strm *s)
{
    return s->kind->drain(s);
}

bool strm_eof(strm *s)
{
    // at_end answers for the data behind the window only.
    return s->next >= s->end && s->kind->at_end(s);
}

uint32_t strm_size(strm *s)
{
    return s->kind->size(s);
}

uint32_t strm_tell(strm *s)
{
    return s->kind->tell(s);
}

uint32_t strm_seek(strm *s, uint32_t pos)
{
    return s->kind->seek(s, pos);
}

strm *strm_addref(strm *s)
{
    s->refs++;
    return s;
}

void strm_release(strm *s)
{
    if (--s->refs > 0)
        return;
    if (s->kind->close)
        s->kind->close(s);
    free(s);
}
