#include "app/check_window.h"

#include <commctrl.h>

#include "app/progress.h"
#include "app/strings.h"

DWORD g_check_window_after_ms = 1000;

namespace {

constexpr DWORD CHECKING_FRAME_MS = 33;

// The check under way: when it started, its window once shown, and when
// that was last painted.
struct patch_check_window {
    DWORD started;
    HWND dlg;
    bool failed;  // the window could not be made: the check goes on without
    DWORD frame_at;
};
patch_check_window g_check_window;

INT_PTR CALLBACK patch_check_window_proc(HWND dlg, UINT msg, WPARAM, LPARAM)
{
    if (msg == WM_INITDIALOG) {
        SetWindowTextA(dlg, TXT_TITLE);
        SetDlgItemTextA(dlg, IDC_CHECK_TEXT, TXT_CHECKING);
        patch_classic_bar(GetDlgItem(dlg, IDC_CHECK_BAR));
    }
    return FALSE;
}

}  // namespace

void patch_check_window_begin()
{
    g_check_window = {GetTickCount(), nullptr, false, 0};
}

// The check runs no message loop, like the work: the bar is set and the
// window painted at frames, at most about 30 a second.
void patch_check_window_progress(void *, uint32_t done, uint32_t total)
{
    patch_check_window &c = g_check_window;
    // Before the window, the wait is for the check to run long; then, for
    // the next frame.
    DWORD now = GetTickCount();
    DWORD since = now - (c.dlg ? c.frame_at : c.started);
    if (c.failed || since < (c.dlg ? CHECKING_FRAME_MS : g_check_window_after_ms))
        return;
    if (!c.dlg) {
        c.dlg = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CHECKING), nullptr,
                                   patch_check_window_proc, 0);
        c.failed = !c.dlg;
        if (c.failed)
            return;
    }
    auto percent = static_cast<WPARAM>(total ? 100ull * done / total : 0);
    SendDlgItemMessageA(c.dlg, IDC_CHECK_BAR, PBM_SETPOS, percent, 0);
    RedrawWindow(c.dlg, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    patch_stay_responsive();
    c.frame_at = now;
}

void patch_check_window_end()
{
    if (g_check_window.dlg)
        DestroyWindow(g_check_window.dlg);
    g_check_window.dlg = nullptr;
}
