#include <cstring>

#include "app/patch.h"
#include "diag/diag.h"
#include "stream/bstrm.h"
#include "stream/qzt.h"

static uint8_t g_copybuf[PATCH_PIECE];

// A field must hold its terminator: a name or spec cut at the field's end
// would name another file.
static bool patch_field_ok(const char *field, size_t size, const char *what)
{
    if (memchr(field, 0, size))
        return true;
    fatal_error("entry %s not terminated", what);
    return false;
}

void patch_apply_entry(HWND dlg)
{
    strm *file = bstrm_open_file_read(g_temp_path, PATCH_WINDOW);
    strm *src = qzt_open(file);
    if (!src) {
        if (file)
            strm_release(file);
        return;
    }
    uint8_t action = strm_getc(src);
    char name[RECORD_NAME_SIZE] = {};
    char spec[RECORD_DEST_SIZE] = {};
    char dir[MAX_PATH] = {};
    strm_read(src, reinterpret_cast<uint8_t *>(name), sizeof name);
    strm_read(src, reinterpret_cast<uint8_t *>(spec), sizeof spec);
    if (patch_field_ok(name, sizeof name, "name") && patch_field_ok(spec, sizeof spec, "destination")) {
        // Expanded for every entry, whatever its action: a registry key named
        // there is opened (and created) all the same.
        bool found = patch_expand_dest(spec, dir);
        if (found && action == ACTION_WRITE)
            patch_write_file(dlg, dir, name, src);
        else if (found && action == ACTION_DELETE)
            patch_delete_file(dir, name);
    }
    strm_release(src);
    strm_release(file);
}

void patch_delete_file(const char *dir, const char *name)
{
    char target[MAX_PATH];
    patch_join_path(target, dir, name);
    // Clears read-only, hidden and system so that such a file goes too; a
    // missing file is no failure.
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(target);
}

// Copies the rest of the record in pieces of 8192 bytes; the data length only
// sets the number of pieces and the bar's scale.
void patch_write_file(HWND dlg, const char *dir, const char *name, strm *src)
{
    char target[MAX_PATH];
    patch_join_path(target, dir, name);
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
    strm *out = bstrm_open_file_write(target, PATCH_WINDOW);
    uint32_t len = strm_get32(src);
    uint32_t pieces = (len >> 13) + 1;
    patch_set_range(dlg, IDC_FILE_BAR, pieces);
    patch_set_pos(dlg, IDC_FILE_BAR, 0);
    patch_set_percent(dlg, IDC_FILE_LABEL, 0);
    for (uint32_t k = 1; k <= pieces; k++) {
        int32_t n = strm_read(src, g_copybuf, PATCH_PIECE);
        if (out)
            strm_write(out, g_copybuf, n);
        patch_set_pos(dlg, IDC_FILE_BAR, k);
        patch_set_percent(dlg, IDC_FILE_LABEL, static_cast<int32_t>(100ull * k / pieces));
    }
    if (out)
        strm_release(out);
}
