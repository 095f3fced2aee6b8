// The progress window: how its bars are drawn, and which updates reach the screen.
//
// The step runs no message loop, so each change of a bar or label is painted
// at once, which under Wine costs far more than the piece of work it reports.
// So the bars are drawn unthemed (see patch_progress_classic), and an update
// that would show nothing new is dropped: a label given its own text, a bar
// whose filled width stays the same, a new range that leaves the fill as it
// is. The file's bar and label move with every piece; their changes between
// a file's first and last state go out at most about 30 times a second. Each
// file's first and last state, and the overall bar and label (once an
// entry), always go out. Asking a control what it shows costs more than a
// piece's own work too: an update known to lie between a file's ends, too
// soon after the last one shown, is dropped before anything is asked.
#include "app/progress.h"

#include <commctrl.h>

#include <cstring>

#include "app/strings.h"

namespace {

constexpr DWORD PROGRESS_INTERVAL_MS = 33;

// The file's bar and label: when each last changed on screen, and the bar's
// range as last set, in the dialog dlg.
struct patch_file_progress {
    HWND dlg;
    uint32_t upper;
    DWORD bar_shown_at;
    DWORD label_shown_at;
};
patch_file_progress g_file_progress;

bool patch_progress_too_soon(DWORD shown_at)
{
    return GetTickCount() - shown_at < PROGRESS_INTERVAL_MS;
}

// The filled width, in pixels, of a bar of the given range at pos.
int patch_progress_fill(HWND bar, uint32_t pos, uint32_t upper)
{
    RECT r;
    GetClientRect(bar, &r);
    return upper ? MulDiv(static_cast<int>(pos < upper ? pos : upper), r.right, static_cast<int>(upper)) : 0;
}

}  // namespace

// The program asks for no visual styles, so Windows draws its bars in the
// classic style. Some systems (Wine among them) theme every control all the
// same, and there one paint of a themed bar costs milliseconds, more than the
// work of a whole file between two paints. So the bars are asked for the
// classic style, through the theme library where the process already has it;
// where it has not, nothing themes them. It is never loaded from here: a
// library found by its bare name could be one planted beside the program.
static void patch_progress_classic(HWND dlg)
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
    const int bars[] = {IDC_TOTAL_BAR, IDC_FILE_BAR};
    for (int id : bars) {
        HWND bar = GetDlgItem(dlg, id);
        set_theme(bar, L" ", L" ");
        SetWindowPos(bar, nullptr, 0, 0, 0, 0,
                     SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

namespace {

// Whether a new range leaves the bar's fill as it is on screen.
bool patch_progress_keeps_fill(HWND dlg, int id, uint32_t upper)
{
    HWND bar = GetDlgItem(dlg, id);
    // A part already waiting to be painted must still be.
    if (GetUpdateRect(bar, nullptr, FALSE))
        return false;
    auto old_upper = static_cast<uint32_t>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    auto pos = static_cast<uint32_t>(SendMessageA(bar, PBM_GETPOS, 0, 0));
    return patch_progress_fill(bar, pos, old_upper) == patch_progress_fill(bar, pos, upper);
}

// Whether a bar's new position goes to the screen now.
bool patch_progress_bar_shows(HWND dlg, int id, uint32_t pos)
{
    patch_file_progress &f = g_file_progress;
    bool file = id == IDC_FILE_BAR;
    if (file && dlg == f.dlg && pos != 0 && pos < f.upper && patch_progress_too_soon(f.bar_shown_at))
        return false;
    HWND bar = GetDlgItem(dlg, id);
    auto upper = static_cast<uint32_t>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    auto shown = static_cast<uint32_t>(SendMessageA(bar, PBM_GETPOS, 0, 0));
    if (pos > upper)
        pos = upper;  // as the bar itself takes it
    if (pos == shown)
        return false;
    if (pos != 0 && pos != upper) {
        if (patch_progress_fill(bar, pos, upper) == patch_progress_fill(bar, shown, upper))
            return false;
        if (file && patch_progress_too_soon(f.bar_shown_at))
            return false;
    }
    return true;
}

// Whether a label's new text goes to the screen now.
bool patch_progress_label_shows(HWND dlg, int id, const char *text, bool first_or_last)
{
    if (id == IDC_FILE_LABEL && !first_or_last && patch_progress_too_soon(g_file_progress.label_shown_at))
        return false;
    char shown[16];
    GetDlgItemTextA(dlg, id, shown, sizeof shown);
    return strcmp(shown, text) != 0;
}

void patch_progress_init(HWND dlg, uint32_t entries)
{
    SetWindowTextA(dlg, TXT_TITLE);
    patch_progress_classic(dlg);
    patch_set_range(dlg, IDC_TOTAL_BAR, entries);
    patch_set_pos(dlg, IDC_TOTAL_BAR, 0);
    patch_set_percent(dlg, IDC_TOTAL_LABEL, 0);
    patch_set_pos(dlg, IDC_FILE_BAR, 0);
    patch_set_percent(dlg, IDC_FILE_LABEL, 0);
}

}  // namespace

// The entry count comes with the window's creation.
INT_PTR CALLBACK patch_progress_proc(HWND dlg, UINT msg, WPARAM, LPARAM lp)
{
    if (msg == WM_INITDIALOG)
        patch_progress_init(dlg, static_cast<uint32_t>(lp));
    return FALSE;
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

// A bar's range is 16 bits wide in the classic message; longer ranges (more
// than 65535 entries or pieces) take the 32-bit one.
void patch_set_range(HWND dlg, int id, uint32_t upper)
{
    if (id == IDC_FILE_BAR) {
        g_file_progress.dlg = dlg;
        g_file_progress.upper = upper;
    }
    bool keeps_fill = patch_progress_keeps_fill(dlg, id, upper);
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
    if (!patch_progress_bar_shows(dlg, id, pos))
        return;
    if (id == IDC_FILE_BAR)
        g_file_progress.bar_shown_at = GetTickCount();
    SendDlgItemMessageA(dlg, id, PBM_SETPOS, pos, 0);
}

void patch_set_percent(HWND dlg, int id, int32_t value)
{
    if (value > 100)
        value = 100;
    char text[16];  // room for any int, though the program passes 0 to 100
    wsprintfA(text, "%3d%%", static_cast<int>(value));
    if (!patch_progress_label_shows(dlg, id, text, value <= 0 || value == 100))
        return;
    if (id == IDC_FILE_LABEL)
        g_file_progress.label_shown_at = GetTickCount();
    SetDlgItemTextA(dlg, id, text);
}
