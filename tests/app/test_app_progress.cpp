// The progress window's bars and labels: a real window, so a display.
#include <gtest/gtest.h>

#include <string>

#include "app/progress.h"

#include <commctrl.h>
#include <uxtheme.h>

namespace {

std::string label(HWND dlg, int id)
{
    char text[32];
    GetDlgItemTextA(dlg, id, text, sizeof text);
    return text;
}

// The progress window as the apply step makes it, for a patch of count entries.
HWND progress_window(uint32_t count)
{
    InitCommonControls();
    return CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, patch_progress_proc,
                              static_cast<LPARAM>(count));
}

LRESULT bar(HWND dlg, int id, UINT msg)
{
    return SendDlgItemMessageA(dlg, id, msg, FALSE, 0);
}

}  // namespace

TEST(PatchProgress, BarsAndLabels)
{
    HWND dlg = progress_window(3);
    ASSERT_NE(dlg, nullptr) << "a display is needed";
    char title[64];
    GetWindowTextA(dlg, title, sizeof title);
    EXPECT_STREQ(title, "Orvane \x83\x70\x83\x62\x83\x60");
    EXPECT_EQ(label(dlg, IDC_TOTAL_LABEL), "  0%");
    EXPECT_EQ(label(dlg, IDC_FILE_LABEL), "  0%");
    EXPECT_EQ(bar(dlg, IDC_TOTAL_BAR, PBM_GETRANGE), 3);
    // Classic bars, as Windows draws them for a program without visual
    // styles: a themed one takes milliseconds a paint under Wine.
    EXPECT_EQ(GetWindowTheme(GetDlgItem(dlg, IDC_TOTAL_BAR)), nullptr);
    EXPECT_EQ(GetWindowTheme(GetDlgItem(dlg, IDC_FILE_BAR)), nullptr);

    const std::pair<int32_t, const char *> percents[] = {{33, " 33%"}, {100, "100%"}, {250, "100%"}, {34, " 34%"}};
    for (auto [value, text] : percents) {
        patch_set_percent(dlg, IDC_TOTAL_LABEL, value);
        patch_repaint(dlg);
        EXPECT_EQ(label(dlg, IDC_TOTAL_LABEL), text) << value;
    }

    // Ranges past 16 bits still reach the bar whole.
    patch_set_range(dlg, IDC_TOTAL_BAR, 70000);
    patch_set_pos(dlg, IDC_TOTAL_BAR, 69999);
    patch_repaint(dlg);
    EXPECT_EQ(bar(dlg, IDC_TOTAL_BAR, PBM_GETRANGE), 70000);
    EXPECT_EQ(bar(dlg, IDC_TOTAL_BAR, PBM_GETPOS), 69999);
    DestroyWindow(dlg);
}

// Changes right after a frame wait for the next one; the last frame shows
// every last state, however soon after a frame it came.
TEST(PatchProgress, ChangesGoOutAtFramesAndTheLastStateAlways)
{
    HWND dlg = progress_window(2);
    ASSERT_NE(dlg, nullptr) << "a display is needed";
    Sleep(50);
    patch_set_pos(dlg, IDC_TOTAL_BAR, 1);  // a frame's time after the last: out at once
    EXPECT_EQ(bar(dlg, IDC_TOTAL_BAR, PBM_GETPOS), 1);

    DWORD start = GetTickCount();
    patch_set_range(dlg, IDC_FILE_BAR, 70000);
    patch_set_pos(dlg, IDC_FILE_BAR, 70000);
    patch_set_percent(dlg, IDC_FILE_LABEL, 100);
    patch_set_pos(dlg, IDC_TOTAL_BAR, 2);
    patch_set_percent(dlg, IDC_TOTAL_LABEL, 100);
    if (GetTickCount() - start < 30) {
        EXPECT_EQ(bar(dlg, IDC_TOTAL_BAR, PBM_GETPOS), 1);
        EXPECT_EQ(label(dlg, IDC_FILE_LABEL), "  0%");
    }
    patch_repaint(dlg);
    EXPECT_EQ(bar(dlg, IDC_FILE_BAR, PBM_GETRANGE), 70000);
    EXPECT_EQ(bar(dlg, IDC_FILE_BAR, PBM_GETPOS), 70000);
    EXPECT_EQ(label(dlg, IDC_FILE_LABEL), "100%");
    EXPECT_EQ(bar(dlg, IDC_TOTAL_BAR, PBM_GETPOS), 2);
    EXPECT_EQ(label(dlg, IDC_TOTAL_LABEL), "100%");
    EXPECT_FALSE(GetUpdateRect(GetDlgItem(dlg, IDC_FILE_LABEL), nullptr, FALSE));  // painted, not only set

    // A smaller range takes the position with it, as the bar does.
    patch_set_range(dlg, IDC_FILE_BAR, 1);
    patch_repaint(dlg);
    EXPECT_EQ(bar(dlg, IDC_FILE_BAR, PBM_GETPOS), 1);
    DestroyWindow(dlg);
}

DWORD WINAPI send_from_another_thread(void *dlg)
{
    DWORD_PTR result;
    return SendMessageTimeoutA(static_cast<HWND>(dlg), WM_NULL, 0, 0, SMTO_NORMAL, 1500, &result) != 0;
}

// The work runs no message loop, so its frames answer what other programs
// send meanwhile (a broadcast waits for every window): a window that does not
// is taken for hung.
TEST(PatchProgress, FramesAnswerMessagesSentMeanwhile)
{
    HWND dlg = progress_window(2);
    ASSERT_NE(dlg, nullptr) << "a display is needed";
    HANDLE sender = CreateThread(nullptr, 0, send_from_another_thread, dlg, 0, nullptr);
    DWORD start = GetTickCount();
    for (uint32_t i = 0; WaitForSingleObject(sender, 0) == WAIT_TIMEOUT && GetTickCount() - start < 1000; i++) {
        patch_set_pos(dlg, IDC_FILE_BAR, i % 100);
        Sleep(5);
    }
    WaitForSingleObject(sender, INFINITE);
    DWORD answered = 0;
    GetExitCodeThread(sender, &answered);
    CloseHandle(sender);
    EXPECT_TRUE(answered);
    DestroyWindow(dlg);
}

TEST(PatchProgress, NoWindowRepaintsNothing)
{
    HWND other = CreateWindowA("STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 40, 40, nullptr, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr) << "a display is needed";
    UpdateWindow(other);
    InvalidateRect(other, nullptr, FALSE);
    // Without a progress window there is nothing to paint; the desktop's
    // other windows keep their pending paints.
    patch_repaint(nullptr);
    RECT r;
    EXPECT_TRUE(GetUpdateRect(other, &r, FALSE));
    DestroyWindow(other);
}
