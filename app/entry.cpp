#include "app/entry.h"

#include <cstring>

#include "app/dest.h"
#include "app/installed.h"
#include "app/path.h"
#include "app/progress.h"
#include "app/strings.h"
#include "app/swap.h"
#include "app/temp.h"
#include "diag/diag.h"
#include "payload/crc32.h"
#include "stream/bstrm.h"
#include "stream/fstrm.h"
#include "stream/qzd.h"
#include "stream/qzt.h"

static uint8_t g_copybuf[PATCH_PIECE];

// The writer of the new file being made, until it is whole.
static strm *g_new_strm = nullptr;

void patch_drop_new_file()
{
    if (!g_new_strm)
        return;
    // Its last window may not be writable either: no second report.
    int32_t quiet = g_fatal_quiet;
    g_fatal_quiet = 1;
    strm_release(g_new_strm);
    g_new_strm = nullptr;
    g_fatal_quiet = quiet;
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

void patch_apply_entry(HWND dlg, uint32_t entry)
{
    strm *file = patch_temp_reader();
    strm *src = qzt_open(file);
    payload_head h;
    // After a report that returned, the work goes no further.
    if (!src || !patch_read_head(src, &h)) {
        patch_swap_rollback();
    } else {
        // Expanded for every entry, whatever its action (a registry key named
        // there is opened and created), by the pre-flight pass before the work.
        char dir[MAX_PATH] = {};
        // A code that names no action is passed over.
        if (patch_work_dest(h.dest, dir) && payload_action_of(h.action)) {
            switch (static_cast<payload_action>(h.action)) {
            case ACTION_WRITE:
                patch_write_file(dlg, dir, h.name, h.data_len, src, entry);
                break;
            case ACTION_DELETE:
                patch_delete_file(dir, h.name, entry);
                break;
            case ACTION_PATCH:
                patch_patch_file(dlg, dir, h.name, src, entry);
                break;
            }
        }
    }
    if (src)
        strm_release(src);
    if (file)
        strm_release(file);
}

patch_swap_change patch_action_change(payload_action action)
{
    switch (action) {
    case ACTION_WRITE:
    case ACTION_PATCH:
        return SWAP_REPLACE;
    case ACTION_DELETE:
        return SWAP_REMOVE;
    }
    return SWAP_NONE;
}

void patch_delete_file(const char *dir, const char *name, uint32_t entry)
{
    char target[MAX_PATH];
    patch_join_path(target, dir, name);
    if (!target[0] || !patch_swap_note(entry, SWAP_REMOVE, target))
        patch_swap_rollback();
}

// Copies what src holds in pieces of PATCH_PIECE bytes into the new file of
// target, beside it, which the swap puts in the target's place. len only
// sets the number of pieces (one more than it holds whole) and the bar's
// scale, unless crc is given: then the bytes made must be len whose CRC-32
// is *crc. False after a report, the work rolled back.
static bool patch_make_new_file(HWND dlg, const char *target, uint32_t entry, strm *src, uint32_t len,
                                const uint32_t *crc)
{
    char staged[MAX_PATH];
    if (!target[0] || !patch_run_file(staged, target, entry, ".new") || !patch_swap_note(entry, SWAP_REPLACE, target)) {
        patch_swap_rollback();
        return false;
    }
    HANDLE h = g_patch_fs->create(staged);
    if (h == INVALID_HANDLE_VALUE) {
        // A missing folder is named as creating the target there names it.
        DWORD err = GetLastError();
        patch_swap_rollback();
        fatal_error("%s: Can't open wfile, %d", target, static_cast<int>(err));
        return false;
    }
    // The file stream takes the handle over, the writer a reference of its
    // own to the file stream.
    strm *file = fstrm_adopt_write_handle(h);
    g_new_strm = bstrm_new_writer(file, PATCH_STAGED_WINDOW);
    if (file)
        strm_release(file);
    uint32_t pieces = len / static_cast<uint32_t>(PATCH_PIECE) + 1;
    uint32_t made = 0, sum = 0;
    patch_set_range(dlg, IDC_FILE_BAR, pieces);
    patch_set_pos(dlg, IDC_FILE_BAR, 0);
    patch_set_percent(dlg, IDC_FILE_LABEL, 0);
    for (uint32_t k = 1; k <= pieces; k++) {
        int32_t n = strm_read(src, g_copybuf, PATCH_PIECE);
        if (g_new_strm)
            strm_write(g_new_strm, g_copybuf, n);
        if (crc && n > 0) {
            made += static_cast<uint32_t>(n);
            sum = crc32_update(sum, g_copybuf, static_cast<size_t>(n));
        }
        patch_set_pos(dlg, IDC_FILE_BAR, k);
        patch_set_percent(dlg, IDC_FILE_LABEL, static_cast<int32_t>(100ull * k / pieces));
    }
    if (crc && (made != len || sum != *crc)) {
        patch_swap_rollback();
        fatal_error("%s: rebuilt file does not match, %u bytes, CRC-32 %08X", target, static_cast<unsigned>(made),
                    static_cast<unsigned>(sum));
        return false;
    }
    // Drained while the writer is still the work's to drop, so that a failing
    // write (its own report) leaves no new file behind.
    if (!g_new_strm || !strm_drain(g_new_strm)) {
        patch_swap_rollback();
        return false;
    }
    strm *out = g_new_strm;
    g_new_strm = nullptr;
    strm_release(out);
    return true;
}

void patch_write_file(HWND dlg, const char *dir, const char *name, uint32_t len, strm *src, uint32_t entry)
{
    char target[MAX_PATH];
    patch_join_path(target, dir, name);
    patch_make_new_file(dlg, target, entry, src, len, nullptr);
}

void patch_patch_file(HWND dlg, const char *dir, const char *name, strm *src, uint32_t entry)
{
    char target[MAX_PATH];
    patch_join_path(target, dir, name);
    payload_delta_head d;
    if (!payload_read_delta_head(src, &d)) {
        patch_swap_rollback();
        fatal_error("entry data head cut short");
        return;
    }
    // The old file is the target itself, which the pre-flight pass found to
    // be the one the delta was made for and which stays in place until the
    // swap.
    HANDLE h = patch_open_installed(target);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        patch_swap_rollback();
        fatal_error("%s: Can't open file, %d", target, static_cast<int>(err));
        return;
    }
    strm *old = fstrm_from_handle(h);
    CloseHandle(h);
    strm *made = qzd_open(src, old, d.old_len, d.new_len);
    if (old)
        strm_release(old);
    if (!made) {
        patch_swap_rollback();
        return;
    }
    patch_make_new_file(dlg, target, entry, made, d.new_len, &d.new_crc);
    strm_release(made);
}
