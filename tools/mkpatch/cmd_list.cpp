// mkpatch list and verify: what a patch holds, and whether all of it is sound.
#include <algorithm>
#include <cstdio>
#include <exception>

#include "tools/mkpatch/commands.h"
#include "tools/mkpatch/cp932.h"
#include "tools/mkpatch/elevation.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/manifest_values.h"
#include "tools/mkpatch/sign.h"

namespace fs = std::filesystem;

namespace {

// Display columns of UTF-8 text: wide for the CJK ranges.
size_t mkpatch_width(std::string_view s)
{
    size_t width = 0, pos = 0;
    char32_t c;
    while (utf8_next(s, &pos, &c))
        width += (c >= 0x1100 && c < 0xFF61) || (c >= 0xFFE0 && c < 0xFFE7) ? 2 : 1;
    return width;
}

// The level the patch's program asks Windows for, or none when it has no
// manifest; throws when its manifest holds no level that mkpatch writes.
void mkpatch_show_elevation(const std::string &patch_file)
{
    elevation e;
    try {
        pack_bytes image = file_read(file_path(patch_file), PAYLOAD_OFFSET);
        if (!elevation_manifest(image)) {
            printf("elevation: none (no manifest)\n");
            return;
        }
        e = elevation_read(image);
    } catch (const mkpatch_error &err) {
        throw mkpatch_error(patch_file + ": " + err.what());
    }
    printf("elevation: %s (%s)\n", elevation_name(e), elevation_level(e));
}

// Says who signed the patch; throws when a signature is there and its digest
// does not match.
void mkpatch_signature(const std::string &patch_file)
{
    uint32_t at, size;
    if (!mkpatch_signed(file_path(patch_file), &at, &size)) {
        printf("not signed\n");
        return;
    }
    sign_report r = sign_check(file_path(patch_file));
    if (!r.checked) {
        printf("signed (%u bytes of signature), not checked: %s\n", static_cast<unsigned>(size), r.why.c_str());
        return;
    }
    if (!r.digest_ok) {
        // osslsigncode stops at the digest then, before it names the signer.
        throw mkpatch_error(patch_file + ": signature broken: the file's digest does not match the signed one "
                                         "(the file changed after signing)");
    }
    printf("signed by %s: digest matches, %s\n", r.subject.c_str(),
           r.trusted ? "chain trusted" : ("chain not trusted (" + r.why + ")").c_str());
}

}  // namespace

int mkpatch_list(const std::string &patch_file)
{
    struct row {
        std::string action, size, old_size, packed, dest, name;
    };
    std::vector<row> rows;
    pack_layout layout;
    bool registry_user = false;
    pack_visitor add_row;
    add_row.record = [&](uint32_t k, const pack_record &r) {
        // The file's size: a write's data, a patch's new file; a patch's old
        // file beside it.
        const payload_action_row *action = payload_action_of(r.action);
        std::string size = action->delta      ? std::to_string(r.delta.new_len)
                           : action->has_data ? std::to_string(r.size)
                                              : "-";
        rows.push_back({action->word, size, action->delta ? std::to_string(r.delta.old_len) : "-",
                        std::to_string(layout.blob_length[k - 1]), mkpatch_show(r.dest), mkpatch_show(r.name)});
        registry_user = registry_user || manifest_reads_user(r.dest);
    };
    // What the file holds is shown even when a later entry is bad, and the
    // fault after it.
    std::exception_ptr fault;
    try {
        mkpatch_read(patch_file, &layout, add_row);
    } catch (const mkpatch_error &) {
        fault = std::current_exception();
    }
    uint32_t sig_at, sig_size;
    printf("%s: %u entr%s, payload %zu bytes, %s\n", patch_file.c_str(), layout.count, layout.count == 1 ? "y" : "ies",
           static_cast<size_t>(layout.end > PAYLOAD_OFFSET ? layout.end - PAYLOAD_OFFSET : 0),
           mkpatch_signed(file_path(patch_file), &sig_at, &sig_size) ? "signed" : "not signed");
    mkpatch_show_elevation(patch_file);
    std::string question = mkpatch_show(pack_unescape(layout.message));
    printf("question:\n");
    size_t start = 0;
    for (;;) {
        size_t end = question.find("\r\n", start);
        printf("  %s\n", question.substr(start, end == std::string::npos ? end : end - start).c_str());
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    size_t dest_width = 11;
    for (const row &r : rows)
        dest_width = std::max(dest_width, mkpatch_width(r.dest));
    if (!rows.empty())
        printf("\n    #  action        size    old size      blob  destination%*s  name\n",
               static_cast<int>(dest_width - 11), "");
    size_t k = 0;
    for (const row &r : rows)
        printf("%5zu  %-6s  %10s  %10s  %8s  %s%*s  %s\n", ++k, r.action.c_str(), r.size.c_str(), r.old_size.c_str(),
               r.packed.c_str(), r.dest.c_str(), static_cast<int>(dest_width - mkpatch_width(r.dest)), "",
               r.name.c_str());
    if (registry_user)
        printf("\n%%HKCR\\ reads HKEY_CURRENT_USER.\n");
    if (fault)
        std::rethrow_exception(fault);
    return 0;
}

int mkpatch_verify(const std::string &patch_file, const std::string &old_dir)
{
    // The signature and the payload are both checked, and each fault named.
    std::vector<std::string> faults;
    try {
        mkpatch_signature(patch_file);
    } catch (const mkpatch_error &e) {
        faults.push_back(e.what());
    }
    try {
        mkpatch_show_elevation(patch_file);
    } catch (const mkpatch_error &e) {
        faults.push_back(e.what());
    }
    try {
        pack_layout layout;
        std::vector<std::pair<uint32_t, pack_record>> patches;
        pack_visitor keep_patches;
        keep_patches.record = [&](uint32_t k, const pack_record &r) {
            if (payload_action_delta(r.action))
                patches.emplace_back(k, r);
        };
        mkpatch_read(patch_file, &layout, keep_patches);
        // Each delta decoded once more, a block at a time: against the old
        // tree, or against zeros for its structure.
        fs::path old_root = file_path(old_dir);
        size_t delta_faults = faults.size();
        strm_ptr file = patches.empty() ? nullptr : file_open_read(file_path(patch_file));
        for (const auto &[k, r] : patches) {
            try {
                strm_ptr data = pack_open_data(file.get(), layout, k);
                uint8_t head[DELTA_HEAD_SIZE];
                strm_read(data.get(), head, sizeof head);
                bool unread = mkpatch_rebuild(data.get(), k, r, old_dir.empty() ? nullptr : &old_root);
                if (old_dir.empty())
                    printf("entry %u: delta sound, makes %u bytes (%s --old)\n", static_cast<unsigned>(k),
                           static_cast<unsigned>(r.delta.new_len),
                           unread ? "its coded literals and the CRC-32 need" : "its CRC-32 needs");
                else
                    printf("entry %u: rebuilt from %s: %u bytes, CRC-32 matches\n", static_cast<unsigned>(k),
                           file_utf8(mkpatch_entry_path(old_root, k, r)).c_str(),
                           static_cast<unsigned>(r.delta.new_len));
            } catch (const mkpatch_error &e) {
                faults.push_back(patch_file + ": " + e.what());
            }
        }
        if (faults.size() == delta_faults) {
            printf("%s: OK, %u entr%s, payload %zu bytes\n", patch_file.c_str(), layout.count,
                   layout.count == 1 ? "y" : "ies", static_cast<size_t>(layout.end - PAYLOAD_OFFSET));
            // Only a trailer says the bytes are the ones built; without one,
            // they merely form a sound patch.
            if (!layout.trailer)
                printf("no trailer: structure checked only\n");
            else if (layout.end == layout.size)
                printf("trailer: CRC-32 matches\n");
            else
                printf("trailer: CRC-32 matches; %zu bytes follow it\n", static_cast<size_t>(layout.size - layout.end));
        }
    } catch (const mkpatch_error &e) {
        faults.push_back(e.what());
    }
    for (const std::string &f : faults)
        fprintf(stderr, "mkpatch: %s\n", f.c_str());
    return faults.empty() ? 0 : 1;
}
