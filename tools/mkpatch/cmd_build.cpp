// mkpatch build: a patch from a manifest, on the program found or given.
#include <cstdio>
#include <optional>
#include <system_error>

#include "payload/crc32.h"
#include "tools/mkpatch/commands.h"
#include "tools/mkpatch/delta.h"
#include "tools/mkpatch/elevation.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/output.h"

namespace fs = std::filesystem;

// The stub is the program this project builds, found from the tool's own
// place so that an install, any checkout or build folder works without
// configuration: an install's bin/mkpatch finds share/orvane-patch/patch.exe,
// build/PRESET/bin/mkpatch finds build/win32/bin/patch.exe, and a folder that
// holds both programs (the Windows zip) serves as well. Sets *from to where
// it was found; throws naming every place tried.
fs::path mkpatch_find_stub(std::string *from)
{
    fs::path bin = file_self().parent_path();
    const struct {
        fs::path path;
        const char *from;
    } candidates[] = {
        {bin / ".." / "share" / "orvane-patch" / "patch.exe", "the install"},
        {bin / ".." / ".." / "win32" / "bin" / "patch.exe", "the build tree"},
        {bin / "patch.exe", "mkpatch's folder"},
    };
    std::string tried;
    for (const auto &c : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(c.path, ec)) {
            *from = c.from;
            return c.path.lexically_normal();
        }
        tried += "\n  " + file_utf8(c.path.lexically_normal());
    }
    throw mkpatch_error("no patch program to build on: build it (cmake --preset win32 && cmake --build --preset "
                        "win32) or name one with --stub; looked for:" +
                        tried);
}

namespace {

// The manifest, with its warnings and errors reported; throws when it has
// errors.
manifest mkpatch_manifest(const std::string &manifest_file)
{
    manifest m = manifest_load(file_path(manifest_file));
    mkpatch_report(m);
    if (!m.errors.empty())
        throw mkpatch_error(manifest_file + ": " + std::to_string(m.errors.size()) + " error" +
                            (m.errors.size() == 1 ? "" : "s") + ", no patch written");
    return m;
}

// The program image to build on, --stub's or the one found, checked.
pack_bytes mkpatch_stub(const std::string &stub_file)
{
    std::string from = "--stub";
    fs::path stub_path = stub_file.empty() ? mkpatch_find_stub(&from) : file_path(stub_file);
    pack_bytes image = file_read(stub_path);
    std::string stub_name = file_utf8(stub_path);
    if (image.size() > PAYLOAD_OFFSET)
        throw mkpatch_error(stub_name + " is " + std::to_string(image.size()) + " bytes, more than the " +
                            std::to_string(PAYLOAD_OFFSET) + "-byte program image (a patch already?)");
    if (image.size() < 2 || image[0] != 'M' || image[1] != 'Z')
        throw mkpatch_error(stub_name + " is not a Windows program (it does not start with MZ)");
    printf("program: %s (%zu bytes, from %s)\n", stub_name.c_str(), image.size(), from.c_str());
    return image;
}

// What was built: each entry's record head and the CRC-32 of its data, which
// the read-back compares with what it decodes, and the patch's length.
struct mkpatch_built {
    std::vector<pack_record> records;
    std::vector<uint32_t> data_crcs;
    uint64_t size = 0;
};

// Writes the patch of the manifest's entries on the image to path, reading
// each write's source a batch at a time as it is compressed; a patch entry's
// files are read whole, for its delta (tools/mkpatch/delta.h).
mkpatch_built mkpatch_write(const fs::path &path, const std::string &manifest_file, const manifest &m,
                            const pack_bytes &image, int level)
{
    mkpatch_built built;
    pack_writer w = pack_write_start(path, image, static_cast<uint32_t>(m.entries.size()), m.message, level);
    size_t k = 0;
    for (const manifest_entry &e : m.entries) {
        k++;
        pack_record r;
        r.action = e.action;
        r.name = e.name;
        r.dest = e.dest;
        pack_written written;
        bool from_old = true;
        try {
            if (payload_action_delta(e.action)) {
                delta_entry d = delta_build(r, e.old, e.source, level);
                r = d.record;
                from_old = d.from_old;
                written = pack_write_blob(&w, d.blob, d.data_crc);
            } else {
                strm_ptr data;
                if (payload_action_has_data(e.action)) {
                    std::error_code ec;
                    uintmax_t size = fs::file_size(e.source, ec);
                    if (ec)
                        throw mkpatch_error(file_utf8(e.source) + ": " + ec.message());
                    if (size > PACK_MAX_DATA)
                        throw mkpatch_error(file_utf8(e.source) + " grew past " + std::to_string(PACK_MAX_DATA) +
                                            " bytes since it was checked");
                    r.size = static_cast<uint32_t>(size);
                    data = file_open_read(e.source);
                }
                written = pack_write_entry(&w, r, data.get());
            }
        } catch (const mkpatch_error &x) {
            throw mkpatch_error(manifest_file + ":" + std::to_string(e.line) + ": entry " + std::to_string(k) + ": " +
                                x.what());
        }
        built.records.push_back(r);
        built.data_crcs.push_back(written.data_crc);
        printf("%5zu  %-6s  %s", k, payload_action_of(e.action)->word, mkpatch_show(e.name).c_str());
        if (payload_action_delta(e.action))
            printf("  %u bytes from %u, delta %u, blob %u%s", static_cast<unsigned>(r.delta.new_len),
                   static_cast<unsigned>(r.delta.old_len), static_cast<unsigned>(r.size - DELTA_HEAD_SIZE),
                   static_cast<unsigned>(written.blob), from_old ? "" : " (coded alone: the old file gives nothing)");
        else if (payload_action_has_data(e.action))
            printf("  %u bytes, blob %u", static_cast<unsigned>(r.size), static_cast<unsigned>(written.blob));
        printf("\n");
    }
    pack_write_trailer(&w);
    pack_write_finish(&w);
    built.size = w.size;
    return built;
}

// Reads the patch at path back as list and verify read it, and compares
// every entry with what was built.
void mkpatch_read_back(const fs::path &path, const mkpatch_built &built)
{
    pack_layout layout;
    bool same = true;
    uint32_t crc = 0;
    pack_visitor compare;
    compare.data = [&](uint32_t, const uint8_t *data, size_t n) { crc = crc32_update(crc, data, n); };
    compare.record = [&](uint32_t entry, const pack_record &r) {
        const pack_record &b = built.records[entry - 1];
        same = same && r.action == b.action && r.name == b.name && r.dest == b.dest && r.size == b.size &&
               r.delta.old_len == b.delta.old_len && r.delta.old_crc == b.delta.old_crc &&
               r.delta.new_len == b.delta.new_len && r.delta.new_crc == b.delta.new_crc &&
               crc == built.data_crcs[entry - 1];
        crc = 0;
    };
    try {
        pack_read_file(path, &layout, compare);
    } catch (const pack_error &e) {
        throw mkpatch_error(std::string("internal error: the patch does not read back as built: ") + e.what());
    }
    if (!same || !layout.trailer)
        throw mkpatch_error(std::string("internal error: the patch does not read back as built: ") +
                            (!same ? "a record differs" : "no trailer"));
}

// Writes the level into the image's manifest: asked, or the default. A
// program without a manifest is built as it is, unless a level was asked
// for, which has nowhere to go.
void mkpatch_elevate(pack_bytes *image, const manifest &m, std::optional<elevation> asked)
{
    if (!asked && !elevation_manifest(*image)) {
        fprintf(stderr, "mkpatch: warning: the program has no manifest, so the patch carries none: Windows Vista and "
                        "later either run it elevated, taking it for an installer by its name (UAC's installer "
                        "detection), or run it under UAC virtualization, which sends its writes under Program Files "
                        "and HKLM\\Software to per-user copies while it reports success\n");
        return;
    }
    elevation e = asked ? *asked : manifest_default_elevation(m);
    elevation_write(image, e);
    if (!asked && e == elevation::user)
        printf("elevation: user (asInvoker), the default when every destination reads HKEY_CURRENT_USER\n");
    std::string warning = manifest_elevation_warning(m, e);
    if (!warning.empty())
        fprintf(stderr, "mkpatch: warning: %s\n", warning.c_str());
}

}  // namespace

int mkpatch_build(const std::string &manifest_file, const std::string &out_file, const std::string &stub_file,
                  int level, std::optional<elevation> asked, const sign_options &sign)
{
    manifest m = mkpatch_manifest(manifest_file);
    fs::path out_path = file_path(out_file);
    fs::path out_dir = out_path.parent_path().empty() ? fs::path(".") : out_path.parent_path();
    std::error_code ec;
    if (!fs::is_directory(out_dir, ec))
        throw mkpatch_error(out_file + ": the folder " + file_utf8(out_dir) + " does not exist");
    pack_bytes image = mkpatch_stub(stub_file);
    mkpatch_elevate(&image, m, asked);

    // Written aside and renamed, so that OUT is never a patch cut short
    // (nor one left unsigned when a signature was asked for).
    mkpatch_built built;
    {
        output_part part(out_path, ".part");
        built = mkpatch_write(part.path, manifest_file, m, image, level);
        mkpatch_read_back(part.path, built);
        if (sign_wanted(sign)) {
            output_part signed_part(out_path, ".signed.part");
            mkpatch_sign_to(part.path, signed_part.path, sign);
            output_done(&signed_part);
        } else {
            output_done(&part);
        }
    }
    std::vector<uint8_t> actions;
    for (const manifest_entry &e : m.entries)
        actions.push_back(e.action);
    printf("wrote %s: %s, payload %zu bytes, %zu bytes in all%s\n", out_file.c_str(),
           pack_action_counts(actions).c_str(), static_cast<size_t>(built.size - PAYLOAD_OFFSET),
           static_cast<size_t>(fs::file_size(out_path)), sign_wanted(sign) ? ", signed" : "");
    if (!m.readme.empty()) {
        // The program shows the README.TXT of its own folder.
        fs::path readme = out_dir / "README.TXT";
        file_write(readme, pack_bytes(m.readme.begin(), m.readme.end()));
        printf("wrote %s\n", file_utf8(readme).c_str());
    }
    return 0;
}
