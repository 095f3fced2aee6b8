// Patch entries' deltas in mkpatch: made by build, decoded by verify and
// extract.
//
// A patch entry's data is the delta head (the old and new files' lengths and
// CRC-32s) and a delta (stream/qzd.h) of the new file against the old one.
// Build codes the new file twice, against the old file and against an empty
// one, compresses both records at the build's level and keeps the smaller
// (the one against the old file when they tie): a new file that has little in
// common with the old one costs what a write of it would, plus the delta's
// few bytes of block heads, and the head still names the old file the patch
// is for. The two deltas are coded at once on two threads when the build has
// them, and the choice depends on the sizes alone, so the patch is the same
// whatever their number.
//
// Memory while a patch entry is built: both files whole, the encoder's index
// of the old file (encode/qzd_encode.h) and both deltas (the one against
// nothing is about as long as the new file), then the deltas and their
// compressed records: about 3 times the two files' length on two threads,
// 2.4 on one, where the index is gone before the second delta is made. Only
// the delta against the old file codes its literals (encode/qzd_lits.h):
// the one against nothing stands for a write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

#include "payload/read.h"
#include "tools/mkpatch/pack.h"

struct delta_entry {
    pack_record record;  // with its data length and delta head
    pack_bytes blob;     // the record compressed
    uint32_t data_crc;   // of its data
    bool from_old;       // the delta against the old file was kept
};

// The patch entry of r's action, name and destination that turns old_file
// into new_file, compressed at level. Throws mkpatch_error naming the file
// that cannot be read or that is too long for a record.
delta_entry delta_build(const pack_record &r, const std::filesystem::path &old_file,
                        const std::filesystem::path &new_file, int level);

// Decodes the delta that data stands at (after the delta head d) against
// old, a reader with seek of d.old_len bytes, or, when old is null, against
// as many zero bytes (which checks the delta's structure, all but the new
// file's CRC-32 and the coded literals that follow the old file's head,
// which only the old file tells: their sections' lengths are checked; *unread,
// if given, says whether the delta puts that head on the literal stream).
// Each block of the new file goes to made, if given. Returns the new file's
// CRC-32; throws mkpatch_error when a block is unsound or the delta makes
// another length than d.new_len.
uint32_t delta_decode(strm *data, const payload_delta_head &d, strm *old,
                      const std::function<void(const uint8_t *, size_t)> &made = {}, bool *unread = nullptr);
