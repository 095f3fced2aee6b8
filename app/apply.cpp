#include "app/patch.h"

#include <commctrl.h>

#include "app/strings.h"
#include "diag/diag.h"
#include "stream/bstrm.h"

char g_temp_path[MAX_PATH];
strm *g_payload_strm = nullptr;
uint32_t g_entry_count = 0;

int patch_step_apply(HINSTANCE inst)
{
    // Whatever would stop the work half-way is found while nothing is changed.
    patch_preflight();
    patch_make_temp();
    g_payload_strm = bstrm_open_file_read(g_exe_path, PATCH_WINDOW);
    if (!g_payload_strm)
        return STEP_FINISH;
    strm_seek(g_payload_strm, g_payload_offset);
    g_entry_count = strm_get32(g_payload_strm);
    patch_skip_message();
    // The window initialises inside this call, with the entry count known.
    HWND dlg = CreateDialogParamA(inst, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, patch_progress_proc, 0);
    patch_repaint(dlg);
    patch_apply_all(dlg);
    DestroyWindow(dlg);
    strm_release(g_payload_strm);
    g_payload_strm = nullptr;
    DeleteFileA(g_temp_path);
    patch_forget_dests();
    MessageBoxA(nullptr, TXT_SUCCESS, TXT_TITLE, MB_OK);
    return STEP_FINISH;
}

// The temporary file's folder: the temporary directory, or the Windows
// directory when that is a drive root or cannot be had whole.
void patch_temp_dir(char *dir)
{
    DWORD len = GetTempPathA(MAX_PATH, dir);
    if (len <= 3 || len >= MAX_PATH)
        GetWindowsDirectoryA(dir, MAX_PATH);
}

// One temporary file for the whole run, named and created by the system.
void patch_make_temp()
{
    char dir[MAX_PATH];
    patch_temp_dir(dir);
    if (!GetTempFileNameA(dir, TXT_TEMP_PREFIX, 0, g_temp_path))
        MessageBoxA(nullptr, TXT_NO_TEMP, TXT_FAILURE, MB_OK);
}

void patch_skip_message()
{
    uint32_t len = patch_read_message_length(g_payload_strm);
    strm_seek(g_payload_strm, g_payload_offset + PAYLOAD_HEADER + len);
}

INT_PTR CALLBACK patch_progress_proc(HWND dlg, UINT msg, WPARAM, LPARAM)
{
    if (msg == WM_INITDIALOG)
        patch_progress_init(dlg);
    return FALSE;
}

void patch_progress_init(HWND dlg)
{
    SetWindowTextA(dlg, TXT_TITLE);
    patch_progress_classic(dlg);
    patch_set_range(dlg, IDC_TOTAL_BAR, g_entry_count);
    patch_set_pos(dlg, IDC_TOTAL_BAR, 0);
    patch_set_percent(dlg, IDC_TOTAL_LABEL, 0);
    patch_set_pos(dlg, IDC_FILE_BAR, 0);
    patch_set_percent(dlg, IDC_FILE_LABEL, 0);
}

void patch_apply_all(HWND dlg)
{
    for (uint32_t i = 0; i < g_entry_count; i++) {
        uint32_t size = strm_get32(g_payload_strm);
        patch_set_pos(dlg, IDC_FILE_BAR, 0);
        patch_set_percent(dlg, IDC_FILE_LABEL, 0);
        patch_copy_blob(dlg, size);
        patch_apply_entry(dlg);
        // The file is shown complete whatever its action did with the bar.
        patch_set_range(dlg, IDC_FILE_BAR, 1);
        patch_set_pos(dlg, IDC_FILE_BAR, 1);
        patch_set_percent(dlg, IDC_FILE_LABEL, 100);
        patch_set_pos(dlg, IDC_TOTAL_BAR, i + 1);
        patch_set_percent(dlg, IDC_TOTAL_LABEL, static_cast<int32_t>(100ull * (i + 1) / g_entry_count));
        patch_repaint(dlg);
    }
}

// The step runs no message loop, so nothing else would ever paint the window
// whole: paint it now, synchronously, without dispatching any input.
void patch_repaint(HWND dlg)
{
    // A null window would repaint the whole desktop.
    if (!dlg)
        return;
    RedrawWindow(dlg, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

// Copies the entry's blob into the temporary file. A blob running past the
// end of the program file is a damaged patch: fatal, rather than copying
// filler bytes into the temporary file.
void patch_copy_blob(HWND dlg, uint32_t size)
{
    uint32_t pos = strm_tell(g_payload_strm);
    uint32_t end = strm_size(g_payload_strm);
    if (pos > end || size > end - pos) {
        fatal_error("%s: bad entry length, %u", g_exe_path, static_cast<unsigned>(size));
        return;
    }
    // Written over from its start and cut to the blob, rather than truncated
    // first: see fstrm_open_rewrite.
    strm *out = bstrm_open_file_rewrite(g_temp_path, PATCH_WINDOW);
    if (!out) {
        MessageBoxA(dlg, TXT_TEMP_UNWRITABLE, TXT_FAILURE, MB_OK);
        strm_seek(g_payload_strm, pos + size);  // keep the next entries in step
        return;
    }
    // The input window's bytes go out as they lie; a byte beyond it comes
    // through strm_getc, which refills the window (or gives the filler of
    // data that cannot be had).
    strm *in = g_payload_strm;
    while (size > 0) {
        if (in->next >= in->end) {
            strm_putc(out, strm_getc(in));
            size--;
            continue;
        }
        auto n = static_cast<uint32_t>(in->end - in->next);
        n = n < size ? n : size;
        strm_write(out, in->next, static_cast<int32_t>(n));
        in->next += n;
        size -= n;
    }
    strm_release(out);
}

// A bar's range is 16 bits wide in the classic message; longer ranges (more
// than 65535 entries or pieces) take the 32-bit one.
void patch_set_range(HWND dlg, int id, uint32_t upper)
{
    bool keeps_fill = patch_progress_range_keeps_fill(dlg, id, upper);
    if (upper <= 0xFFFF)
        SendDlgItemMessageA(dlg, id, PBM_SETRANGE, 0, MAKELPARAM(0, upper));
    else
        SendDlgItemMessageA(dlg, id, PBM_SETRANGE32, 0, static_cast<LPARAM>(upper));
    // The bar repaints itself whole for a new range; a file's bar starts
    // empty and ends full whatever its range, so most of those paints would
    // show nothing new.
    if (keeps_fill)
        ValidateRect(GetDlgItem(dlg, id), nullptr);
}

void patch_set_pos(HWND dlg, int id, uint32_t pos)
{
    if (patch_progress_bar_shows(dlg, id, pos))
        SendDlgItemMessageA(dlg, id, PBM_SETPOS, pos, 0);
}

void patch_set_percent(HWND dlg, int id, int32_t value)
{
    if (value > 100)
        value = 100;
    char text[16];  // room for any int, though the program passes 0 to 100
    wsprintfA(text, "%3d%%", static_cast<int>(value));
    if (patch_progress_label_shows(dlg, id, text, value <= 0 || value == 100))
        SetDlgItemTextA(dlg, id, text);
}
