// mkpatch extract: the files of a patch's write entries, and of its patch
// entries rebuilt from the old tree, under a folder.
#include <cstdio>
#include <map>
#include <system_error>

#include "tools/mkpatch/commands.h"
#include "tools/mkpatch/files.h"

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

int mkpatch_extract(const std::string &patch_file, const std::string &dir, bool force, const std::string &old_dir)
{
    // The patch is read once: each entry's data (a patch entry's delta) goes
    // to a file of its own in a staging folder as it is decoded, a patch
    // entry's new file is rebuilt there from its delta and the old tree, and
    // only once the whole patch has passed its checks and no file is in the
    // way do the files take their places. A bad patch, or an old file that is
    // not the version a patch entry is for, leaves nothing behind.
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
    fs::path old_root = file_path(old_dir);
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
    // The staged file of entry k, of size bytes, is to become its file.
    auto place = [&](uint32_t k, const pack_record &r, uint32_t size) {
        fs::path path = mkpatch_entry_path(root, k, r);
        std::error_code ec;
        if (!force && !last.count(path) && fs::exists(path, ec))
            throw mkpatch_error(file_utf8(path) + " exists already (use --force to overwrite)");
        last[path] = k;
        targets.push_back({k, path, size});
    };
    auto extract_write = [&](uint32_t k, const pack_record &r) {
        stage(k);  // an empty file has no data to open it
        file_finish(&out);
        place(k, r, r.size);
    };
    // The staged delta becomes the new file it makes.
    auto extract_patch = [&](uint32_t k, const pack_record &r) {
        if (old_dir.empty())
            throw mkpatch_error("entry " + std::to_string(k) + " (" + mkpatch_show(r.name) +
                                ") is a patch entry, rebuilt from the file it changes: give --old DIR, the folder "
                                "the patch applies to");
        stage(k);
        file_finish(&out);
        fs::path rebuilt = staging.entry(k).concat(".new");
        {
            strm_ptr delta = file_open_read(staging.entry(k));
            strm_seek(delta.get(), DELTA_HEAD_SIZE);
            file_writer made = file_create(rebuilt);
            mkpatch_rebuild(delta.get(), k, r, &old_root,
                            [&](const uint8_t *data, size_t n) { file_put(&made, data, n); });
            file_finish(&made);
        }
        fs::rename(rebuilt, staging.entry(k));
        place(k, r, r.delta.new_len);
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
            extract_patch(k, r);
            break;
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
