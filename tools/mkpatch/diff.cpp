#include "tools/mkpatch/diff.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <system_error>

#include "tools/mkpatch/cp932.h"
#include "tools/mkpatch/files.h"

namespace fs = std::filesystem;

namespace {

struct diff_tree {
    std::map<std::string, std::string> files;  // key (lower case) to name
    std::map<std::string, std::string> dirs;
};

// A name relative to root, '\' between parts.
std::string diff_name(const fs::path &root, const fs::path &p)
{
    std::u8string g = p.lexically_relative(root).generic_u8string();
    std::string name(g.begin(), g.end());
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

std::string diff_parent(std::string_view name)
{
    size_t sep = name.rfind('\\');
    return sep == std::string_view::npos ? std::string() : std::string(name.substr(0, sep));
}

diff_tree diff_scan(const fs::path &root, const char *which, diff_result *r)
{
    diff_tree t;
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        r->errors.push_back(file_utf8(root) + ": not a folder");
        return t;
    }
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = diff_name(root, it->path());
        auto &into = it->is_directory(ec) ? t.dirs : t.files;
        if (!it->is_directory(ec) && !it->is_regular_file(ec)) {
            r->warnings.push_back(std::string(which) + " " + file_utf8(it->path()) + ": not a file, left out");
            continue;
        }
        auto [at, fresh] = into.emplace(utf8_fold(name), name);
        if (!fresh) {
            auto [first, second] = std::minmax(at->second, name);
            r->errors.push_back(std::string(which) + " has both '" + first + "' and '" + second +
                                "', which are one name on Windows");
        }
    }
    if (ec)
        r->errors.push_back(file_utf8(root) + ": " + ec.message());
    return t;
}

}  // namespace

diff_result diff_trees(const fs::path &old_dir, const fs::path &new_dir, bool delta)
{
    diff_result r;
    diff_tree old_tree = diff_scan(old_dir, "OLD", &r);
    diff_tree new_tree = diff_scan(new_dir, "NEW", &r);
    if (!r.errors.empty())
        return r;

    // A folder that NEW has and OLD lacks is reported at its top.
    for (auto &[key, name] : new_tree.dirs) {
        std::string parent = diff_parent(name);
        if (old_tree.dirs.count(key) || (!parent.empty() && !old_tree.dirs.count(utf8_fold(parent))))
            continue;
        // Named here: the fuzz build's clang captures no structured binding.
        std::string inside = key + "\\";
        bool has_files = std::any_of(new_tree.files.begin(), new_tree.files.end(),
                                     [&](auto &f) { return f.first.starts_with(inside); });
        if (has_files)
            r.errors.push_back("NEW has the folder '" + name +
                               "', which OLD lacks: the patch cannot create folders, so its files cannot be written");
        else
            r.warnings.push_back("NEW has the empty folder '" + name + "', which the patch does not create");
    }
    for (auto &[key, name] : old_tree.dirs) {
        if (!new_tree.dirs.count(key))
            r.warnings.push_back("OLD has the folder '" + name +
                                 "', which NEW lacks: its files are deleted, "
                                 "the folder itself stays");
    }
    if (!r.errors.empty())
        return r;

    for (auto &[key, name] : new_tree.files) {
        fs::path source = file_under(new_dir, name);
        auto old = old_tree.files.find(key);
        diff_change change{ACTION_WRITE, name, source, {}};
        if (old != old_tree.files.end()) {
            if (file_same(file_under(old_dir, old->second), source)) {
                if (old->second != name)
                    r.warnings.push_back("'" + old->second + "' is '" + name +
                                         "' in NEW: the patch cannot rename, so nothing is done for it");
                continue;
            }
            if (old->second != name)
                r.warnings.push_back("'" + old->second + "' is '" + name +
                                     "' in NEW: the patch writes the new bytes but cannot rename the file");
            if (delta)
                change = {ACTION_PATCH, name, source, file_under(old_dir, old->second)};
        }
        r.changes.push_back(change);
    }
    for (auto &[key, name] : old_tree.files) {
        if (!new_tree.files.count(key))
            r.changes.push_back({ACTION_DELETE, name, {}, {}});
    }
    std::sort(r.changes.begin(), r.changes.end(), [](const diff_change &a, const diff_change &b) {
        std::string ka = utf8_fold(a.name), kb = utf8_fold(b.name);
        return ka != kb ? ka < kb : a.name < b.name;
    });
    return r;
}

std::string diff_toml_string(std::string_view s)
{
    bool literal = s.find('\'') == std::string_view::npos;
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            literal = false;
    std::string out(1, literal ? '\'' : '"');
    if (literal)
        return out.append(s) + '\'';
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string diff_manifest(const std::vector<diff_change> &changes, std::string_view dest, std::string_view question,
                          const fs::path &manifest_dir)
{
    fs::path base = fs::absolute(manifest_dir.empty() ? fs::path(".") : manifest_dir).lexically_normal();
    std::string out = "# Made by mkpatch diff: writes for new files, patches (or writes) for changed ones, deletes for "
                      "files that are gone.\n";
    out += "question = " + diff_toml_string(question) + "\n";
    out += "dest = " + diff_toml_string(dest) + "\n";
    for (const diff_change &c : changes) {
        out += "\n[[entry]]\n";
        out += std::string("action = \"") + payload_action_of(c.action)->word + "\"\n";
        out += "name = " + diff_toml_string(c.name) + "\n";
        // Relative to the manifest where a relative path exists.
        auto path = [&](const fs::path &p) {
            fs::path abs = fs::absolute(p).lexically_normal();
            fs::path rel = abs.lexically_relative(base);
            return diff_toml_string(file_utf8((rel.empty() ? abs : rel).generic_u8string()));
        };
        if (payload_action_has_data(c.action))
            out += "source = " + path(c.source) + "\n";
        if (payload_action_delta(c.action))
            out += "old = " + path(c.old) + "\n";
    }
    return out;
}
