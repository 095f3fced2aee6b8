// Reading the payload's layout (payload/payload.h) through a reader of the
// patch file: the header and the entries one after another, every length
// checked against the file's size before anything is read by it, and a
// record's head read from its decoded stream. Every walk of the payload (the
// payload check, the program's steps, mkpatch and the tests) goes through
// here. Nothing is reported: a fault comes back as a code of payload/fault.h.
#pragma once

#include <cstdint>

#include "payload/fault.h"
#include "payload/payload.h"

struct strm;

struct payload_cursor {
    strm *file;
    uint32_t size;         // the file's length
    uint32_t offset;       // where the payload starts
    uint32_t count;        // entry count N
    uint32_t message_at;   // file offset of the question
    uint32_t message_len;  // and its length M
    uint32_t entry;        // 1-based entry the cursor is at; 0 before the first
    uint32_t blob_at;      // its blob's file offset
    uint32_t blob_len;     // and its length B
    uint32_t value;        // with a fault: its value, as payload/fault.h notes
};

// Reads the header of the payload at offset of the file: PAYLOAD_OK,
// PAYLOAD_NONE, PAYLOAD_HEADER_CUT or PAYLOAD_MESSAGE_CUT. The cursor then
// stands before the first entry.
int32_t payload_first(payload_cursor *c, strm *file, uint32_t offset);
// Moves to the next entry (the caller keeps within the count) and reads its
// blob's length: PAYLOAD_OK with the reader at the blob's first byte,
// PAYLOAD_LENGTH_CUT or PAYLOAD_BLOB_CUT. The reader may be left anywhere
// between two calls; it is moved only where it must be.
int32_t payload_next(payload_cursor *c);
// The file offset after the cursor's entry (after the question before the
// first): where the next entry, or the trailer, starts.
uint32_t payload_after(const payload_cursor *c);

// Told, now and then during a pass over the file, how many of its bytes
// are done.
typedef void (*payload_progress)(void *ctx, uint32_t done, uint32_t total);

// The CRC-32 of the file's bytes [from, to), which lie inside it; progress,
// if given, is told after each window of them.
uint32_t payload_crc(strm *file, uint32_t from, uint32_t to, payload_progress progress = nullptr, void *ctx = nullptr);

// A record's head.
struct payload_head {
    uint8_t action;
    char name[RECORD_NAME_SIZE];  // terminated
    char dest[RECORD_DEST_SIZE];  // terminated
    uint32_t data_len;            // D, for an action with data; else 0
};
// Reads the head from a record's decoded stream: PAYLOAD_OK, or
// PAYLOAD_NAME_OPEN or PAYLOAD_DEST_OPEN for a field whose terminator is not
// among the bytes read (a field cut at its end, or by the end of the record,
// would name another file). The stream is left at the record's data, if it
// has any.
int32_t payload_read_head(strm *rec, payload_head *h);
// A patch entry's data head: the old file it builds on, the new file it makes.
struct payload_delta_head {
    uint32_t old_len;
    uint32_t old_crc;
    uint32_t new_len;
    uint32_t new_crc;
};
// Reads it from a patch entry's record, left at its data; false when the
// record ends first. The stream is left at the delta.
bool payload_read_delta_head(strm *rec, payload_delta_head *d);
// Checks a whole record's head (its first bytes, up to RECORD_DATA_HEAD_SIZE
// of them) against its length len: PAYLOAD_OK, PAYLOAD_RECORD_SIZE (a length
// the action does not call for, or too short for the fixed bytes its data
// starts with), PAYLOAD_NAME_OPEN or PAYLOAD_DEST_OPEN.
int32_t payload_check_head(const uint8_t *head, uint32_t len);
