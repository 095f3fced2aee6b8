// Entry records and patch files for the program's tests.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "app/entry.h"
#include "app/lock.h"
#include "app/patch.h"
#include "app/swap.h"
#include "encode/qzd_encode.h"
#include "payload/crc32.h"
#include "payload/write.h"
#include "stream/mstrm.h"
#include "tests/test_util.h"

// Each test process takes a run lock of its own name: tests running at once,
// and the program's own runs, never meet one.
inline const char *const g_test_run_lock_name = [] {
    static char name[64];
    wsprintfA(name, "OrvaneTestRun-%lu", GetCurrentProcessId());
    return g_run_lock_name = name;
}();

// A write record's tail: the data length and the data.
inline bytes write_tail(uint32_t len)
{
    bytes b;
    put_be(b, len, 4);
    for (uint32_t i = 0; i < len; i++)
        b.push_back(static_cast<uint8_t>(i * 13));
    return b;
}

// A patch record's tail: the data length, the old and new files' lengths
// and CRC-32s, then the delta of now against old.
inline bytes patch_tail(const bytes &old, const bytes &now)
{
    strm *out = mstrm_new_writer();
    qzd_encode(old.data(), static_cast<uint32_t>(old.size()), now.data(), static_cast<uint32_t>(now.size()), out, true);
    uint32_t len;
    const uint8_t *delta = mstrm_data(out, &len);
    uint8_t head[DELTA_HEAD_SIZE];
    payload_put_delta_head(head, {static_cast<uint32_t>(old.size()), crc32_update(0, old.data(), old.size()),
                                  static_cast<uint32_t>(now.size()), crc32_update(0, now.data(), now.size())});
    bytes b;
    put_be(b, DELTA_HEAD_SIZE + len, 4);
    b.insert(b.end(), head, head + DELTA_HEAD_SIZE);
    b.insert(b.end(), delta, delta + len);
    strm_release(out);
    return b;
}

// An old file of a game and its new version: a region changed, one inserted.
inline bytes game_file(bool now)
{
    bytes b;
    for (uint32_t i = 0; i < 150000; i++)
        b.push_back(static_cast<uint8_t>((i * 2654435761u) >> 24));
    if (now) {
        for (uint32_t i = 70000; i < 70100; i++)
            b[i] ^= 0x5A;
        b.insert(b.begin() + 100000, 3000, 'N');
    }
    return b;
}

// An entry record as a compressed stream of literal-only blocks.
inline bytes record_blob(uint8_t action, const std::string &name, const std::string &dest, const bytes &tail = {})
{
    uint8_t head[RECORD_DATA_HEAD_SIZE];
    payload_put_head(head, action, name.data(), static_cast<uint32_t>(std::min<size_t>(name.size(), RECORD_NAME_SIZE)),
                     dest.data(), static_cast<uint32_t>(std::min<size_t>(dest.size(), RECORD_DEST_SIZE)), 0);
    // The tail brings a write's data length itself.
    std::string rec(reinterpret_cast<const char *>(head), RECORD_HEAD_SIZE);
    rec.append(tail.begin(), tail.end());
    std::vector<std::pair<uint16_t, bytes>> blocks;
    for (size_t at = 0; at < rec.size(); at += 1000) {
        std::string part = rec.substr(at, 1000);
        blocks.emplace_back(static_cast<uint16_t>(part.size()), BlockBuilder().literals(part).words());
    }
    return qzt_stream(static_cast<uint32_t>(rec.size()), blocks);
}

inline std::string dir_of(const TempDir &d)
{
    std::string f = d.file("x");
    return f.substr(0, f.size() - 1);
}

// A patch file: an empty image, the header with a question, then each blob
// behind its length.
inline bytes patch_file(const std::vector<bytes> &blobs)
{
    bytes file(PAYLOAD_OFFSET + PAYLOAD_HEADER, 0);
    payload_put_header(&file[PAYLOAD_OFFSET], static_cast<uint32_t>(blobs.size()), 1);
    file.push_back('Q');
    for (const bytes &b : blobs) {
        put_be(file, static_cast<uint32_t>(b.size()), 4);
        file.insert(file.end(), b.begin(), b.end());
    }
    return file;
}

// The entry the temporary file holds, staged and swapped in as the work does
// it, as the one entry of a patch.
inline bool apply_now()
{
    patch_swap_begin(1);
    patch_apply_entry(nullptr, 1);
    return patch_swap_commit();
}

// A write of the data src holds (behind its length), as the one entry of a
// patch.
inline bool write_now(const std::string &dir, const char *name, strm *src)
{
    patch_swap_begin(1);
    patch_write_file(nullptr, dir.c_str(), name, strm_get32(src), src, 1);
    return patch_swap_commit();
}
