// The payload: the patch data appended behind the program image.
//
// At PAYLOAD_OFFSET of the program file: entry count N and message length M
// (u32, big-endian), M bytes of the question (code page 932, backslash-n for
// a line break), then N entries: blob length B (u32, big-endian) and B bytes
// of a compressed stream holding one entry record. A record is the action
// byte (payload/action.h), the name field, the destination field and, for an
// action with data, the data length D (u32, big-endian) and the D bytes;
// a patch entry's data starts with the old and new files' lengths and CRC-32s. The builder ends
// the payload with a trailer: a magic word and the CRC-32 of the payload
// bytes before it. This file is the one place that knows where each field
// lies; payload/read.h walks the layout and payload/write.h writes it.
#pragma once

#include <cstdint>

#include "payload/action.h"

constexpr uint32_t PAYLOAD_OFFSET = 65536;  // the program image is padded to this length

// The header.
constexpr uint32_t PAYLOAD_COUNT_AT = 0;        // entry count N
constexpr uint32_t PAYLOAD_MESSAGE_LEN_AT = 4;  // question length M
constexpr uint32_t PAYLOAD_HEADER = 8;          // the question follows
// Each entry's blob length B, before its blob.
constexpr uint32_t PAYLOAD_BLOB_LEN_SIZE = 4;

// The trailer, after the N-th entry.
constexpr uint32_t PAYLOAD_TRAILER_MAGIC = 0x5054434B;  // "PTCK"
constexpr uint32_t PAYLOAD_TRAILER_MAGIC_AT = 0;
constexpr uint32_t PAYLOAD_TRAILER_CRC_AT = 4;  // CRC-32 of the payload before the trailer
constexpr uint32_t PAYLOAD_TRAILER_SIZE = 8;

// An entry record.
constexpr uint32_t RECORD_ACTION_AT = 0;
constexpr uint32_t RECORD_NAME_AT = 1;
constexpr uint32_t RECORD_NAME_SIZE = 260;  // NUL-terminated, zero-padded
constexpr uint32_t RECORD_DEST_AT = RECORD_NAME_AT + RECORD_NAME_SIZE;
constexpr uint32_t RECORD_DEST_SIZE = 300;                                // NUL-terminated, zero-padded
constexpr uint32_t RECORD_HEAD_SIZE = RECORD_DEST_AT + RECORD_DEST_SIZE;  // a whole record without data
constexpr uint32_t RECORD_DATA_LEN_AT = RECORD_HEAD_SIZE;                 // D, where the action has data
constexpr uint32_t RECORD_DATA_HEAD_SIZE = RECORD_DATA_LEN_AT + 4;        // the D bytes follow

// A patch entry's data (payload/action.h): what the old file must be, what
// the new one will be, then the delta (stream/qzd.h) between them.
constexpr uint32_t DELTA_OLD_LEN_AT = 0;
constexpr uint32_t DELTA_OLD_CRC_AT = 4;
constexpr uint32_t DELTA_NEW_LEN_AT = 8;
constexpr uint32_t DELTA_NEW_CRC_AT = 12;

static_assert(DELTA_HEAD_SIZE == DELTA_NEW_CRC_AT + 4, "the delta follows the new file's CRC-32");
static_assert(PAYLOAD_HEADER == PAYLOAD_MESSAGE_LEN_AT + 4, "the question follows its length");
static_assert(PAYLOAD_TRAILER_SIZE == PAYLOAD_TRAILER_CRC_AT + 4, "the CRC-32 ends the trailer");
static_assert(RECORD_HEAD_SIZE == 561, "a record without data is 561 bytes");
static_assert(RECORD_DATA_HEAD_SIZE == 565, "a record of no data bytes is 565 bytes");

// The big-endian 32-bit word at p, the byte order of every length here.
constexpr uint32_t payload_get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

constexpr void payload_put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

struct strm;

// Decodes count stored bytes of the question from src into dst: backslash-n
// becomes CR LF, any other backslash is dropped and marks the byte after it
// as plain. At most count bytes are written, and no terminator.
void patch_unescape(strm *src, char *dst, uint32_t count);
