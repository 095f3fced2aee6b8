#include "payload/payload.h"
#include "stream/strm.h"

// Byte by byte, with one pending-escape flag: a backslash is never copied;
// backslash then 'n' gives CR LF; any other byte is copied. The output is
// never longer than count.
void patch_unescape(strm *src, char *dst, uint32_t count)
{
    bool escape = false;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t c = strm_getc(src);
        if (c == '\\') {
            escape = true;
        } else if (escape && c == 'n') {
            *dst++ = '\r';
            *dst++ = '\n';
            escape = false;
        } else {
            *dst++ = static_cast<char>(c);
            escape = false;
        }
    }
}
