// mkpatch extract: the files of a patch's write entries under a folder.
#include <cstdio>
#include <map>
#include <system_error>

#include "tools/mkpatch/commands.h"
#include "tools/mkpatch/cp932.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/manifest_values.h"

namespace fs = std::filesystem;

namespace {

// A folder of its own under DIR for the files of one extract, removed with
// whatever is left in it; DIR too when it was made for them and stays empty.
struct mkpatch_staging {
    fs::path root, dir;
    bool made_root = false;
    explicit mkpatch_staging(const fs::path &where) : root(where)
    {
        std::error_code ec;
        made_root = !fs::exists(root, ec);
        fs::create_directories(root);
        for (int i = 0;; i++) {
            dir = root / (".mkpatch-extract-" + std::to_string(i));
            if (fs::create_directory(dir))
                break;
        }
    }
    ~mkpatch_staging()
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
        if (made_root && fs::is_empty(root, ec))
            fs::remove(root, ec);
    }
    fs::path entry(uint32_t k) const { return dir / std::to_string(k); }
};

}  // namespace

int mkpatch_extract(const std::string &patch_file, const std::string &dir, bool force)
{
    // The patch is read once: each write entry's data goes to a file of its
    // own in a staging folder as it is decoded, and only once the whole patch
    // has passed its checks and no file is in the way do the files take their
    // places. A bad patch leaves nothing behind.
    struct target {
        uint32_t entry;
        fs::path path;
        uint32_t size;
    };
    std::vector<target> targets;
    // The last entry of each file: a later entry for the same file replaces
    // an earlier one, as the program does, while a file that was there before
    // needs --force.
    std::map<fs::path, uint32_t> last;
    std::vector<std::string> deletes;
    fs::path root = file_path(dir);
    mkpatch_staging staging(root);
    file_writer out;  // the staged file of the entry being read
    uint32_t out_entry = 0;
    auto stage = [&](uint32_t k) {
        if (out_entry != k) {
            out = file_create(staging.entry(k));
            out_entry = k;
        }
    };
    pack_visitor visit;
    visit.data = [&](uint32_t k, const uint8_t *data, size_t n) {
        stage(k);
        file_put(&out, data, n);
    };
    // A write's file is staged; a delete is named.
    auto extract_write = [&](uint32_t k, const pack_record &r) {
        std::string name;
        if (!cp932_to_utf8(r.name, &name))
            throw mkpatch_error("entry " + std::to_string(k) + ": the name '" + mkpatch_show(r.name) +
                                "' is not valid code page 932");
        try {
            manifest_name(name);
        } catch (const mkpatch_error &e) {
            throw mkpatch_error("entry " + std::to_string(k) + ": the name '" + name +
                                "' cannot be extracted: " + e.what());
        }
        stage(k);  // an empty file has no data to open it
        file_finish(&out);
        fs::path path = file_under(root, name);
        std::error_code ec;
        if (!force && !last.count(path) && fs::exists(path, ec))
            throw mkpatch_error(file_utf8(path) + " exists already (use --force to overwrite)");
        last[path] = k;
        targets.push_back({k, path, r.size});
    };
    visit.record = [&](uint32_t k, const pack_record &r) {
        // pack_read hands on only records of the actions of the table.
        switch (static_cast<payload_action>(r.action)) {
        case ACTION_WRITE:
            extract_write(k, r);
            break;
        case ACTION_DELETE:
            deletes.push_back(mkpatch_show(r.name) + "  (in " + mkpatch_show(r.dest) + ")");
            break;
        case ACTION_PATCH:
            throw mkpatch_error("entry " + std::to_string(k) + ": patch entries are not extracted yet");
        }
    };
    pack_layout layout;
    mkpatch_read(patch_file, &layout, visit);
    for (const target &t : targets) {
        if (last[t.path] == t.entry) {
            fs::create_directories(t.path.parent_path());
            fs::rename(staging.entry(t.entry), t.path);
        }
        printf("%s  %u bytes\n", file_utf8(t.path).c_str(), static_cast<unsigned>(t.size));
    }
    for (const std::string &d : deletes)
        printf("not extracted, a delete entry: %s\n", d.c_str());
    return 0;
}
