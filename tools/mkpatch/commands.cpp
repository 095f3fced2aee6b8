#include "tools/mkpatch/commands.h"

#include <cstdio>
#include <system_error>

#include "payload/read.h"
#include "tools/mkpatch/cp932.h"
#include "tools/mkpatch/delta.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/manifest_values.h"

namespace fs = std::filesystem;

std::string mkpatch_show(std::string_view cp932)
{
    std::string out;
    if (cp932_to_utf8(cp932, &out))
        return out;
    out.clear();
    for (char c : cp932) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", static_cast<uint8_t>(c));
        out += static_cast<uint8_t>(c) < 0x80 ? std::string(1, c) : std::string(hex);
    }
    return out;
}

void mkpatch_report(const manifest &m)
{
    for (const std::string &w : m.warnings)
        fprintf(stderr, "%s\n", w.c_str());
    for (const std::string &e : m.errors)
        fprintf(stderr, "%s\n", e.c_str());
}

void mkpatch_read(const std::string &patch_file, pack_layout *layout, const pack_visitor &visit)
{
    try {
        pack_read_file(file_path(patch_file), layout, visit);
    } catch (const pack_error &e) {
        throw mkpatch_error(patch_file + ": " + e.what());
    }
}

fs::path mkpatch_entry_path(const fs::path &root, uint32_t k, const pack_record &r)
{
    std::string name;
    if (!cp932_to_utf8(r.name, &name))
        throw mkpatch_error("entry " + std::to_string(k) + ": the name '" + mkpatch_show(r.name) +
                            "' is not valid code page 932");
    try {
        manifest_name(name);
    } catch (const mkpatch_error &e) {
        throw mkpatch_error("entry " + std::to_string(k) + ": the name '" + name +
                            "' cannot be a file here: " + e.what());
    }
    return file_under(root, name);
}

bool mkpatch_rebuild(strm *data, uint32_t k, const pack_record &r, const fs::path *old_root,
                     const std::function<void(const uint8_t *, size_t)> &made)
{
    std::string where = "entry " + std::to_string(k) + " (" + mkpatch_show(r.name) + "): ";
    strm_ptr old;
    if (old_root) {
        fs::path path = mkpatch_entry_path(*old_root, k, r);
        std::string file = file_utf8(path);
        std::error_code ec;
        if (!fs::is_regular_file(path, ec))
            throw mkpatch_error(where + file + ": no such file, and the patch is for one of " +
                                std::to_string(r.delta.old_len) + " bytes");
        uintmax_t size = fs::file_size(path, ec);
        if (ec)
            throw mkpatch_error(where + file + ": " + ec.message());
        if (size != r.delta.old_len)
            throw mkpatch_error(where + file + " is " + std::to_string(size) +
                                " bytes, not the version the patch is for (" + std::to_string(r.delta.old_len) +
                                " bytes)");
        old = file_open_read(path);
        uint32_t crc = payload_crc(old.get(), 0, r.delta.old_len);
        if (crc != r.delta.old_crc)
            throw mkpatch_error(where + file + " has the CRC-32 " + pack_hex(crc, 8) +
                                ", not the version the patch is for (" + pack_hex(r.delta.old_crc, 8) + ")");
    }
    uint32_t crc;
    bool unread = false;
    try {
        crc = delta_decode(data, r.delta, old.get(), made, &unread);
    } catch (const mkpatch_error &e) {
        throw mkpatch_error(where + e.what());
    }
    if (old_root && crc != r.delta.new_crc)
        throw mkpatch_error(where + "the rebuilt file has the CRC-32 " + pack_hex(crc, 8) + ", the patch says " +
                            pack_hex(r.delta.new_crc, 8));
    return unread;
}
