#include "payload/fault.h"

#include <cstring>

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

// The pieces go in one after another; the longest line ("damaged patch,
// entry 4294967295: " and the longest text) fits the buffer.
static char *payload_append(char *at, const char *text)
{
    size_t n = strlen(text);
    memcpy(at, text, n + 1);
    return at + n;
}

void payload_fault_line(int32_t fault, uint32_t entry, char out[PAYLOAD_FAULT_LINE])
{
    if (fault == PAYLOAD_NONE) {
        payload_append(out, payload_fault_text(fault));
        return;
    }
    char *at = payload_append(out, "damaged patch");
    if (entry) {
        char digits[11];
        char *d = digits + sizeof digits - 1;
        *d = '\0';
        do {
            *--d = static_cast<char>('0' + entry % 10);
            entry /= 10;
        } while (entry);
        at = payload_append(at, ", entry ");
        at = payload_append(at, d);
    }
    at = payload_append(at, ": ");
    payload_append(at, payload_fault_text(fault));
}
