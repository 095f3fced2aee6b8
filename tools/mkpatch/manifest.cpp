#include "tools/mkpatch/manifest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <system_error>

#include <toml++/toml.h>

#include "payload/dest.h"
#include "tools/mkpatch/cp932.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/payload.h"

namespace fs = std::filesystem;

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

// One character of a name or destination in code page 932; false with the reason.
bool manifest_char(char32_t c, std::string *bytes, std::string *why)
{
    if (c == 0) {
        *why = "it contains a NUL character, which would end it there";
        return false;
    }
    if (c < 0x20 || c == 0x7F) {
        *why = "it contains the control character " + cp932_describe(c);
        return false;
    }
    if (!cp932_encode_char(c, bytes)) {
        *why = cp932_describe(c) + " has no code page 932 form";
        return false;
    }
    return true;
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
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) && base[3] >= '1' &&
           base[3] <= '9';
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

bool manifest_question(std::string_view utf8, std::string *stored, std::string *why)
{
    stored->clear();
    size_t pos = 0;
    uint32_t line = 1;
    while (pos < utf8.size()) {
        char32_t c;
        if (!utf8_next(utf8, &pos, &c)) {
            *why = "invalid UTF-8";
            return false;
        }
        if (c == '\r' || c == '\n') {
            if (c == '\r' && pos < utf8.size() && utf8[pos] == '\n')
                pos++;
            *stored += "\\n";
            line++;
            continue;
        }
        std::string where = line > 1 ? " (line " + std::to_string(line) + " of the question)" : "";
        std::string bytes;
        if (c == 0) {
            *why = "a NUL character would end the question there" + where;
            return false;
        }
        if (c == '\\') {
            *why = "a backslash cannot be shown: the program takes it for an escape" + where +
                   "; the fullwidth '＼' (U+FF3C) can";
            return false;
        }
        if (!cp932_encode_char(c, &bytes)) {
            *why = cp932_describe(c) + " has no code page 932 form" + where;
            return false;
        }
        if (bytes.size() == 2 && bytes[1] == '\\') {
            *why = cp932_describe(c) + " is " + manifest_hex(bytes) +
                   " in code page 932: the program would take its second byte for an escape" + where;
            return false;
        }
        *stored += bytes;
    }
    return true;
}

bool manifest_readme(std::string_view utf8, std::string *out, std::string *why)
{
    out->clear();
    uint32_t line = 1;
    // Editors on Windows often start UTF-8 files with a byte order mark.
    size_t start = utf8.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    while (start < utf8.size()) {
        size_t end = utf8.find('\n', start);
        std::string_view text = utf8.substr(start, end == std::string_view::npos ? end : end - start);
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        std::string bytes;
        if (!cp932_from_utf8(text, &bytes, why)) {
            *why = "line " + std::to_string(line) + ": " + *why;
            return false;
        }
        *out += bytes + "\r\n";
        if (end == std::string_view::npos)
            break;
        start = end + 1;
        line++;
    }
    return true;
}

bool manifest_name(std::string_view utf8, std::string *stored, std::string *why)
{
    stored->clear();
    if (utf8.empty()) {
        *why = "the name is empty";
        return false;
    }
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        if (!utf8_next(utf8, &pos, &c)) {
            *why = "invalid UTF-8";
            return false;
        }
        if (c == '/')
            c = '\\';
        std::string bytes;
        if (!manifest_char(c, &bytes, why))
            return false;
        if (c < 0x80 && std::string_view("<>:\"|?*").find(static_cast<char>(c)) != std::string_view::npos) {
            *why = "it contains '" + std::string(1, static_cast<char>(c)) +
                   "', which Windows does not allow in file names";
            return false;
        }
        *stored += bytes;
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
        if (part.empty()) {
            *why = "it has an empty part (a leading, trailing or doubled separator)";
            return false;
        }
        if (part == "." || part == "..") {
            *why = "it has a '" + std::string(part) + "' part; a name stays inside its destination folder";
            return false;
        }
        if (manifest_device_name(part)) {
            *why = "'" + std::string(part) + "' is a device name on Windows, not a file";
            return false;
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (stored->size() > PAYLOAD_MAX_PATH) {
        *why = "it is " + std::to_string(stored->size()) + " bytes in code page 932; at most " +
               std::to_string(PAYLOAD_MAX_PATH) + " fit";
        return false;
    }
    return true;
}

bool manifest_dest(std::string_view utf8, std::string *stored, std::string *why, std::string *warning)
{
    stored->clear();
    warning->clear();
    std::string last;  // bytes of the last character
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        if (!utf8_next(utf8, &pos, &c)) {
            *why = "invalid UTF-8";
            return false;
        }
        if (!manifest_char(c, &last, why))
            return false;
        *stored += last;
    }
    // The program adds a separator only when the last byte is not 0x5C, so a
    // destination ending in a double-byte character with that second byte
    // gets its separator here.
    if (last.size() == 2 && last[1] == '\\')
        *stored += '\\';

    const std::string &s = *stored;
    dest_parts p;
    bool names_folder = dest_parse(s.c_str(), &p);
    if (p.form == DEST_NO_KEY_END || p.form == DEST_NO_VALUE_END) {
        *why = std::string("the registry form needs a '%' after the ") +
               (p.form == DEST_NO_KEY_END ? "subkey" : "value name") + ": %" + s.substr(1, 4) + "\\SUBKEY%VALUE%";
        return false;
    }
    if (!names_folder) {
        *why = "it starts with '%' but is none of %WINDIR%..., %HKCR\\SUBKEY%VALUE%..., "
               "%HKLM\\SUBKEY%VALUE%... (a plain folder cannot start with '%')";
        return false;
    }
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
        *warning = "'" + std::string(utf8) + "' is not a full path: it is taken from the program's current folder";
    }
    if (s.size() > RECORD_DEST_SIZE - 1) {
        *why = "it is " + std::to_string(s.size()) + " bytes in code page 932; at most " +
               std::to_string(RECORD_DEST_SIZE - 1) + " fit";
        return false;
    }
    return true;
}

namespace {

// Collects faults and warnings as "FILE:LINE: text".
struct manifest_report {
    manifest *m;
    std::string file;
    void error(uint32_t line, const std::string &text) const
    {
        m->errors.push_back(file + ":" + std::to_string(line) + ": error: " + text);
    }
    void warn(uint32_t line, const std::string &text) const
    {
        m->warnings.push_back(file + ":" + std::to_string(line) + ": warning: " + text);
    }
};

uint32_t manifest_line(const toml::node &n)
{
    return n.source().begin.line;
}

// A string value, or an error naming the key.
const std::string *manifest_string(const toml::node &n, std::string_view key, const std::string &prefix,
                                   const manifest_report &rep)
{
    const std::string *s = n.as_string() ? &n.as_string()->get() : nullptr;
    if (!s)
        rep.error(manifest_line(n), prefix + std::string(key) + ": must be a string");
    return s;
}

// Checks that the write source is a readable file that fits a record.
bool manifest_source(const fs::path &p, std::string *why)
{
    std::error_code ec;
    fs::file_status st = fs::status(p, ec);
    if (ec || !fs::exists(st)) {
        *why = file_utf8(p) + ": no such file";
        return false;
    }
    if (!fs::is_regular_file(st)) {
        *why = file_utf8(p) + ": not a file";
        return false;
    }
    uintmax_t size = fs::file_size(p, ec);
    if (ec) {
        *why = file_utf8(p) + ": " + ec.message();
        return false;
    }
    if (size > PAYLOAD_MAX_DATA) {
        *why = file_utf8(p) + " is " + std::to_string(size) + " bytes; a record holds at most " +
               std::to_string(PAYLOAD_MAX_DATA);
        return false;
    }
    // Opening it now finds an unreadable file before any work is done.
#ifdef _WIN32
    FILE *f = _wfopen(p.c_str(), L"rb");
#else
    FILE *f = fopen(p.c_str(), "rb");
#endif
    if (!f) {
        *why = file_utf8(p) + ": " + strerror(errno);
        return false;
    }
    fclose(f);
    return true;
}

void manifest_entry_check(const toml::table &t, uint32_t k, const manifest_report &rep, const fs::path &base,
                          const std::string *default_dest, manifest *m)
{
    manifest_entry e;
    e.line = manifest_line(t);
    std::string prefix = "entry " + std::to_string(k) + ": ";
    size_t errors = m->errors.size();
    for (auto &&[key, value] : t) {
        if (key != "action" && key != "name" && key != "dest" && key != "source")
            rep.error(manifest_line(value), prefix + "unknown key '" + std::string(key.str()) +
                                                "' (an entry has action, name, dest and source)");
    }

    const toml::node *action = t.get("action");
    const std::string *a = action ? manifest_string(*action, "action", prefix, rep) : nullptr;
    if (!action)
        rep.error(e.line, prefix + "no action (\"write\" or \"delete\")");
    else if (a && *a == "write")
        e.action = ACTION_WRITE;
    else if (a && *a == "delete")
        e.action = ACTION_DELETE;
    else if (a)
        rep.error(manifest_line(*action), prefix + "action: \"" + *a + "\" is neither \"write\" nor \"delete\"");

    std::string why, warning;
    const toml::node *name = t.get("name");
    if (!name) {
        rep.error(e.line, prefix + "no name");
    } else if (const std::string *s = manifest_string(*name, "name", prefix, rep)) {
        if (!manifest_name(*s, &e.name, &why))
            rep.error(manifest_line(*name), prefix + "name: " + why);
    }

    const toml::node *dest = t.get("dest");
    const std::string *d = dest ? manifest_string(*dest, "dest", prefix, rep) : default_dest;
    uint32_t dest_line = dest ? manifest_line(*dest) : e.line;
    if (!dest && !default_dest) {
        rep.error(e.line, prefix + "no dest, and the manifest has no default dest");
    } else if (d && !manifest_dest(*d, &e.dest, &why, &warning)) {
        // A bad default is reported once, at its own line.
        if (dest)
            rep.error(dest_line, prefix + "dest: " + why);
    } else if (d && dest && !warning.empty()) {
        rep.warn(dest_line, prefix + "dest: " + warning);
    }

    const toml::node *source = t.get("source");
    if (e.action == ACTION_WRITE && !source) {
        rep.error(e.line, prefix + "a write entry needs a source file");
    } else if (e.action == ACTION_DELETE && source) {
        rep.error(manifest_line(*source), prefix + "a delete entry takes no source");
    } else if (e.action == ACTION_WRITE) {
        if (const std::string *s = manifest_string(*source, "source", prefix, rep)) {
            e.source = file_path(*s);
            if (e.source.is_relative())
                e.source = base / e.source;
            if (!manifest_source(e.source, &why))
                rep.error(manifest_line(*source), prefix + "source: " + why);
        }
    }

    // With a full path as destination the program's whole path is known now.
    dest_parts parts;
    if (m->errors.size() == errors && !e.dest.empty() && dest_parse(e.dest.c_str(), &parts) &&
        parts.form == DEST_PLAIN) {
        size_t len = e.dest.size() + (e.dest.back() == '\\' ? 0 : 1) + e.name.size();
        if (len > PAYLOAD_MAX_PATH)
            rep.error(e.line, prefix + "the destination and the name make a path of " + std::to_string(len) +
                                  " bytes in code page 932; the program's paths hold at most " +
                                  std::to_string(PAYLOAD_MAX_PATH));
    }
    if (m->errors.size() == errors)
        m->entries.push_back(std::move(e));
}

}  // namespace

manifest manifest_parse(std::string_view text, const fs::path &file)
{
    manifest m;
    manifest_report rep{&m, file_utf8(file)};
    toml::table root;
    try {
        root = toml::parse(text, rep.file);
    } catch (const toml::parse_error &e) {
        rep.error(e.source().begin.line, "TOML syntax: " + std::string(e.description()));
        return m;
    }

    for (auto &&[key, value] : root) {
        if (key != "question" && key != "readme" && key != "dest" && key != "entry")
            rep.error(manifest_line(value), "unknown key '" + std::string(key.str()) +
                                                "' (a manifest has question, readme, dest and [[entry]] tables)");
    }

    std::string why, warning;
    if (const toml::node *q = root.get("question")) {
        if (const std::string *s = manifest_string(*q, "question", "", rep)) {
            if (!manifest_question(*s, &m.message, &why))
                rep.error(manifest_line(*q), "question: " + why);
            else if (s->empty())
                rep.warn(manifest_line(*q), "the question is empty");
        }
    } else {
        rep.error(1, "no question (the text the patch asks before it does anything)");
    }

    fs::path base = file.parent_path();
    if (const toml::node *r = root.get("readme")) {
        if (const std::string *s = manifest_string(*r, "readme", "", rep)) {
            fs::path p = base / file_path(*s);
            try {
                std::vector<uint8_t> text = file_read(p);
                if (!manifest_readme(std::string_view(reinterpret_cast<const char *>(text.data()), text.size()),
                                     &m.readme, &why))
                    rep.error(manifest_line(*r), "readme: " + file_utf8(p) + ": " + why);
            } catch (const std::exception &e) {
                rep.error(manifest_line(*r), std::string("readme: ") + e.what());
            }
        }
    }

    const std::string *default_dest = nullptr;
    if (const toml::node *d = root.get("dest")) {
        default_dest = manifest_string(*d, "dest", "", rep);
        std::string stored;
        if (default_dest && !manifest_dest(*default_dest, &stored, &why, &warning))
            rep.error(manifest_line(*d), "dest: " + why);
        else if (default_dest && !warning.empty())
            rep.warn(manifest_line(*d), "dest: " + warning);
    }

    if (const toml::node *entries = root.get("entry")) {
        const toml::array *list = entries->as_array();
        if (!list) {
            rep.error(manifest_line(*entries), "entry: write each entry as an [[entry]] table");
        } else {
            uint32_t k = 0;
            for (const toml::node &n : *list) {
                k++;
                if (const toml::table *t = n.as_table())
                    manifest_entry_check(*t, k, rep, base, default_dest, &m);
                else
                    rep.error(manifest_line(n), "entry " + std::to_string(k) + ": must be an [[entry]] table");
            }
        }
    }
    if (m.errors.empty() && m.entries.empty())
        rep.warn(1, "no entries: the patch only asks its question");

    // The same file twice is allowed (the entries run in order) but rarely meant.
    // Letters are compared without case, as Windows does, in UTF-8: code
    // page 932 second bytes can look like ASCII letters.
    std::map<std::string, const manifest_entry *> seen;
    for (const manifest_entry &e : m.entries) {
        std::string dest, name;
        cp932_to_utf8(e.dest, &dest);
        cp932_to_utf8(e.name, &name);
        auto [it, fresh] = seen.emplace(utf8_fold(dest) + '\0' + utf8_fold(name), &e);
        if (!fresh)
            rep.warn(e.line, "entry " + std::to_string(&e - m.entries.data() + 1) + ": the same file as entry " +
                                 std::to_string(it->second - m.entries.data() + 1) + " (line " +
                                 std::to_string(it->second->line) + "); both run, in order");
    }
    return m;
}

manifest manifest_load(const fs::path &file)
{
    std::vector<uint8_t> bytes;
    try {
        bytes = file_read(file);
    } catch (const std::exception &e) {
        manifest m;
        m.errors.push_back(e.what());
        return m;
    }
    return manifest_parse(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()), file);
}
