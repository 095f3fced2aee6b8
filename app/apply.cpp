#include "app/apply.h"

#include "app/checks.h"
#include "app/dest.h"
#include "app/entry.h"
#include "app/progress.h"
#include "app/strings.h"
#include "app/swap.h"
#include "app/temp.h"

bool patch_apply_all(HWND dlg, payload_cursor *c)
{
    patch_swap_begin(c->count);
    for (uint32_t i = 0; i < c->count; i++) {
        if (!patch_next_entry(c)) {
            patch_swap_rollback();
            return false;
        }
        patch_set_pos(dlg, IDC_FILE_BAR, 0);
        patch_set_percent(dlg, IDC_FILE_LABEL, 0);
        if (!patch_copy_blob(dlg, c->file, c->blob_len)) {
            patch_swap_rollback();
            return false;
        }
        patch_apply_entry(dlg, i + 1);
        // A failure of the entry's (a report that returned) rolled it all
        // back, the temporary file included.
        if (!patch_swap_under_way())
            return false;
        // The file is shown complete whatever its action did with the bar.
        patch_set_range(dlg, IDC_FILE_BAR, 1);
        patch_set_pos(dlg, IDC_FILE_BAR, 1);
        patch_set_percent(dlg, IDC_FILE_LABEL, 100);
        patch_set_pos(dlg, IDC_TOTAL_BAR, i + 1);
        patch_set_percent(dlg, IDC_TOTAL_LABEL, static_cast<int32_t>(100ull * (i + 1) / c->count));
    }
    // The last entry's states, which came too soon after a frame, are shown
    // before the swap, which reports nothing.
    patch_repaint(dlg);
    return patch_swap_commit();
}

int patch_step_apply(HINSTANCE inst)
{
    payload_cursor c;
    strm *payload = patch_open_payload(&c);
    bool done = false;
    // Whatever would stop the work half-way is found while nothing is
    // changed: the temporary file, then every entry's target.
    if (payload && patch_make_temp(c.count) && patch_preflight()) {
        // The window initialises inside this call, with the entry count known.
        HWND dlg = CreateDialogParamA(inst, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, patch_progress_proc,
                                      static_cast<LPARAM>(c.count));
        patch_repaint(dlg);
        done = patch_apply_all(dlg, &c);
        DestroyWindow(dlg);
    }
    if (payload)
        strm_release(payload);
    patch_drop_temp();
    patch_forget_dests();
    // Success only for a work applied whole.
    if (done)
        MessageBoxA(nullptr, TXT_SUCCESS, TXT_TITLE, MB_OK);
    else
        g_exit_code = 1;
    return STEP_FINISH;
}
