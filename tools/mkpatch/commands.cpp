#include "tools/mkpatch/commands.h"

#include <cstdio>

#include "tools/mkpatch/cp932.h"

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
