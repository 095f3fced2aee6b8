// The payload check: a patch file's payload walked and checked before
// anything is changed, by the program at start-up and by mkpatch.
//
// The walk: the header, the question and every entry's length lie inside the
// file, and the entries end where the file ends or where a trailer starts.
// The trailer (written by the builder after the N-th entry) is the magic and
// the CRC-32 of the payload bytes before it; whatever follows it (a code
// signature) is left out. The decode: every blob is a compressed stream that
// ends at exactly its B bytes, whose block headers and coded words keep the
// format's limits, whose blocks add up to the stream's total, and whose record
// is 561 bytes, or 565 + D for an action with data (payload/action.h), with the name and the destination
// terminated inside their fields. A matching trailer vouches for what the
// builder checked, so the decode runs only without one (or when asked to).
// Nothing is reported here: the first fault comes back in payload_check.
#pragma once

#include <cstdint>

#include "payload/fault.h"
#include "payload/payload.h"
#include "payload/read.h"

struct strm;

struct payload_check;
// Takes each decoded piece of the current entry's record (data null and n 0
// once the record has passed its checks); for tools that read the records.
typedef void (*payload_sink)(payload_check *c, const uint8_t *data, int32_t n);

struct payload_check {
    // Set by the caller.
    bool decode_always;  // decode every blob even with a matching trailer
    payload_sink sink;   // may be null
    // May be null: told how far each pass goes, the CRC's over the payload
    // and the decode's, which runs only after it.
    payload_progress progress;
    void *ctx;  // the sink's and progress's
    // Found by the check.
    uint32_t count;        // entry count N
    uint32_t message_len;  // question length M
    uint32_t end;          // file offset after the last entry
    uint32_t crc;          // CRC-32 of the payload up to there, once the walk got there
    bool trailer;          // a matching trailer follows the last entry
    uint32_t blob_at;      // current entry: file offset of its blob
    uint32_t blob_len;     // and its length B
    // The first fault.
    int32_t fault;   // PAYLOAD_OK or a fault of payload/fault.h
    uint32_t entry;  // 1-based entry it lies in; 0 for the header and the trailer
    uint32_t block;  // 1-based block of the entry's blob, 0 outside blocks
    uint32_t value;  // as noted with the fault
};

// Checks the payload at offset of the file that the reader reads (it is left
// anywhere). True when it is sound; false with the first fault in c.
bool payload_check_file(strm *file, uint32_t offset, payload_check *c);
