// The dialog templates and version block as compiled into the program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/patch.h"

namespace {

struct Item {
    uint32_t style;
    int16_t x, y, cx, cy;
    uint16_t id;
    std::wstring cls;
    std::wstring text;
};

struct Dialog {
    uint32_t style, exstyle;
    int16_t x, y, cx, cy;
    std::wstring caption, font;
    uint16_t points;
    std::vector<Item> items;
};

// A name or ordinal field of a template: 0xFFFF and a class atom, or a string.
std::wstring sz_or_ord(const WORD *&p)
{
    if (*p == 0xFFFF) {
        static const wchar_t *atoms[] = {L"BUTTON", L"EDIT", L"STATIC", L"LISTBOX", L"SCROLLBAR", L"COMBOBOX"};
        WORD atom = p[1];
        p += 2;
        return atom >= 0x80 && atom <= 0x85 ? atoms[atom - 0x80] : L"#" + std::to_wstring(atom);
    }
    std::wstring s(reinterpret_cast<const wchar_t *>(p));
    p += s.size() + 1;
    return s;
}

// Reads a plain (not extended) dialog template of the Japanese resources.
Dialog load_dialog(int id)
{
    Dialog d{};
    HRSRC r = FindResourceExA(nullptr, reinterpret_cast<LPCSTR>(RT_DIALOG), MAKEINTRESOURCEA(id),
                              MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    EXPECT_NE(r, nullptr) << "no Japanese dialog " << id;
    if (!r)
        return d;
    auto *t = static_cast<const DLGTEMPLATE *>(LockResource(LoadResource(nullptr, r)));
    d.style = t->style;
    d.exstyle = t->dwExtendedStyle;
    d.x = t->x, d.y = t->y, d.cx = t->cx, d.cy = t->cy;
    auto *p = reinterpret_cast<const WORD *>(t + 1);
    EXPECT_EQ(sz_or_ord(p), L"") << "no menu";
    EXPECT_EQ(sz_or_ord(p), L"") << "the default class";
    d.caption = sz_or_ord(p);
    d.points = *p++;
    d.font = sz_or_ord(p);
    for (int i = 0; i < t->cdit; i++) {
        p = reinterpret_cast<const WORD *>((reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t(3));
        auto *it = reinterpret_cast<const DLGITEMTEMPLATE *>(p);
        Item item{it->style, it->x, it->y, it->cx, it->cy, it->id, L"", L""};
        p = reinterpret_cast<const WORD *>(it + 1);
        item.cls = sz_or_ord(p);
        item.text = sz_or_ord(p);
        p += 1 + *p / sizeof(WORD);  // creation data
        d.items.push_back(item);
    }
    return d;
}

void expect_item(const Item &got, uint16_t id, const wchar_t *cls, const wchar_t *text, uint32_t style, int x, int y,
                 int cx, int cy)
{
    SCOPED_TRACE("control " + std::to_string(id));
    EXPECT_EQ(got.id, id);
    EXPECT_EQ(_wcsicmp(got.cls.c_str(), cls), 0);  // class names know no case; the compiler writes upper case
    EXPECT_EQ(got.text, text);
    EXPECT_EQ(got.style, style);
    EXPECT_EQ(got.x, x);
    EXPECT_EQ(got.y, y);
    EXPECT_EQ(got.cx, cx);
    EXPECT_EQ(got.cy, cy);
}

}  // namespace

TEST(PatchResources, ReadmeDialogTemplate)
{
    Dialog d = load_dialog(IDD_README);
    EXPECT_EQ(d.style, 0x80C808C0u);
    EXPECT_EQ(d.exstyle, 0u);
    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.cx, 314);
    EXPECT_EQ(d.cy, 259);
    EXPECT_EQ(d.caption, L"Orvane \u30D1\u30C3\u30C1");
    EXPECT_EQ(d.points, 9);
    EXPECT_EQ(d.font, L"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF");
    ASSERT_EQ(d.items.size(), 3u);
    expect_item(d.items[0], 1, L"BUTTON", L"\u958B\u59CB", 0x50010001, 34, 215, 245, 39);
    expect_item(d.items[1], 2, L"BUTTON", L"\u4E2D\u6B62", 0x50010000, 285, 235, 25, 19);
    expect_item(d.items[2], IDC_README_TEXT, L"EDIT", L"", 0x50A10884, 5, 5, 305, 205);
}

TEST(PatchResources, ProgressDialogTemplate)
{
    Dialog d = load_dialog(IDD_PROGRESS);
    EXPECT_EQ(d.style, 0x90C008C0u);
    EXPECT_EQ(d.exstyle, 0u);
    EXPECT_EQ(d.cx, 187);
    EXPECT_EQ(d.cy, 75);
    EXPECT_EQ(d.caption, L"Orvane \u30D1\u30C3\u30C1");
    ASSERT_EQ(d.items.size(), 6u);
    expect_item(d.items[0], IDC_TOTAL_BAR, L"msctls_progress32", L"Progress1", 0x50800000, 10, 16, 145, 15);
    expect_item(d.items[1], 65535, L"BUTTON", L"\u5168\u4F53\u306E\u9032\u884C\u72B6\u6CC1", 0x50000007, 5, 5, 175, 30);
    expect_item(d.items[2], IDC_TOTAL_LABEL, L"STATIC", L"100%", 0x50020002, 160, 20, 15, 8);
    expect_item(d.items[3], 65535, L"BUTTON", L"\u30D5\u30A1\u30A4\u30EB\u306E\u30B3\u30D4\u30FC\u72B6\u6CC1",
                0x50000007, 5, 40, 175, 30);
    expect_item(d.items[4], IDC_FILE_BAR, L"msctls_progress32", L"Progress2", 0x50800000, 10, 50, 145, 15);
    expect_item(d.items[5], IDC_FILE_LABEL, L"STATIC", L"100%", 0x50020002, 160, 53, 15, 8);
}

TEST(PatchResources, VersionIsJapanese1001)
{
    HRSRC r = FindResourceExA(nullptr, reinterpret_cast<LPCSTR>(RT_VERSION), MAKEINTRESOURCEA(1),
                              MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    ASSERT_NE(r, nullptr);
    void *block = LockResource(LoadResource(nullptr, r));
    VS_FIXEDFILEINFO *info;
    UINT len;
    ASSERT_TRUE(VerQueryValueA(block, "\\", reinterpret_cast<void **>(&info), &len));
    EXPECT_EQ(info->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(info->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwProductVersionLS, 0x00000001u);
}
