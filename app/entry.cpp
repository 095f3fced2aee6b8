#include <cstdlib>
#include <cstring>

#include "app/entry.h"

#include "app/dest.h"
#include "app/path.h"
#include "app/progress.h"
#include "app/strings.h"
#include "app/temp.h"
#include "diag/diag.h"
#include "stream/bstrm.h"
#include "stream/qzt.h"

static uint8_t g_copybuf[PATCH_PIECE];

// The new file of the write under way, and its writer, until it has replaced
// its target; a fatal report meanwhile removes it on the way out.
char g_new_path[MAX_PATH];
static strm *g_new_strm = nullptr;

static void patch_remove_new_file()
{
    if (g_new_strm) {
        // Its last window may not be writable either: no second report.
        g_fatal_quiet = 1;
        strm_release(g_new_strm);
        g_new_strm = nullptr;
    }
    if (g_new_path[0])
        DeleteFileA(g_new_path);
    g_new_path[0] = '\0';
}

bool patch_read_head(strm *rec, payload_head *h)
{
    int32_t fault = payload_read_head(rec, h);
    if (fault == PAYLOAD_NAME_OPEN)
        fatal_error("entry name not terminated");
    else if (fault == PAYLOAD_DEST_OPEN)
        fatal_error("entry destination not terminated");
    return fault == PAYLOAD_OK;
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
    payload_head h;
    char dir[MAX_PATH] = {};
    if (patch_read_head(src, &h)) {
        // Expanded for every entry, whatever its action (a registry key named
        // there is opened and created), by the pre-flight pass before the work.
        bool found = patch_entry_dest(h.dest, dir);
        if (found && h.action == ACTION_WRITE)
            patch_write_file(dlg, dir, h.name, h.data_len, src);
        else if (found && h.action == ACTION_DELETE)
            patch_delete_file(dir, h.name);
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

// The new file takes the target's place whole; a system without
// MoveFileExA (it says so) gets a delete and a move.
static bool patch_replace(const char *from, const char *to)
{
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
        return true;
    if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
        return false;
    DeleteFileA(to);
    return MoveFileA(from, to) != 0;
}

// Copies the rest of the record in pieces of PATCH_PIECE bytes into a new
// file beside the target, which replaces the target once it is whole: a
// failure on the way leaves the old file as it was. The data length only
// sets the number of pieces (one more than it holds whole) and the bar's
// scale.
void patch_write_file(HWND dlg, const char *dir, const char *name, uint32_t len, strm *src)
{
    char target[MAX_PATH];
    char folder[MAX_PATH];
    patch_join_path(target, dir, name);
    size_t flen = patch_dir_length(target);
    memcpy(folder, target, flen);
    folder[flen] = '\0';
    static bool cleanup_registered = false;
    if (!cleanup_registered) {
        atexit(patch_remove_new_file);
        cleanup_registered = true;
    }
    if (!GetTempFileNameA(flen ? folder : ".", TXT_TEMP_PREFIX, 0, g_new_path)) {
        // A missing folder is named as creating the target there names it.
        DWORD err = GetLastError();
        g_new_path[0] = '\0';
        fatal_error("%s: Can't open wfile, %d", target,
                    static_cast<int>(err == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : err));
        return;
    }
    g_new_strm = bstrm_open_file_write(g_new_path, PATCH_WINDOW);
    uint32_t pieces = len / static_cast<uint32_t>(PATCH_PIECE) + 1;
    patch_set_range(dlg, IDC_FILE_BAR, pieces);
    patch_set_pos(dlg, IDC_FILE_BAR, 0);
    patch_set_percent(dlg, IDC_FILE_LABEL, 0);
    for (uint32_t k = 1; k <= pieces; k++) {
        int32_t n = strm_read(src, g_copybuf, PATCH_PIECE);
        if (g_new_strm)
            strm_write(g_new_strm, g_copybuf, n);
        patch_set_pos(dlg, IDC_FILE_BAR, k);
        patch_set_percent(dlg, IDC_FILE_LABEL, static_cast<int32_t>(100ull * k / pieces));
    }
    // Drained while the clean-up still holds the writer, so that a failing
    // write leaves no new file behind.
    if (!g_new_strm || !strm_drain(g_new_strm)) {
        patch_remove_new_file();
        return;
    }
    strm *out = g_new_strm;
    g_new_strm = nullptr;
    strm_release(out);
    // Read-only, hidden and system targets are replaced too.
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);
    if (!patch_replace(g_new_path, target)) {
        fatal_error("%s: Can't open wfile, %d", target, static_cast<int>(GetLastError()));
        return;
    }
    g_new_path[0] = '\0';
}
