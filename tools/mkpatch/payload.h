// Writing and reading the payload of a patch (layout in payload/payload.h).
//
// Writer: entry records built from their fields, compressed into blobs, the
// header with the escaped question, the image padded to the payload offset,
// the trailer at the end.
// Reader: a whole patch file in memory goes through the payload check that
// the program runs, with every blob decoded, and each record is parsed with
// the builder's stricter rules. Faults are thrown (tools/mkpatch/error.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "payload/payload.h"
#include "tools/mkpatch/error.h"

using payload_bytes = std::vector<uint8_t>;

// The program addresses its own file through the stream library's signed
// 32-bit positions, so a patch must stay below 2 GiB.
constexpr uint64_t PAYLOAD_MAX_PATCH = 0x7FFFFFFF;
// A record's length is the compressed stream's 32-bit total.
constexpr uint64_t PAYLOAD_MAX_DATA = 0xFFFFFFFFu - RECORD_WRITE_HEAD_SIZE;
// The program builds every path in MAX_PATH bytes with its terminator.
constexpr uint32_t PAYLOAD_MAX_PATH = 259;

static_assert(PAYLOAD_MAX_PATCH > PAYLOAD_OFFSET + PAYLOAD_HEADER, "room for a payload");
static_assert(PAYLOAD_MAX_DATA + RECORD_WRITE_HEAD_SIZE == 0xFFFFFFFFu, "the largest record has a 32-bit length");
static_assert(RECORD_NAME_SIZE == PAYLOAD_MAX_PATH + 1, "a name of a whole path still holds its terminator");

// One entry record with its fields in code page 932, without terminators.
struct payload_record {
    uint8_t action = ACTION_DELETE;
    std::string name;
    std::string dest;
    payload_bytes data;  // write only
};

void payload_put32(payload_bytes *out, uint32_t v);
uint32_t payload_get32(const uint8_t *p);

// The record's bytes: 561 for a delete, 565 + D for a write. The caller has
// checked that name and dest fit their fields with a terminator.
payload_bytes payload_record_bytes(const payload_record &r);
// A complete compressed stream of the record (qzt_encode at the given level).
payload_bytes payload_compress(const payload_bytes &record, int level);
// Entry count, question length and the question's stored (escaped) bytes.
payload_bytes payload_header(uint32_t count, std::string_view message);
// A patch's start: the program image (at most PAYLOAD_OFFSET bytes, checked
// by the caller) padded with zeros to the payload offset, then the header.
payload_bytes payload_start(const payload_bytes &image, uint32_t count, std::string_view message);
// Appends an entry: the record compressed at level, behind its length.
// Returns the blob's length; 0 when compression failed (nothing appended).
uint32_t payload_append(payload_bytes *patch, const payload_bytes &record, int level);
// Ends a patch whose entries are all appended: the trailer, the magic and the
// CRC-32 of the payload so far (layout in payload/check.h).
void payload_trailer(payload_bytes *patch);
// The question as the program decodes it: a backslash is dropped and marks
// the next byte, a marked 'n' becomes CR LF, every other byte is copied.
std::string payload_unescape(std::string_view stored);

// Where a patch file's parts lie, as far as the check got.
struct payload_layout {
    uint32_t count = 0;
    std::string message;                // the stored question bytes
    std::vector<uint64_t> blob_offset;  // per entry read, in the file
    std::vector<uint32_t> blob_length;
    bool trailer = false;  // a trailer follows the last entry and its CRC-32 matches
    uint64_t end = 0;      // where the payload ends (its trailer included); the file's length until known
};

// A fault of a patch file: where it lies (1-based entry and block; 0 outside
// them), with the whole line that names it as its text, such as
// "entry 2, block 1: block out of sync".
struct payload_error : mkpatch_error {
    payload_error(uint32_t entry_, uint32_t block_, const std::string &what)
        : mkpatch_error(what), entry(entry_), block(block_)
    {
    }
    uint32_t entry, block;
};

// Parses and checks a record: action 1 or 2, both fields terminated and
// zero-filled after the terminator, a name, the length the action calls for.
// Throws mkpatch_error with the reason.
payload_record payload_parse(const payload_bytes &record);
// Checks a whole patch file in memory: the program image, then the payload
// check (payload/check.h) with every blob decoded, each record parsed and
// handed to visit (if given) with its entry number as soon as it has passed.
// Whatever follows a matching trailer is left alone. Throws payload_error
// with the first fault, once layout holds what was found before it and the
// records before it have been visited. An exception from visit ends the
// visits and comes out of here once the check has finished.
using payload_visit = std::function<void(uint32_t entry, const payload_record &r)>;
void payload_read(const uint8_t *file, uint64_t len, payload_layout *layout, const payload_visit &visit = nullptr);
