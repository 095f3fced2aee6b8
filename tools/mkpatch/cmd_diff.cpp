// mkpatch diff: the manifest that turns one folder tree into another.
#include <cstdio>

#include "tools/mkpatch/commands.h"
#include "tools/mkpatch/diff.h"
#include "tools/mkpatch/files.h"

namespace fs = std::filesystem;

int mkpatch_diff(const std::string &old_dir, const std::string &new_dir, const std::string &dest,
                 const std::string &out_file, const std::string &question, bool delta)
{
    diff_result r = diff_trees(file_path(old_dir), file_path(new_dir), delta);
    for (const std::string &w : r.warnings)
        fprintf(stderr, "mkpatch: warning: %s\n", w.c_str());
    for (const std::string &e : r.errors)
        fprintf(stderr, "mkpatch: %s\n", e.c_str());
    if (!r.errors.empty())
        throw mkpatch_error(std::to_string(r.errors.size()) + " error" + (r.errors.size() == 1 ? "" : "s") +
                            " between " + old_dir + " and " + new_dir + ", no manifest written");
    fs::path out_path = file_path(out_file);
    std::string text = diff_manifest(r.changes, dest, question, out_path.parent_path());
    file_write(out_path, pack_bytes(text.begin(), text.end()));
    std::vector<uint8_t> actions;
    for (const diff_change &c : r.changes)
        actions.push_back(c.action);
    printf("wrote %s: %s\n", out_file.c_str(), pack_action_counts(actions).c_str());
    // The manifest is checked as build will read it, so that a name the
    // format cannot carry shows now, with its line.
    manifest m = manifest_load(out_path);
    mkpatch_report(m);
    if (!m.errors.empty())
        throw mkpatch_error(out_file + " does not build as it stands");
    return 0;
}
