// mkpatch: makes, signs, lists, checks and unpacks patches.
//
//   mkpatch build MANIFEST -o OUT.exe [--stub STUB.exe] [-1|-9] [--threads N] [--elevation admin|user]
//                 [SIGNING]
//   mkpatch sign PATCH.exe -o SIGNED.exe SIGNING
//   mkpatch list PATCH.exe
//   mkpatch verify PATCH.exe
//   mkpatch extract PATCH.exe DIR [--force]
//   mkpatch diff OLD_DIR NEW_DIR --dest DEST -o MANIFEST [--question TEXT]
//
//   mkpatch --version
//
// SIGNING: --cert CERT --key KEY or --pkcs12 FILE, [--pass-file FILE |
// --pass-env NAME] [--description TEXT] [--timestamp URL].
// Exit codes: 0 done, 1 a fault (reported on stderr), 2 a usage error.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

#include "payload/crc32.h"
#include "payload/dest.h"
#include "encode/qzt_encode.h"
#include "tools/mkpatch/cp932.h"
#include "tools/mkpatch/diff.h"
#include "tools/mkpatch/elevation.h"
#include "tools/mkpatch/error.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/manifest.h"
#include "tools/mkpatch/payload.h"
#include "tools/mkpatch/sign.h"

namespace fs = std::filesystem;

namespace {

// Code page 932 text for display; where it is not valid, its bytes past
// ASCII as \xNN.
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

// A manifest's warnings, then its errors, each with its line, on stderr.
void mkpatch_report(const manifest &m)
{
    for (const std::string &w : m.warnings)
        fprintf(stderr, "%s\n", w.c_str());
    for (const std::string &e : m.errors)
        fprintf(stderr, "%s\n", e.c_str());
}

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

// Where the file's signature lies, read from the PE header in its program
// image; false when it is not signed.
bool mkpatch_signed(const fs::path &file, uint32_t *at, uint32_t *size)
{
    payload_bytes image = file_read(file, PAYLOAD_OFFSET);
    return sign_directory(image.data(), image.size(), at, size);
}

// Signs the patch in into out, then reads the signed file back: its payload
// whole and its signature in place.
void mkpatch_sign_to(const fs::path &in, const fs::path &out, const sign_options &o)
{
    sign_file(in, out, o);
    payload_layout layout;
    uint32_t at, size;
    try {
        payload_read_file(out, &layout);
    } catch (const payload_error &e) {
        throw mkpatch_error(std::string("the signed patch does not read back: ") + e.what());
    }
    if (!layout.trailer || !mkpatch_signed(out, &at, &size) || at < layout.end)
        throw mkpatch_error("the signed patch holds no signature behind its trailer");
}

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

// mkpatch's version and license, and the program that build uses without
// --stub.
std::string mkpatch_version()
{
    std::string text = "mkpatch " MKPATCH_VERSION "\n"
                       "Copyright 2026 the Orvane patch authors, under the zlib license\n"
                       "program: ";
    try {
        std::string from;
        fs::path stub = mkpatch_find_stub(&from);
        text += file_utf8(stub) + " (from " + from + ")";
    } catch (const mkpatch_error &e) {
        text += e.what();
    }
    return text;
}

// The program image to build on, --stub's or the one found, checked.
payload_bytes mkpatch_stub(const std::string &stub_file)
{
    std::string from = "--stub";
    fs::path stub_path = stub_file.empty() ? mkpatch_find_stub(&from) : file_path(stub_file);
    payload_bytes image = file_read(stub_path);
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
    std::vector<payload_record> records;
    std::vector<uint32_t> data_crcs;
    uint64_t size = 0;
};

// Writes the patch of the manifest's entries on the image to path, reading
// each source a batch at a time as it is compressed.
mkpatch_built mkpatch_write(const fs::path &path, const std::string &manifest_file, const manifest &m,
                            const payload_bytes &image, int level)
{
    mkpatch_built built;
    payload_writer w = payload_write_start(path, image, static_cast<uint32_t>(m.entries.size()), m.message, level);
    size_t k = 0;
    for (const manifest_entry &e : m.entries) {
        k++;
        payload_record r;
        r.action = e.action;
        r.name = e.name;
        r.dest = e.dest;
        payload_written written;
        try {
            strm_ptr data;
            if (e.action == ACTION_WRITE) {
                std::error_code ec;
                uintmax_t size = fs::file_size(e.source, ec);
                if (ec)
                    throw mkpatch_error(file_utf8(e.source) + ": " + ec.message());
                if (size > PAYLOAD_MAX_DATA)
                    throw mkpatch_error(file_utf8(e.source) + " grew past " + std::to_string(PAYLOAD_MAX_DATA) +
                                        " bytes since it was checked");
                r.size = static_cast<uint32_t>(size);
                data = file_open_read(e.source);
            }
            written = payload_write_entry(&w, r, data.get());
        } catch (const mkpatch_error &x) {
            throw mkpatch_error(manifest_file + ":" + std::to_string(e.line) + ": entry " + std::to_string(k) + ": " +
                                x.what());
        }
        built.records.push_back(r);
        built.data_crcs.push_back(written.data_crc);
        if (e.action == ACTION_WRITE)
            printf("%5zu  write   %s  %u bytes, blob %u\n", k, mkpatch_show(e.name).c_str(),
                   static_cast<unsigned>(r.size), static_cast<unsigned>(written.blob));
        else
            printf("%5zu  delete  %s\n", k, mkpatch_show(e.name).c_str());
    }
    payload_write_trailer(&w);
    payload_write_finish(&w);
    built.size = w.size;
    return built;
}

// Reads the patch at path back as list and verify read it, and compares
// every entry with what was built.
void mkpatch_read_back(const fs::path &path, const mkpatch_built &built)
{
    payload_layout layout;
    bool same = true;
    uint32_t crc = 0;
    payload_visitor compare;
    compare.data = [&](uint32_t, const uint8_t *data, size_t n) { crc = crc32_update(crc, data, n); };
    compare.record = [&](uint32_t entry, const payload_record &r) {
        const payload_record &b = built.records[entry - 1];
        same = same && r.action == b.action && r.name == b.name && r.dest == b.dest && r.size == b.size &&
               crc == built.data_crcs[entry - 1];
        crc = 0;
    };
    try {
        payload_read_file(path, &layout, compare);
    } catch (const payload_error &e) {
        throw mkpatch_error(std::string("internal error: the patch does not read back as built: ") + e.what());
    }
    if (!same || !layout.trailer)
        throw mkpatch_error(std::string("internal error: the patch does not read back as built: ") +
                            (!same ? "a record differs" : "no trailer"));
}

// Gives the finished patch part its name out, signed first when asked.
void mkpatch_publish(const fs::path &part, const fs::path &out, const sign_options &sign)
{
    if (!sign_wanted(sign)) {
        fs::rename(part, out);
        return;
    }
    fs::path signed_part = out;
    signed_part += ".signed.part";
    try {
        mkpatch_sign_to(part, signed_part, sign);
        fs::rename(signed_part, out);
        fs::remove(part);
    } catch (const std::exception &) {
        std::error_code ec;
        fs::remove(signed_part, ec);
        throw;
    }
}

// Whether the destination reads HKEY_CURRENT_USER (%HKCR\).
bool mkpatch_reads_user(const std::string &dest)
{
    dest_parts parts;
    return dest_parse(dest.c_str(), &parts) && parts.form == DEST_USER;
}

// An elevated patch that reads a destination from HKEY_CURRENT_USER reads
// the hive of the account whose password raised it, which may not be the
// user's own.
void mkpatch_warn_elevation(const manifest &m, elevation e)
{
    if (e != elevation::admin)
        return;
    for (const manifest_entry &entry : m.entries) {
        if (mkpatch_reads_user(entry.dest)) {
            fprintf(stderr, "mkpatch: warning: the patch asks for administrator rights (--elevation admin) and reads "
                            "its destination from HKEY_CURRENT_USER (%%HKCR\\): raised with another account's "
                            "password, it reads that account's key; --elevation user reads the user's own\n");
            return;
        }
    }
}

// The level of a patch built without --elevation: user when every entry's
// destination reads HKEY_CURRENT_USER, which an elevated patch may read as
// another account's (mkpatch_warn_elevation); admin otherwise.
elevation mkpatch_default_elevation(const manifest &m)
{
    bool user = !m.entries.empty() && std::all_of(m.entries.begin(), m.entries.end(),
                                                  [](const manifest_entry &e) { return mkpatch_reads_user(e.dest); });
    return user ? elevation::user : elevation::admin;
}

// Writes the level into the image's manifest: asked, or the default. A
// program without a manifest is built as it is, unless a level was asked
// for, which has nowhere to go.
void mkpatch_elevate(payload_bytes *image, const manifest &m, std::optional<elevation> asked)
{
    if (!asked && !elevation_manifest(*image)) {
        fprintf(stderr, "mkpatch: warning: the program has no manifest, so the patch carries none: Windows Vista and "
                        "later either run it elevated, taking it for an installer by its name (UAC's installer "
                        "detection), or run it under UAC virtualization, which sends its writes under Program Files "
                        "and HKLM\\Software to per-user copies while it reports success\n");
        return;
    }
    elevation e = asked ? *asked : mkpatch_default_elevation(m);
    elevation_write(image, e);
    if (!asked && e == elevation::user)
        printf("elevation: user (asInvoker), the default when every destination reads HKEY_CURRENT_USER\n");
    mkpatch_warn_elevation(m, e);
}

int mkpatch_build(const std::string &manifest_file, const std::string &out_file, const std::string &stub_file,
                  int level, std::optional<elevation> asked, const sign_options &sign)
{
    manifest m = mkpatch_manifest(manifest_file);
    fs::path out_path = file_path(out_file);
    fs::path out_dir = out_path.parent_path().empty() ? fs::path(".") : out_path.parent_path();
    std::error_code ec;
    if (!fs::is_directory(out_dir, ec))
        throw mkpatch_error(out_file + ": the folder " + file_utf8(out_dir) + " does not exist");
    payload_bytes image = mkpatch_stub(stub_file);
    mkpatch_elevate(&image, m, asked);

    // Written aside and renamed, so that OUT is never a patch cut short
    // (nor one left unsigned when a signature was asked for).
    fs::path part = out_path;
    part += ".part";
    mkpatch_built built;
    try {
        built = mkpatch_write(part, manifest_file, m, image, level);
        mkpatch_read_back(part, built);
        mkpatch_publish(part, out_path, sign);
    } catch (const std::exception &) {
        fs::remove(part, ec);
        throw;
    }
    printf("wrote %s: %zu entr%s, payload %zu bytes, %zu bytes in all%s\n", out_file.c_str(), m.entries.size(),
           m.entries.size() == 1 ? "y" : "ies", static_cast<size_t>(built.size - PAYLOAD_OFFSET),
           static_cast<size_t>(fs::file_size(out_path)), sign_wanted(sign) ? ", signed" : "");
    if (!m.readme.empty()) {
        // The program shows the README.TXT of its own folder.
        fs::path readme = out_dir / "README.TXT";
        file_write(readme, payload_bytes(m.readme.begin(), m.readme.end()));
        printf("wrote %s\n", file_utf8(readme).c_str());
    }
    return 0;
}

// Checks all of the patch patch_file; its faults name the file.
void mkpatch_read(const std::string &patch_file, payload_layout *layout, const payload_visitor &visit = {})
{
    try {
        payload_read_file(file_path(patch_file), layout, visit);
    } catch (const payload_error &e) {
        throw mkpatch_error(patch_file + ": " + e.what());
    }
}

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
        payload_bytes image = file_read(file_path(patch_file), PAYLOAD_OFFSET);
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

int mkpatch_list(const std::string &patch_file)
{
    struct row {
        std::string action, size, packed, dest, name;
    };
    std::vector<row> rows;
    payload_layout layout;
    bool registry_user = false;
    payload_visitor add_row;
    add_row.record = [&](uint32_t k, const payload_record &r) {
        bool write = r.action == ACTION_WRITE;
        rows.push_back({write ? "write" : "delete", write ? std::to_string(r.size) : "-",
                        std::to_string(layout.blob_length[k - 1]), mkpatch_show(r.dest), mkpatch_show(r.name)});
        registry_user = registry_user || mkpatch_reads_user(r.dest);
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
    std::string question = mkpatch_show(payload_unescape(layout.message));
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
        printf("\n    #  action        size      blob  destination%*s  name\n", static_cast<int>(dest_width - 11), "");
    size_t k = 0;
    for (const row &r : rows)
        printf("%5zu  %-6s  %10s  %8s  %s%*s  %s\n", ++k, r.action.c_str(), r.size.c_str(), r.packed.c_str(),
               r.dest.c_str(), static_cast<int>(dest_width - mkpatch_width(r.dest)), "", r.name.c_str());
    if (registry_user)
        printf("\n%%HKCR\\ reads HKEY_CURRENT_USER.\n");
    if (fault)
        std::rethrow_exception(fault);
    return 0;
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

int mkpatch_verify(const std::string &patch_file)
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
        payload_layout layout;
        mkpatch_read(patch_file, &layout);
        printf("%s: OK, %u entr%s, payload %zu bytes\n", patch_file.c_str(), layout.count,
               layout.count == 1 ? "y" : "ies", static_cast<size_t>(layout.end - PAYLOAD_OFFSET));
        // Only a trailer says the bytes are the ones built; without one, they
        // merely form a sound patch.
        if (!layout.trailer)
            printf("no trailer: structure checked only\n");
        else if (layout.end == layout.size)
            printf("trailer: CRC-32 matches\n");
        else
            printf("trailer: CRC-32 matches; %zu bytes follow it\n", static_cast<size_t>(layout.size - layout.end));
    } catch (const mkpatch_error &e) {
        faults.push_back(e.what());
    }
    for (const std::string &f : faults)
        fprintf(stderr, "mkpatch: %s\n", f.c_str());
    return faults.empty() ? 0 : 1;
}

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
    payload_visitor visit;
    visit.data = [&](uint32_t k, const uint8_t *data, size_t n) {
        stage(k);
        file_put(&out, data, n);
    };
    visit.record = [&](uint32_t k, const payload_record &r) {
        if (r.action == ACTION_DELETE) {
            deletes.push_back(mkpatch_show(r.name) + "  (in " + mkpatch_show(r.dest) + ")");
            return;
        }
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
    payload_layout layout;
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

int mkpatch_sign(const std::string &patch_file, const std::string &out_file, const sign_options &o)
{
    payload_layout layout;
    mkpatch_read(patch_file, &layout);
    // The program reads nothing after its last entry; only a trailer tells
    // the signature apart from a damaged payload.
    if (!layout.trailer)
        throw mkpatch_error(patch_file + " has no trailer, so a signature behind it could not be told from damage: "
                                         "build it again with this mkpatch");
    fs::path out_path = file_path(out_file);
    fs::path part = out_path;
    part += ".part";
    std::error_code ec;
    try {
        mkpatch_sign_to(file_path(patch_file), part, o);
        fs::rename(part, out_path);
    } catch (const std::exception &) {
        fs::remove(part, ec);
        throw;
    }
    printf("wrote %s: signed, %zu bytes\n", out_file.c_str(), static_cast<size_t>(fs::file_size(out_path)));
    return 0;
}

int mkpatch_diff(const std::string &old_dir, const std::string &new_dir, const std::string &dest,
                 const std::string &out_file, const std::string &question)
{
    diff_result r = diff_trees(file_path(old_dir), file_path(new_dir));
    for (const std::string &w : r.warnings)
        fprintf(stderr, "mkpatch: warning: %s\n", w.c_str());
    for (const std::string &e : r.errors)
        fprintf(stderr, "mkpatch: %s\n", e.c_str());
    if (!r.errors.empty())
        throw mkpatch_error(std::to_string(r.errors.size()) + " error" + (r.errors.size() == 1 ? "" : "s") +
                            " between " + old_dir + " and " + new_dir + ", no manifest written");
    fs::path out_path = file_path(out_file);
    std::string text = diff_manifest(r.changes, dest, question, out_path.parent_path());
    file_write(out_path, payload_bytes(text.begin(), text.end()));
    size_t writes = std::count_if(r.changes.begin(), r.changes.end(), [](const diff_change &c) { return c.write; });
    printf("wrote %s: %zu write%s, %zu delete%s\n", out_file.c_str(), writes, writes == 1 ? "" : "s",
           r.changes.size() - writes, r.changes.size() - writes == 1 ? "" : "s");
    // The manifest is checked as build will read it, so that a name the
    // format cannot carry shows now, with its line.
    manifest m = manifest_load(out_path);
    mkpatch_report(m);
    if (!m.errors.empty())
        throw mkpatch_error(out_file + " does not build as it stands");
    return 0;
}

// The signing options of build and sign. The password is never an argument:
// command lines are visible to every user of the machine.
void mkpatch_sign_options(CLI::App *cmd, sign_options *o)
{
    CLI::Option_group *group = cmd->add_option_group("Signing");
    CLI::Option *cert =
        group->add_option("--cert", o->cert, "The signing certificate, PEM (with its chain)")->type_name("CERT");
    CLI::Option *key = group->add_option("--key", o->key, "The certificate's private key, PEM")->type_name("KEY");
    cert->needs(key);
    key->needs(cert);
    group->add_option("--pkcs12", o->pkcs12, "The certificate and key in a PKCS#12 file (.pfx, .p12)")
        ->type_name("FILE")
        ->excludes(cert)
        ->excludes(key);
    CLI::Option *pass_file =
        group->add_option("--pass-file", o->pass_file, "The key's password: the first line of FILE")->type_name("FILE");
    group->add_option("--pass-env", o->pass_env, "The key's password: the environment variable NAME")
        ->type_name("NAME")
        ->excludes(pass_file);
    group->add_option("--description", o->description, "The name Windows shows for the signed program (ASCII)")
        ->type_name("TEXT")
        ->capture_default_str();
    group->add_option("--timestamp", o->timestamp, "An RFC 3161 timestamp server's URL (default: no timestamp)")
        ->type_name("URL");
}

// A usage fault of the signing options: the words, or empty when there is none.
std::string mkpatch_sign_usage(const sign_options &o, bool required)
{
    if (sign_wanted(o))
        return "";
    if (required)
        return "sign: give --cert and --key, or --pkcs12";
    if (!o.pass_file.empty() || !o.pass_env.empty() || !o.timestamp.empty() || o.description != SIGN_DESCRIPTION)
        return "build: the signing options need --cert and --key, or --pkcs12";
    return "";
}

}  // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
    std::vector<std::string> args = file_args(argc, argv);
    std::vector<const char *> arg_ptrs;
    for (const std::string &a : args)
        arg_ptrs.push_back(a.c_str());

    CLI::App app("Makes, signs, lists, checks and unpacks self-applying patches.", "mkpatch");
    app.require_subcommand(1);
    app.set_version_flag("--version", mkpatch_version,
                         "Print the version, the license and the patch program build would use");
    // On Windows CLI11 would take "/path" for an option; paths start so under Wine.
    app.allow_windows_style_options(false);

    std::string manifest_file, out_file, stub_file, patch_file, dir, old_dir, new_dir, dest;
    std::string question = "パッチを適用しますか？";
    bool fast = false, best = false, force = false;

    CLI::App *build = app.add_subcommand("build", "Make a patch from a manifest.");
    build->add_option("MANIFEST", manifest_file, "The manifest (TOML, UTF-8)")->required();
    build->add_option("-o,--output", out_file, "The patch to write")->required();
    build->add_option("--stub", stub_file,
                      "The patch program to build on (default: the install's, or the build tree's "
                      "build/win32/bin/patch.exe; --version names it)");
    CLI::Option *fast_opt = build->add_flag("-1", fast, "Compress fast");
    build->add_flag("-9", best, "Compress best (the default)")->excludes(fast_opt);
    int threads = g_qzt_threads;
    build
        ->add_option("--threads", threads,
                     "Threads of the best compression (the patch is the same whatever their number)")
        ->check(CLI::Range(1, static_cast<int>(QZT_MAX_THREADS)))
        ->capture_default_str();
    std::string elevation_opt;
    build
        ->add_option("--elevation", elevation_opt,
                     "The rights the patch asks Windows for: admin (requireAdministrator) or user (asInvoker); "
                     "by default user when every destination reads HKEY_CURRENT_USER, else admin")
        ->check(CLI::IsMember({"admin", "user"}));
    sign_options build_sign;
    mkpatch_sign_options(build, &build_sign);

    CLI::App *sign = app.add_subcommand("sign", "Sign a patch with a code-signing certificate (the last step).");
    sign->add_option("PATCH", patch_file, "The patch")->required();
    sign->add_option("-o,--output", out_file, "The signed patch to write")->required();
    sign_options sign_sign;
    mkpatch_sign_options(sign, &sign_sign);

    CLI::App *list = app.add_subcommand("list", "Show a patch's question and entries.");
    list->add_option("PATCH", patch_file, "The patch")->required();

    CLI::App *verify = app.add_subcommand("verify", "Check a patch; exit 1 naming the first fault.");
    verify->add_option("PATCH", patch_file, "The patch")->required();

    CLI::App *extract = app.add_subcommand("extract", "Write a patch's files under a folder.");
    extract->add_option("PATCH", patch_file, "The patch")->required();
    extract->add_option("DIR", dir, "The folder to write into (made if missing)")->required();
    extract->add_flag("-f,--force", force, "Overwrite files that exist");

    CLI::App *diff = app.add_subcommand("diff", "Write the manifest that turns OLD_DIR into NEW_DIR.");
    diff->add_option("OLD_DIR", old_dir, "The tree as the users have it")->required();
    diff->add_option("NEW_DIR", new_dir, "The tree as it is to become")->required();
    diff->add_option("--dest", dest, "Destination of every entry (the folder of the tree's root)")->required();
    diff->add_option("-o,--output", out_file, "The manifest to write")->required();
    diff->add_option("--question", question, "The question the patch asks")->capture_default_str();

    try {
        app.parse(static_cast<int>(arg_ptrs.size()), arg_ptrs.data());
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return 2;
    }
    std::string usage = *sign ? mkpatch_sign_usage(sign_sign, true) : mkpatch_sign_usage(build_sign, false);
    if (!usage.empty()) {
        fprintf(stderr, "%s\nRun with --help for more information.\n", usage.c_str());
        return 2;
    }

    g_qzt_threads = threads;
    // CLI11 has checked the name; none when --elevation is not given.
    std::optional<elevation> build_elevation;
    elevation asked;
    if (elevation_parse(elevation_opt, &asked))
        build_elevation = asked;
    try {
        if (*build)
            return mkpatch_build(manifest_file, out_file, stub_file, fast ? QZT_LEVEL_FAST : QZT_LEVEL_BEST,
                                 build_elevation, build_sign);
        if (*sign)
            return mkpatch_sign(patch_file, out_file, sign_sign);
        if (*list)
            return mkpatch_list(patch_file);
        if (*verify)
            return mkpatch_verify(patch_file);
        if (*extract)
            return mkpatch_extract(patch_file, dir, force);
        return mkpatch_diff(old_dir, new_dir, dest, out_file, question);
    } catch (const std::exception &e) {
        fprintf(stderr, "mkpatch: %s\n", e.what());
        return 1;
    }
}
