// Which progress updates reach the screen.
//
// The step runs no message loop, so the system paints each change of a bar
// or label at once, and under some systems that costs more than the piece of
// work it reports. An update that would show nothing new is dropped: a label
// given its own text, a bar whose filled width stays the same. The file's
// bar and label move with every piece; their changes between the first and
// the last state of a file go out at most about 30 times a second, the last
// one then standing until the next. Each file's first and last state, and
// the overall bar and label (once an entry), always go out.
#include <cstring>

#include "app/patch.h"

#include <commctrl.h>

namespace {

constexpr DWORD PROGRESS_INTERVAL_MS = 33;

// When the file's bar [0] and label [1] last changed on screen.
DWORD g_progress_shown_at[2];

// Whether a change of what control id shows goes out now.
bool patch_progress_due(int id, bool first_or_last)
{
    if (id != IDC_FILE_BAR && id != IDC_FILE_LABEL)
        return true;
    DWORD &shown_at = g_progress_shown_at[id == IDC_FILE_LABEL];
    DWORD now = GetTickCount();
    if (!first_or_last && now - shown_at < PROGRESS_INTERVAL_MS)
        return false;
    shown_at = now;
    return true;
}

}  // namespace

bool patch_progress_bar_shows(HWND dlg, int id, uint32_t pos)
{
    HWND bar = GetDlgItem(dlg, id);
    auto upper = static_cast<uint32_t>(SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    auto shown = static_cast<uint32_t>(SendMessageA(bar, PBM_GETPOS, 0, 0));
    if (pos > upper)
        pos = upper;  // as the bar itself takes it
    if (pos == shown)
        return false;
    bool first_or_last = pos == 0 || pos == upper;
    if (!first_or_last) {
        RECT r;
        GetClientRect(bar, &r);
        auto span = static_cast<int>(upper);
        if (MulDiv(static_cast<int>(pos), r.right, span) == MulDiv(static_cast<int>(shown), r.right, span))
            return false;
    }
    return patch_progress_due(id, first_or_last);
}

bool patch_progress_label_shows(HWND dlg, int id, const char *text, bool first_or_last)
{
    char shown[16];
    GetDlgItemTextA(dlg, id, shown, sizeof shown);
    return strcmp(shown, text) != 0 && patch_progress_due(id, first_or_last);
}
