#include "tools/mkpatch/manifest_values.h"

#include <cstdio>

#include "payload/dest.h"
#include "payload/payload.h"
#include "tools/mkpatch/cp932.h"
#include "tools/mkpatch/error.h"
#include "tools/mkpatch/pack.h"

namespace {

std::string manifest_hex(std::string_view bytes)
{
    std::string out;
    char buf[8];
    for (char c : bytes) {
        snprintf(buf, sizeof buf, "%s0x%02X", out.empty() ? "" : " ", static_cast<uint8_t>(c));
        out += buf;
    }
    return out;
}

// One character of a name or destination in code page 932.
std::string manifest_char(char32_t c)
{
    if (c == 0)
        throw mkpatch_error("it contains a NUL character, which would end it there");
    if (c < 0x20 || c == 0x7F)
        throw mkpatch_error("it contains the control character " + cp932_describe(c));
    std::string bytes;
    if (!cp932_encode_char(c, &bytes))
        throw mkpatch_error(cp932_describe(c) + " has no code page 932 form");
    return bytes;
}

// Windows opens a device, not a file, for these base names (with any extension).
bool manifest_device_name(std::string_view part)
{
    std::string base = utf8_fold(part.substr(0, part.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    static const char *const devices[] = {"con", "prn", "aux", "nul"};
    for (const char *d : devices)
        if (base == d)
            return true;
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) && base[3] >= '1' && base[3] <= '9';
}

// True for D:\... and \\server\...: paths that do not depend on the
// program's current folder.
bool manifest_absolute(std::string_view s)
{
    auto sep = [](char c) { return c == '\\' || c == '/'; };
    bool drive = s.size() >= 3 && ((s[0] | 0x20) >= 'a' && (s[0] | 0x20) <= 'z') && s[1] == ':' && sep(s[2]);
    return drive || (s.size() >= 2 && sep(s[0]) && sep(s[1]));
}

}  // namespace

std::string manifest_question(std::string_view utf8)
{
    std::string stored;
    size_t pos = 0;
    uint32_t line = 1;
    while (pos < utf8.size()) {
        char32_t c;
        if (!utf8_next(utf8, &pos, &c))
            throw mkpatch_error("invalid UTF-8");
        if (c == '\r' || c == '\n') {
            if (c == '\r' && pos < utf8.size() && utf8[pos] == '\n')
                pos++;
            stored += "\\n";
            line++;
            continue;
        }
        std::string where = line > 1 ? " (line " + std::to_string(line) + " of the question)" : "";
        std::string bytes;
        if (c == 0)
            throw mkpatch_error("a NUL character would end the question there" + where);
        if (c == '\\')
            throw mkpatch_error("a backslash cannot be shown: the program takes it for an escape" + where +
                                "; the fullwidth '＼' (U+FF3C) can");
        if (!cp932_encode_char(c, &bytes))
            throw mkpatch_error(cp932_describe(c) + " has no code page 932 form" + where);
        if (bytes.size() == 2 && bytes[1] == '\\')
            throw mkpatch_error(cp932_describe(c) + " is " + manifest_hex(bytes) +
                                " in code page 932: the program would take its second byte for an escape" + where);
        stored += bytes;
    }
    return stored;
}

std::string manifest_readme(std::string_view utf8)
{
    std::string out;
    uint32_t line = 1;
    // Editors on Windows often start UTF-8 files with a byte order mark.
    size_t start = utf8.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    while (start < utf8.size()) {
        size_t end = utf8.find('\n', start);
        std::string_view text = utf8.substr(start, end == std::string_view::npos ? end : end - start);
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        try {
            out += cp932_from_utf8(text) + "\r\n";
        } catch (const mkpatch_error &e) {
            throw mkpatch_error("line " + std::to_string(line) + ": " + e.what());
        }
        if (end == std::string_view::npos)
            break;
        start = end + 1;
        line++;
    }
    return out;
}

std::string manifest_name(std::string_view utf8)
{
    if (utf8.empty())
        throw mkpatch_error("the name is empty");
    std::string stored;
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        if (!utf8_next(utf8, &pos, &c))
            throw mkpatch_error("invalid UTF-8");
        if (c == '/')
            c = '\\';
        std::string bytes = manifest_char(c);
        if (c < 0x80 && std::string_view("<>:\"|?*").find(static_cast<char>(c)) != std::string_view::npos)
            throw mkpatch_error("it contains '" + std::string(1, static_cast<char>(c)) +
                                "', which Windows does not allow in file names");
        stored += bytes;
    }
    // Parts are split in UTF-8, where a backslash byte is always a backslash.
    std::string normal(utf8);
    for (char &c : normal)
        if (c == '/')
            c = '\\';
    size_t start = 0;
    for (;;) {
        size_t end = normal.find('\\', start);
        std::string_view part = std::string_view(normal).substr(start, end == std::string::npos ? end : end - start);
        if (part.empty())
            throw mkpatch_error("it has an empty part (a leading, trailing or doubled separator)");
        if (part == "." || part == "..")
            throw mkpatch_error("it has a '" + std::string(part) +
                                "' part; a name stays inside its destination folder");
        if (manifest_device_name(part))
            throw mkpatch_error("'" + std::string(part) + "' is a device name on Windows, not a file");
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (stored.size() > PACK_MAX_PATH)
        throw mkpatch_error("it is " + std::to_string(stored.size()) + " bytes in code page 932; at most " +
                            std::to_string(PACK_MAX_PATH) + " fit");
    return stored;
}

std::string manifest_dest(std::string_view utf8, std::string *warning)
{
    std::string s;
    warning->clear();
    std::string last;  // bytes of the last character
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        if (!utf8_next(utf8, &pos, &c))
            throw mkpatch_error("invalid UTF-8");
        last = manifest_char(c);
        s += last;
    }
    // The program adds a separator only when the last byte is not 0x5C, so a
    // destination ending in a double-byte character with that second byte
    // gets its separator here.
    if (last.size() == 2 && last[1] == '\\')
        s += '\\';

    dest_parts p;
    bool names_folder = dest_parse(s.c_str(), &p);
    if (p.form == DEST_NO_KEY_END || p.form == DEST_NO_VALUE_END)
        throw mkpatch_error(std::string("the registry form needs a '%' after the ") +
                            (p.form == DEST_NO_KEY_END ? "subkey" : "value name") + ": %" + s.substr(1, 4) +
                            "\\SUBKEY%VALUE%");
    if (!names_folder)
        throw mkpatch_error("it starts with '%' but is none of %WINDIR%..., %HKCR\\SUBKEY%VALUE%..., "
                            "%HKLM\\SUBKEY%VALUE%... (a plain folder cannot start with '%')");
    if (p.form == DEST_MACHINE)
        *warning = "the program opens HKEY_LOCAL_MACHINE keys with full access, which needs administrator "
                   "rights on current Windows; without them the patch stops there";
    if (p.form != DEST_PLAIN) {
        std::string tail;
        // A registry value ending in a backslash, or naming a .dat file (cut to
        // its folder), does bring the separator.
        if (*p.rest && *p.rest != '\\' && *p.rest != '/' && cp932_to_utf8(p.rest, &tail))
            *warning = "'" + tail + "' is appended to the folder with no separator" +
                       (p.form == DEST_WINDIR ? "" : " unless the value ends in a backslash or names a .dat file") +
                       "; start it with a backslash";
    } else if (s.empty()) {
        *warning = "an empty destination puts the file in the program's current folder";
    } else if (!manifest_absolute(s)) {
        *warning =
            std::string("'").append(utf8) + "' is not a full path: it is taken from the program's current folder";
    }
    if (s.size() > RECORD_DEST_SIZE - 1)
        throw mkpatch_error("it is " + std::to_string(s.size()) + " bytes in code page 932; at most " +
                            std::to_string(RECORD_DEST_SIZE - 1) + " fit");
    return s;
}

bool manifest_reads_user(const std::string &stored)
{
    dest_parts parts;
    return dest_parse(stored.c_str(), &parts) && parts.form == DEST_USER;
}
