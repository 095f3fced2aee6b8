// The faults a payload can have, as the walk (payload/read.h) and the check
// (payload/check.h) find them, and the one line that reports a refused patch.
#pragma once

#include <cstddef>
#include <cstdint>

// Faults, in the order the check meets them.
enum : int32_t {
    PAYLOAD_OK = 0,
    PAYLOAD_NONE,          // no payload behind the program image
    PAYLOAD_HEADER_CUT,    // the entry count and question length are cut short
    PAYLOAD_MESSAGE_CUT,   // the question runs past the end of the file (value: its length)
    PAYLOAD_LENGTH_CUT,    // an entry's blob length is cut short
    PAYLOAD_BLOB_CUT,      // a blob runs past the end of the file (value: its length)
    PAYLOAD_EXTRA,         // bytes that are no trailer follow the last entry (value: how many)
    PAYLOAD_CHECKSUM,      // the trailer's CRC-32 does not match (value: the CRC found)
    PAYLOAD_NOT_QZT,       // a blob is no compressed stream (value: its first word)
    PAYLOAD_SYNC_LOST,     // a block header lacks the sync word
    PAYLOAD_BLOCK_LENGTH,  // a block length outside 1 to 32768 (value: the length)
    PAYLOAD_CORRUPT,       // coded words break the format's limits
    PAYLOAD_OVERRUN,       // a blob's stream runs past the blob's end
    PAYLOAD_TOTAL,         // the blocks do not add up to the stream's total (value: the total)
    PAYLOAD_RECORD_SIZE,   // a record's length is not what its action calls for (value: the length)
    PAYLOAD_NAME_OPEN,     // the name field holds no terminator
    PAYLOAD_DEST_OPEN,     // the destination field holds no terminator
    PAYLOAD_NO_MEMORY,     // no memory for the block buffer
};

// A short English name of a fault, such as "blob runs past the end of the file".
const char *payload_fault_text(int32_t fault);

// Room for any line of payload_fault_line, its terminator included.
constexpr size_t PAYLOAD_FAULT_LINE = 96;
// The report of a patch the check refused, as the program shows it after the
// patch's path: "no patch data", "damaged patch, entry 3: block corrupt" (for
// a fault in entry 3; entry 0 is the header or the trailer) or "damaged
// patch: checksum does not match".
void payload_fault_line(int32_t fault, uint32_t entry, char out[PAYLOAD_FAULT_LINE]);
