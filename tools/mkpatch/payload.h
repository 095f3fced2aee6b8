// Writing and reading the payload of a patch (layout in app/payload.h).
//
// Writer: entry records built from their fields, compressed into blobs, the
// header with the escaped question, the image padded to the payload offset.
// Reader: a whole patch file in memory is scanned for its structure (every
// length inside the file, nothing after the last entry), then each blob is
// unpacked with every fault named rather than reported fatally, and its
// record parsed and checked. Faults come back as text; nothing here exits.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "payload/payload.h"

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
// The question as the program decodes it: a backslash is dropped and marks
// the next byte, a marked 'n' becomes CR LF, every other byte is copied.
std::string payload_unescape(std::string_view stored);

// Where a patch file's parts lie.
struct payload_layout {
    uint32_t count = 0;
    std::string message;                // the stored question bytes
    std::vector<uint64_t> blob_offset;  // per entry, in the file
    std::vector<uint32_t> blob_length;
};

// A fault: the entry it lies in (1-based; 0 for the image and the header)
// and what is wrong.
struct payload_fault {
    uint32_t entry = 0;
    std::string what;
};

// Scans a patch file's image and payload. False with the first fault.
bool payload_scan(const uint8_t *file, uint64_t len, payload_layout *out, payload_fault *fault);
// Decompresses a blob, checking the compressed stream as it goes: magic,
// every block's sync word and length, coded words that stay inside the blob
// and keep the code's limits, the total. False with the reason.
bool payload_unpack(const uint8_t *blob, uint32_t len, payload_bytes *record, std::string *why);
// Parses and checks a record: action 1 or 2, both fields terminated and
// zero-filled after the terminator, the length the action calls for.
bool payload_parse(const payload_bytes &record, payload_record *out, std::string *why);
// Scan, then unpack and parse of every entry in order, each good record
// handed to visit (if given) with its entry number; stops at the first fault.
using payload_visit = std::function<void(uint32_t entry, const payload_record &r)>;
bool payload_read(const uint8_t *file, uint64_t len, payload_layout *layout, const payload_visit &visit,
                  payload_fault *fault);
