// The progress window: what it shows, and when that reaches the screen.
//
// The step runs no message loop, and a file of a few KB is written in far
// less time than one change of a bar or label costs under Wine, let alone its
// paint. So what the window should show is kept here, and the controls are
// brought to it at frames only: at most about 30 a second, each showing the
// state as it is at that moment, and one more when the work is done
// (patch_repaint), so that the window ends showing every last change.
#include "app/progress.h"

#include <commctrl.h>

#include <cstring>

#include "app/strings.h"

namespace {

constexpr DWORD PROGRESS_FRAME_MS = 33;

struct patch_bar {
    int id;
    uint32_t upper, pos;              // as the work last set them
    uint32_t shown_upper, shown_pos;  // as the control has them
};

struct patch_label {
    int id;
    char text[16];   // room for any int, though the program shows 0 to 100
    char shown[16];  // as the control has it
};

// The window the work reports to, what it is to show, and when its last
// frame went out.
struct patch_progress {
    HWND dlg;
    patch_bar bars[2];
    patch_label labels[2];
    DWORD frame_at;
};
patch_progress g_progress;

// The bar or label of the window the work reports to with the given id;
// null for any other window, a null one included.
template <typename T, size_t N>
T *patch_progress_item(HWND dlg, T (&items)[N], int id)
{
    if (!dlg || dlg != g_progress.dlg)
        return nullptr;
    for (T &item : items) {
        if (item.id == id)
            return &item;
    }
    return nullptr;
}

// Brings every control to what it is to show and paints the window, now.
void patch_progress_frame()
{
    patch_progress &p = g_progress;
    for (patch_bar &b : p.bars) {
        HWND bar = GetDlgItem(p.dlg, b.id);
        if (b.upper != b.shown_upper) {
            // A bar's range is 16 bits wide in the classic message; longer
            // ranges (more than 65535 entries or pieces) take the 32-bit one.
            if (b.upper <= 0xFFFF)
                SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, b.upper));
            else
                SendMessageA(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(b.upper));
            b.shown_upper = b.upper;
            b.shown_pos = static_cast<uint32_t>(SendMessageA(bar, PBM_GETPOS, 0, 0));  // as the new range left it
        }
        if (b.pos != b.shown_pos) {
            SendMessageA(bar, PBM_SETPOS, b.pos, 0);
            b.shown_pos = b.pos;
        }
    }
    for (patch_label &l : p.labels) {
        if (strcmp(l.text, l.shown) != 0) {
            SetDlgItemTextA(p.dlg, l.id, l.text);
            strcpy(l.shown, l.text);
        }
    }
    RedrawWindow(p.dlg, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    patch_stay_responsive();
    p.frame_at = GetTickCount();
}

// A change goes out with the next frame; one is due when the last is a
// frame's time old.
void patch_progress_changed()
{
    if (GetTickCount() - g_progress.frame_at >= PROGRESS_FRAME_MS)
        patch_progress_frame();
}

}  // namespace

void patch_stay_responsive()
{
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

// The program asks for no visual styles, so Windows draws its bars in the
// classic style. Some systems (Wine among them) theme every control all the
// same, and there one paint of a themed bar costs milliseconds. So the bars
// are asked for the classic style, through the theme library where the
// process already has it; where it has not, nothing themes them. It is never
// loaded from here: a library found by its bare name could be one planted
// beside the program.
void patch_classic_bar(HWND bar)
{
    HMODULE ux = GetModuleHandleA("uxtheme.dll");
    if (!ux)
        return;
    using set_theme_fn = HRESULT(WINAPI *)(HWND, LPCWSTR, LPCWSTR);
    auto set_theme = reinterpret_cast<set_theme_fn>(reinterpret_cast<void *>(GetProcAddress(ux, "SetWindowTheme")));
    if (!set_theme)
        return;
    // A class list that names no theme class: the control draws unthemed,
    // with the edge of an unthemed bar, which takes effect as a frame change.
    set_theme(bar, L" ", L" ");
    SetWindowPos(bar, nullptr, 0, 0, 0, 0, SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The entry count comes with the window's creation. The controls start as
// the dialog template made them: bars of range 100 at 0, empty labels.
INT_PTR CALLBACK patch_progress_proc(HWND dlg, UINT msg, WPARAM, LPARAM lp)
{
    if (msg != WM_INITDIALOG)
        return FALSE;
    SetWindowTextA(dlg, TXT_TITLE);
    patch_classic_bar(GetDlgItem(dlg, IDC_TOTAL_BAR));
    patch_classic_bar(GetDlgItem(dlg, IDC_FILE_BAR));
    g_progress = {dlg,
                  {{IDC_TOTAL_BAR, static_cast<uint32_t>(lp), 0, 100, 0}, {IDC_FILE_BAR, 1, 0, 100, 0}},
                  {{IDC_TOTAL_LABEL, "  0%", ""}, {IDC_FILE_LABEL, "  0%", ""}},
                  0};
    patch_progress_frame();
    return FALSE;
}

void patch_repaint(HWND dlg)
{
    if (dlg && dlg == g_progress.dlg)
        patch_progress_frame();
}

void patch_set_range(HWND dlg, int id, uint32_t upper)
{
    if (patch_bar *b = patch_progress_item(dlg, g_progress.bars, id)) {
        b->upper = upper;
        b->pos = b->pos < upper ? b->pos : upper;  // as the bar itself takes it
        patch_progress_changed();
    }
}

void patch_set_pos(HWND dlg, int id, uint32_t pos)
{
    if (patch_bar *b = patch_progress_item(dlg, g_progress.bars, id)) {
        b->pos = pos < b->upper ? pos : b->upper;
        patch_progress_changed();
    }
}

void patch_set_percent(HWND dlg, int id, int32_t value)
{
    if (patch_label *l = patch_progress_item(dlg, g_progress.labels, id)) {
        wsprintfA(l->text, "%3d%%", static_cast<int>(value > 100 ? 100 : value));
        patch_progress_changed();
    }
}
