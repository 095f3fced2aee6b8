// Reference-counted byte stream.
//
// A stream is a byte window [next, end) plus a table of nine operations that
// differs by kind. Byte reads and writes run inline against the window; the
// table is called only when the window is exhausted and for whole-stream work.
// End of data is no error: every byte that cannot be had reads as 0xEE.
// Every constructor returns one reference owned by the caller; the last
// strm_release closes the stream (releasing any inner stream) and frees it.
#pragma once

#include <cstddef>
#include <cstdint>

struct strm;

struct strm_ops {
    int32_t (*fill)(strm *s);                               // refill the read window; nonzero: >= 1 byte now in it
    int32_t (*read)(strm *s, uint8_t *buf, int32_t count);  // read bypassing the window
    bool (*at_end)(strm *s);                                // data behind the window exhausted
    uint32_t (*size)(strm *s);                              // total data length
    uint32_t (*tell)(strm *s);                              // position as the user sees it
    uint32_t (*seek)(strm *s, uint32_t pos);                // absolute seek
    void (*close)(strm *s);                                 // give up the kind's resources, not the object
    bool (*drain)(strm *s);                                 // hand pending write bytes on, empty the window
    int32_t (*write)(strm *s, const uint8_t *buf, int32_t count);  // write bypassing the window
};

struct strm {
    uint8_t *next;         // reading: next unread byte; writing: next free byte
    uint8_t *end;          // reading: one past the last valid byte; writing: end of the buffer
    const strm_ops *kind;  // static table of the stream's kind
    int32_t refs;
};

// The value of every byte read past the end of the data.
constexpr uint8_t STRM_EXHAUSTED = 0xEE;

// Allocates a zeroed stream object of `bytes` (head included) with the given
// kind and one reference. Out of memory is a fatal report; returns null then.
strm *strm_alloc(size_t bytes, const strm_ops *kind);

uint8_t strm_getc_refill(strm *s);
uint16_t strm_get16_refill(strm *s);
void strm_putc_drain(strm *s, uint8_t c);

inline uint8_t strm_getc(strm *s)
{
    if (s->next < s->end)
        return *s->next++;
    return strm_getc_refill(s);
}

// Big-endian 16-bit value; a byte that cannot be had counts as 0xEE.
inline uint16_t strm_get16(strm *s)
{
    if (s->end - s->next >= 2) {
        uint16_t v = static_cast<uint16_t>(s->next[0] << 8 | s->next[1]);
        s->next += 2;
        return v;
    }
    return strm_get16_refill(s);
}

inline void strm_putc(strm *s, uint8_t c)
{
    if (s->next < s->end)
        *s->next++ = c;
    else
        strm_putc_drain(s, c);
}

uint32_t strm_get32(strm *s);
int32_t strm_read(strm *s, uint8_t *buf, int32_t count);
int32_t strm_write(strm *s, const uint8_t *buf, int32_t count);
bool strm_drain(strm *s);
bool strm_eof(strm *s);
uint32_t strm_size(strm *s);
uint32_t strm_tell(strm *s);
uint32_t strm_seek(strm *s, uint32_t pos);
strm *strm_addref(strm *s);
void strm_release(strm *s);
