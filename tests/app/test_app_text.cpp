// The question's escapes and the README's path (code page 932 under Wine).
#include <gtest/gtest.h>

#include <cstring>

#include "app/path.h"
#include "app/steps.h"
#include "tests/test_util.h"

namespace {

// The unescaped text of stored bytes, in a buffer of exactly count + 1 bytes
// followed by a guard byte that must stay untouched.
std::string unescape(const std::string &stored)
{
    std::string buf(stored.size() + 1, '\0');
    buf.push_back('\x7F');
    strm *in = mstrm_new_reader(reinterpret_cast<const uint8_t *>(stored.data()), static_cast<uint32_t>(stored.size()));
    patch_unescape(in, buf.data(), static_cast<uint32_t>(stored.size()));
    strm_release(in);
    EXPECT_EQ(buf.back(), '\x7F') << "wrote past the buffer";
    return buf.c_str();
}

std::string readme_for(const char *exe)
{
    strcpy(g_exe_path, exe);
    char out[MAX_PATH];
    patch_readme_path(out);
    return out;
}

}  // namespace

TEST(PatchUnescape, EscapesGiveLineBreaksOrTheByteAlone)
{
    EXPECT_EQ(unescape("line 1\\nline 2"), "line 1\r\nline 2");
    EXPECT_EQ(unescape("a\\xb"), "axb");
    EXPECT_EQ(unescape("a\\\\nb"), "a\r\nb");
    EXPECT_EQ(unescape("\\\\"), "");
    EXPECT_EQ(unescape("end\\"), "end");
    EXPECT_EQ(unescape("no escapes"), "no escapes");
    EXPECT_EQ(unescape(""), "");
    EXPECT_EQ(unescape("\\n\\n\\n"), "\r\n\r\n\r\n");
}

TEST(PatchUnescape, SecondByte5CIsEatenByTheScan)
{
    // "ソ" is 83 5C in code page 932: its second byte reads as a backslash.
    EXPECT_EQ(unescape("\x83\x5C"
                       "A"),
              "\x83"
              "A");
    EXPECT_EQ(unescape("\x83\x5C"
                       "n"),
              "\x83\r\n");
    // "あ" (82 A0) has no such byte and survives whole.
    EXPECT_EQ(unescape("\x82\xA0\\n"), "\x82\xA0\r\n");
}

TEST(PatchReadmePath, BesideTheProgram)
{
    EXPECT_EQ(readme_for("C:\\Games\\patch.exe"), "C:\\Games\\README.TXT");
    EXPECT_EQ(readme_for("C:/Games/sub/patch.exe"), "C:/Games/sub/README.TXT");
    EXPECT_EQ(readme_for("C:patch.exe"), "C:README.TXT");
    EXPECT_EQ(readme_for("patch.exe"), "README.TXT");
}

TEST(PatchReadmePath, DoubleByteCharactersEndingIn5CAreNotSeparators)
{
    ASSERT_EQ(GetACP(), 932u) << "the tests run under a Japanese locale";
    // "表示" (95 5C 8E A6) as a folder, "ソフト" (83 5C 83 74 83 67) as a file name.
    EXPECT_EQ(readme_for("C:\\\x95\x5C\x8E\xA6\\patch.exe"), "C:\\\x95\x5C\x8E\xA6\\README.TXT");
    EXPECT_EQ(readme_for("C:\\dir\\\x83\x5C\x83\x74\x83\x67.exe"), "C:\\dir\\README.TXT");
    EXPECT_EQ(readme_for("C:\\\x83\x5C"), "C:\\README.TXT");
}

TEST(PatchReadmePath, TooLongIsReportedNotCut)
{
    FatalReturns fatal;
    std::string exe = "C:\\" + std::string(250, 'd') + "\\p.exe";  // 259 bytes
    readme_for(exe.c_str());
    EXPECT_NE(fatal.text().find("README.TXT: path too long"), std::string::npos) << fatal.text();
}

TEST(PatchPathCall, FailedCallIsNamedNotTakenForALongPath)
{
    FatalReturns fatal;
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(patch_path_call(0, "GetWindowsDirectory", "%WINDIR%"));
    EXPECT_EQ(fatal.text(), "GetWindowsDirectory 5");
    EXPECT_FALSE(patch_path_call(MAX_PATH, "GetWindowsDirectory", "%WINDIR%"));
    EXPECT_EQ(fatal.text(), "%WINDIR%: path too long");
}

TEST(PatchReadmeStep, TooLargeIsReportedNotRead)
{
    // A sparse file of 2 GiB: too large for one read, and nothing is read.
    TempDir dir;
    HANDLE h = CreateFileA(dir.file("README.TXT").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 0x80000000LL;
    ASSERT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    strcpy(g_exe_path, dir.file("patch.exe").c_str());
    FatalReturns fatal;
    EXPECT_EQ(patch_step_readme(nullptr), STEP_FINISH);
    EXPECT_EQ(fatal.text(), dir.file("README.TXT") + ": too large to read, 2147483648");
    EXPECT_EQ(g_readme_text, nullptr);
}
