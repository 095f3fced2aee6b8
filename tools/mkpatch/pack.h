// Packing: mkpatch writing and reading whole patch files, the program image
// and the payload behind it (layout in payload/payload.h).
//
// Writer: a patch goes to its file as it is made: the image padded to the
// payload offset, the header with the escaped question, then each entry's
// record, read from its source and compressed a batch of blocks at a time,
// behind its blob's length, and the trailer at the end, its CRC-32 taken as
// the bytes go by. Writing takes the same memory whatever the size of the
// sources.
// Reader: a patch file, read through a stream, goes through the payload check
// that the program runs, with every blob decoded, and each record is parsed
// with the builder's stricter rules. A record's data is handed on a decoded
// block at a time and never held whole, so that reading takes the same memory
// whatever the size of the patch. Faults are thrown (tools/mkpatch/error.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "payload/payload.h"
#include "payload/read.h"
#include "stream/qzt.h"
#include "tools/mkpatch/error.h"
#include "tools/mkpatch/files.h"

using pack_bytes = std::vector<uint8_t>;

// The program addresses its own file through the stream library's signed
// 32-bit positions, so a patch must stay below 2 GiB.
constexpr uint64_t PACK_MAX_PATCH = 0x7FFFFFFF;
// A record's length is the compressed stream's 32-bit total.
constexpr uint64_t PACK_MAX_DATA = 0xFFFFFFFFu - RECORD_DATA_HEAD_SIZE;
// The program builds every path in MAX_PATH bytes with its terminator.
constexpr uint32_t PACK_MAX_PATH = 259;

// Records are compressed this many bytes at a time: whole blocks, enough of
// them to keep the best level's two threads busy.
constexpr uint32_t PACK_BATCH = 256 * QZT_BLOCK;

// A record's fixed bytes: its head and, for a patch entry, the delta head
// that its data starts with.
constexpr uint32_t PACK_HEAD_SIZE = RECORD_DATA_HEAD_SIZE + DELTA_HEAD_SIZE;

static_assert(PACK_MAX_PATCH > PAYLOAD_OFFSET + PAYLOAD_HEADER, "room for a payload");
static_assert(PACK_BATCH % QZT_BLOCK == 0 && PACK_BATCH >= RECORD_DATA_HEAD_SIZE,
              "a batch is whole blocks and holds a record's head");
static_assert(PACK_MAX_DATA + RECORD_DATA_HEAD_SIZE == 0xFFFFFFFFu, "the largest record has a 32-bit length");
static_assert(RECORD_NAME_SIZE == PACK_MAX_PATH + 1, "a name of a whole path still holds its terminator");

// v in hexadecimal, 0x and digits digits at least: a CRC-32 or a magic word
// in a message.
std::string pack_hex(uint32_t v, int digits);
// The actions of the table (payload/action.h) as a list of what item makes
// of each: "A", "A<last>B", "A, B<last>C".
std::string pack_action_list(const std::function<std::string(const payload_action_row &)> &item, const char *last);

// How many of the entries are of each action, in the table's order, those
// of none left out: "1 write entry, 2 patch entries"; "no entries".
std::string pack_action_counts(const std::vector<uint8_t> &actions);

// One entry record's head: its fields in code page 932, without terminators.
struct pack_record {
    uint8_t action = ACTION_DELETE;
    std::string name;
    std::string dest;
    uint32_t size = 0;           // for an action with data: the length D of the data behind the head
    payload_delta_head delta{};  // for a patch entry: the first bytes of its data
};

// The record's head: all 561 bytes of a delete, the first 565 of a write,
// whose D bytes of data follow. The caller has checked that name and dest fit
// their fields with a terminator.
pack_bytes pack_record_head(const pack_record &r);
// Entry count, question length and the question's stored (escaped) bytes.
pack_bytes pack_header(uint32_t count, std::string_view message);
// A patch's start: the program image (at most PAYLOAD_OFFSET bytes, checked
// by the caller) padded with zeros to the payload offset, then the header.
pack_bytes pack_start(const pack_bytes &image, uint32_t count, std::string_view message);

// A patch being written.
struct pack_writer {
    file_writer file;
    int level;          // of compression
    uint64_t size = 0;  // bytes written
    uint32_t crc = 0;   // CRC-32 of the payload written
};
// What an entry came to: its blob's length, and the CRC-32 of its data.
struct pack_written {
    uint32_t blob;
    uint32_t data_crc;
};
// Creates the patch file with its start (pack_start) for count entries.
pack_writer pack_write_start(const std::filesystem::path &path, const pack_bytes &image, uint32_t count,
                             std::string_view message, int level);
// Appends an entry: the record of r compressed, behind its blob's length.
// A write's r.size bytes of data (at most PACK_MAX_DATA) are read from
// data, which must hold exactly as many; a delete reads nothing. Throws when
// data holds another length, when the patch would pass PACK_MAX_PATCH
// with its trailer, or when the file cannot be written; the patch is left
// unfinished then.
pack_written pack_write_entry(pack_writer *w, const pack_record &r, strm *data);
// Compresses the record of r as pack_write_entry does, a batch of blocks at
// a time, handing each piece of the blob to put in order; put returns false
// to stop there. Returns the CRC-32 of the data read (all of it, unless put
// stopped). Throws as pack_write_entry does about data.
uint32_t pack_compress(const pack_record &r, strm *data, int level,
                       const std::function<bool(const uint8_t *, uint32_t)> &put);
// Appends an entry whose record is compressed already (pack_compress):
// its blob's length and the blob. Throws as pack_write_entry does.
pack_written pack_write_blob(pack_writer *w, const pack_bytes &blob, uint32_t data_crc);
// Appends the trailer: the magic and the CRC-32 of the payload before it.
void pack_write_trailer(pack_writer *w);
// Closes the file; throws when a byte did not reach it.
void pack_write_finish(pack_writer *w);
// The question as the program decodes it: a backslash is dropped and marks
// the next byte, a marked 'n' becomes CR LF, every other byte is copied.
std::string pack_unescape(std::string_view stored);

// Where a patch file's parts lie, as far as the check got.
struct pack_layout {
    uint32_t count = 0;
    std::string message;                // the stored question bytes
    std::vector<uint64_t> blob_offset;  // per entry read, in the file
    std::vector<uint32_t> blob_length;
    bool trailer = false;  // a trailer follows the last entry and its CRC-32 matches
    uint64_t end = 0;      // where the payload ends (its trailer included); the file's length until known
    uint64_t size = 0;     // the file's length
};

// A fault of a patch file: where it lies (1-based entry and block; 0 outside
// them), with the whole line that names it as its text, such as
// "entry 2, block 1: block out of sync".
struct pack_error : mkpatch_error {
    pack_error(uint32_t entry_, uint32_t block_, const std::string &what)
            : mkpatch_error(what), entry(entry_), block(block_)
    {
    }
    uint32_t entry, block;
};

// Parses and checks a record of len bytes from its head (its first bytes, up
// to PACK_HEAD_SIZE of them): an action of the table, both fields terminated
// and zero-filled after the terminator, a name, the length the action calls
// for, and a patch entry's delta head. Throws mkpatch_error with the reason.
pack_record pack_parse(const uint8_t *head, uint64_t len);

// What pack_read hands on as it goes; either may be empty.
struct pack_visitor {
    // The next piece of the data of an entry with data (a patch entry's: the
    // delta head and the delta), as its blocks are decoded and before the
    // entry has passed all its checks.
    std::function<void(uint32_t entry, const uint8_t *data, size_t n)> data;
    // An entry's record, once it has passed every check.
    std::function<void(uint32_t entry, const pack_record &r)> record;
};

// Checks a patch file read through file, a reader whose size is the file's
// length: the program image, then the payload check (payload/check.h) with
// every blob decoded and each record parsed, its data and its record handed
// to visit. Whatever follows a matching trailer is left alone. Throws
// pack_error with the first fault, once layout holds what was found before
// it and the entries before it have been visited. An exception from visit
// ends the visits and comes out of here once the check has finished.
void pack_read(strm *file, pack_layout *layout, const pack_visitor &visit = {});
// The same for the file at path, through a buffered reader.
void pack_read_file(const std::filesystem::path &path, pack_layout *layout, const pack_visitor &visit = {});
// The decoded record of the entry (1-based) of a patch that pack_read has
// checked into layout, standing at its data: a second pass over one entry
// without holding the first one's data. file is a reader with seek of the
// patch, which the stream reads from; throws when the record ends first.
strm_ptr pack_open_data(strm *file, const pack_layout &layout, uint32_t entry);
