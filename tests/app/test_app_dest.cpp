// Destination specs expanded against Wine's real registry.
#include <gtest/gtest.h>

#include <string>

#include "app/dest.h"
#include "app/reg.h"
#include "tests/test_util.h"

namespace {

// A key of its own under HKCU and HKLM for each test and process, removed
// afterwards.
class DestTest : public testing::Test {
  protected:
    void SetUp() override
    {
        key_ = "Software\\OrvanePatchTest\\" + std::to_string(GetCurrentProcessId()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name();
        char dir[MAX_PATH];
        GetWindowsDirectoryA(dir, MAX_PATH);
        windir_ = dir;
    }
    void TearDown() override
    {
        reg_close_at_exit();
        // Only this test's own key: the other build's tests run alongside.
        RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_.c_str());
    }
    void set(HKEY root, DWORD type, const std::string &value, const std::string &name = "Path")
    {
        HKEY k;
        ASSERT_EQ(RegCreateKeyExA(root, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
        ASSERT_EQ(RegSetValueExA(k, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)),
                  0);
        RegCloseKey(k);
    }
    std::string expand(const std::string &spec)
    {
        char out[MAX_PATH];
        memset(out, 'X', sizeof out);
        EXPECT_TRUE(patch_expand_dest(spec.c_str(), out)) << spec;
        return out;
    }
    std::string hkcu(const std::string &rest = "") { return "%HKCR\\" + key_ + "%Path%" + rest; }

    std::string key_;
    std::string windir_;
};

}  // namespace

TEST_F(DestTest, PlainPathsAndTheWindowsDirectory)
{
    EXPECT_EQ(expand(""), "");
    EXPECT_EQ(expand("D:\\GAME"), "D:\\GAME\\");
    EXPECT_EQ(expand("D:\\GAME\\"), "D:\\GAME\\");
    EXPECT_EQ(expand("C:\\%WINDIR%"), "C:\\%WINDIR%\\");
    EXPECT_EQ(expand("%WINDIR%"), windir_ + "\\");
    EXPECT_EQ(expand("%windir%\\SYSTEM"), windir_ + "\\SYSTEM\\");
    EXPECT_EQ(expand("%WINDIR%SYSTEM"), windir_ + "SYSTEM\\");
}

TEST_F(DestTest, RegistryValueUnderTheCurrentUser)
{
    set(HKEY_CURRENT_USER, REG_SZ, "D:\\APP");
    EXPECT_EQ(expand(hkcu()), "D:\\APP\\");
    EXPECT_EQ(expand("%hkcr\\" + key_ + "%Path%"), "D:\\APP\\");
    set(HKEY_CURRENT_USER, REG_SZ, "D:\\APP\\MAIN.DAT");
    EXPECT_EQ(expand(hkcu()), "D:\\APP\\");
    EXPECT_EQ(expand(hkcu("SAVE")), "D:\\APP\\SAVE\\");
    set(HKEY_CURRENT_USER, REG_SZ, "D:\\APP\\MAIN.dat.bak");
    EXPECT_EQ(expand(hkcu()), "D:\\APP\\MAIN.dat.bak\\");
    set(HKEY_CURRENT_USER, REG_SZ, "MAIN.DAT");
    EXPECT_EQ(expand(hkcu()), "");
    set(HKEY_CURRENT_USER, REG_EXPAND_SZ, "%SystemRoot%\\X");
    EXPECT_EQ(expand(hkcu()), "%SystemRoot%\\X\\");
    set(HKEY_CURRENT_USER, REG_SZ, "D:\\APP", "");
    EXPECT_EQ(expand("%HKCR\\" + key_ + "%%"), "D:\\APP\\");  // the default value
}

TEST_F(DestTest, AbsentOrNonStringValueGivesTheRoot)
{
    EXPECT_EQ(expand(hkcu()), "\\");
    HKEY k;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_READ, &k), 0) << "the key is created";
    RegCloseKey(k);
    DWORD number = 7;
    RegSetValueExA(g_regkey, "Path", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number);
    EXPECT_EQ(expand(hkcu("SAVE")), "\\SAVE\\");
}

TEST_F(DestTest, RegistryValueUnderTheMachine)
{
    set(HKEY_LOCAL_MACHINE, REG_SZ, "D:\\APP");
    EXPECT_EQ(expand("%HKLM\\" + key_ + "%Path%\\SAVE"), "D:\\APP\\SAVE\\");
}

TEST_F(DestTest, MalformedSpecsNameNoDirectory)
{
    // The internal-error box cannot show without a display; the result is the point.
    for (const std::string &spec :
         std::vector<std::string>{"%HKCR\\" + key_, "%HKCR\\" + key_ + "%Path", "%TEMP%\\X", "%"}) {
        char out[MAX_PATH] = "untouched";
        EXPECT_FALSE(patch_expand_dest(spec.c_str(), out)) << spec;
        EXPECT_STREQ(out, "") << spec;
    }
    HKEY k;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_READ, &k), 0) << "no key is created";
}

TEST_F(DestTest, ResultsThatDoNotFitAreReported)
{
    FatalReturns fatal;
    set(HKEY_CURRENT_USER, REG_SZ, "D:\\" + std::string(300, 'v'));
    expand(hkcu());
    EXPECT_NE(fatal.text().find(": path too long"), std::string::npos) << fatal.text();

    g_fatal_text[0] = '\0';
    set(HKEY_CURRENT_USER, REG_SZ, "D:\\" + std::string(250, 'v'));
    expand(hkcu("\\0123456789"));
    EXPECT_NE(fatal.text().find(": path too long"), std::string::npos) << fatal.text();

    // 259 bytes and the final backslash make 260: one too many.
    g_fatal_text[0] = '\0';
    expand("D:\\" + std::string(256, 'p'));
    EXPECT_NE(fatal.text().find(": path too long"), std::string::npos) << fatal.text();
}
