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
    EXPECT_EQ(SendDlgItemMessageA(dlg, IDC_TOTAL_BAR, PBM_GETRANGE, FALSE, 0), 3);
    // Classic bars, as Windows draws them for a program without visual
    // styles: a themed one takes milliseconds a paint under Wine.
    EXPECT_EQ(GetWindowTheme(GetDlgItem(dlg, IDC_TOTAL_BAR)), nullptr);
    EXPECT_EQ(GetWindowTheme(GetDlgItem(dlg, IDC_FILE_BAR)), nullptr);

    // The overall label and bar show every change at once.
    const std::pair<int32_t, const char *> percents[] = {{0, "  0%"},   {33, " 33%"},  {100, "100%"},
                                                         {101, "100%"}, {250, "100%"}, {34, " 34%"}};
    for (auto [value, text] : percents) {
        patch_set_percent(dlg, IDC_TOTAL_LABEL, value);
        EXPECT_EQ(label(dlg, IDC_TOTAL_LABEL), text) << value;
    }

    // Ranges past 16 bits still reach the bar whole.
    patch_set_range(dlg, IDC_TOTAL_BAR, 70000);
    patch_set_pos(dlg, IDC_TOTAL_BAR, 69999);
    EXPECT_EQ(SendDlgItemMessageA(dlg, IDC_TOTAL_BAR, PBM_GETRANGE, FALSE, 0), 70000);
    EXPECT_EQ(SendDlgItemMessageA(dlg, IDC_TOTAL_BAR, PBM_GETPOS, 0, 0), 69999);
    DestroyWindow(dlg);
}

TEST(PatchProgress, FileUpdatesShowTheEndsAtOnceAndThinTheRest)
{
    HWND dlg = progress_window(1);
    ASSERT_NE(dlg, nullptr) << "a display is needed";
    auto pos = [&] { return SendDlgItemMessageA(dlg, IDC_FILE_BAR, PBM_GETPOS, 0, 0); };
    RECT r;
    GetClientRect(GetDlgItem(dlg, IDC_FILE_BAR), &r);
    const uint32_t upper = 100u * static_cast<uint32_t>(r.right);  // a hundred positions to a pixel

    patch_set_range(dlg, IDC_FILE_BAR, upper);
    patch_set_pos(dlg, IDC_FILE_BAR, 5000);
    EXPECT_EQ(pos(), 5000);  // nothing shown for a while: the change goes out
    Sleep(50);
    patch_set_pos(dlg, IDC_FILE_BAR, 5040);
    EXPECT_EQ(pos(), 5000);  // the same width of bar: not worth a paint

    // Right after another change, only a first or last state goes out.
    DWORD start = GetTickCount();
    patch_set_pos(dlg, IDC_FILE_BAR, upper);
    patch_set_percent(dlg, IDC_FILE_LABEL, 100);
    patch_set_pos(dlg, IDC_FILE_BAR, upper / 2);
    patch_set_percent(dlg, IDC_FILE_LABEL, 50);
    if (GetTickCount() - start < 30) {
        EXPECT_EQ(pos(), static_cast<LRESULT>(upper));
        EXPECT_EQ(label(dlg, IDC_FILE_LABEL), "100%");
    }
    patch_set_pos(dlg, IDC_FILE_BAR, 0);
    patch_set_percent(dlg, IDC_FILE_LABEL, 0);
    EXPECT_EQ(pos(), 0);
    EXPECT_EQ(label(dlg, IDC_FILE_LABEL), "  0%");

    // Once a frame's time has passed, the next change goes out.
    Sleep(50);
    patch_set_pos(dlg, IDC_FILE_BAR, upper / 2);
    patch_set_percent(dlg, IDC_FILE_LABEL, 50);
    EXPECT_EQ(pos(), static_cast<LRESULT>(upper / 2));
    EXPECT_EQ(label(dlg, IDC_FILE_LABEL), " 50%");
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

TEST(PatchProgress, ANewRangeRepaintsTheBarOnlyWhenItsFillChanges)
{
    HWND dlg = progress_window(1);
    ASSERT_NE(dlg, nullptr) << "a display is needed";
    HWND bar = GetDlgItem(dlg, IDC_FILE_BAR);
    patch_set_range(dlg, IDC_FILE_BAR, 10);
    patch_set_pos(dlg, IDC_FILE_BAR, 10);
    patch_repaint(dlg);

    patch_set_range(dlg, IDC_FILE_BAR, 1);  // full before and after
    EXPECT_FALSE(GetUpdateRect(bar, nullptr, FALSE));
    patch_set_range(dlg, IDC_FILE_BAR, 4);  // full to a quarter
    EXPECT_TRUE(GetUpdateRect(bar, nullptr, FALSE));
    patch_repaint(dlg);
    EXPECT_FALSE(GetUpdateRect(bar, nullptr, FALSE));
    DestroyWindow(dlg);
}
