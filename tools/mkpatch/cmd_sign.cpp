// mkpatch sign: a signed copy of a patch, read back.
#include <cstdio>

#include "tools/mkpatch/commands.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/output.h"

namespace fs = std::filesystem;

// Where the file's signature lies, read from the PE header in its program
// image; false when it is not signed.
bool mkpatch_signed(const fs::path &file, uint32_t *at, uint32_t *size)
{
    pack_bytes image = file_read(file, PAYLOAD_OFFSET);
    return sign_directory(image.data(), image.size(), at, size);
}

// Signs the patch in into out, then reads the signed file back: its payload
// whole and its signature in place.
void mkpatch_sign_to(const fs::path &in, const fs::path &out, const sign_options &o)
{
    sign_file(in, out, o);
    pack_layout layout;
    uint32_t at, size;
    try {
        pack_read_file(out, &layout);
    } catch (const pack_error &e) {
        throw mkpatch_error(std::string("the signed patch does not read back: ") + e.what());
    }
    if (!layout.trailer || !mkpatch_signed(out, &at, &size) || at < layout.end)
        throw mkpatch_error("the signed patch holds no signature behind its trailer");
}

int mkpatch_sign(const std::string &patch_file, const std::string &out_file, const sign_options &o)
{
    pack_layout layout;
    mkpatch_read(patch_file, &layout);
    // The program reads nothing after its last entry; only a trailer tells
    // the signature apart from a damaged payload.
    if (!layout.trailer)
        throw mkpatch_error(patch_file + " has no trailer, so a signature behind it could not be told from damage: "
                                         "build it again with this mkpatch");
    fs::path out_path = file_path(out_file);
    output_part part(out_path, ".part");
    mkpatch_sign_to(file_path(patch_file), part.path, o);
    output_done(&part);
    printf("wrote %s: signed, %zu bytes\n", out_file.c_str(), static_cast<size_t>(fs::file_size(out_path)));
    return 0;
}
