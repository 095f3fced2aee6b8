// The payload: the patch data appended behind the program image.
//
// At PAYLOAD_OFFSET of the program file: entry count N and message length M
// (u32, big-endian), M bytes of the question (code page 932, backslash-n for
// a line break), then N entries: blob length B (u32, big-endian) and B bytes
// of a compressed stream holding one entry record. A record is the action
// byte, the name field, the destination field and, for a write, the data
// length D (u32, big-endian) and the D bytes of the file.
#pragma once

#include <cstdint>

constexpr uint32_t PAYLOAD_OFFSET = 65536;  // the program image is padded to this length
constexpr uint32_t PAYLOAD_HEADER = 8;      // entry count and message length

constexpr uint32_t RECORD_NAME_SIZE = 260;  // NUL-terminated, zero-padded
constexpr uint32_t RECORD_DEST_SIZE = 300;  // NUL-terminated, zero-padded
constexpr uint32_t RECORD_HEAD_SIZE = 1 + RECORD_NAME_SIZE + RECORD_DEST_SIZE;
constexpr uint32_t RECORD_WRITE_HEAD_SIZE = RECORD_HEAD_SIZE + 4;  // with the data length

constexpr uint8_t ACTION_WRITE = 1;
constexpr uint8_t ACTION_DELETE = 2;

struct strm;

// Decodes count stored bytes of the question from src into dst: backslash-n
// becomes CR LF, any other backslash is dropped and marks the byte after it
// as plain. At most count bytes are written, and no terminator.
void patch_unescape(strm *src, char *dst, uint32_t count);

static_assert(RECORD_HEAD_SIZE == 561, "a delete record is 561 bytes");
static_assert(RECORD_WRITE_HEAD_SIZE == 565, "a write record of no data is 565 bytes");
