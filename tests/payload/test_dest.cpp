// The destination grammar and its expansion, against a fake Windows folder
// and a registry of one value.
#include <gtest/gtest.h>

#include <string>

#include "payload/dest.h"

namespace {

struct fake_registry {
    const char *value;   // the one value every key holds; null for none
    std::string opened;  // "U:" or "M:" and each key opened, in order
};

const char *fake_windows_dir(const dest_env *, const char *)
{
    return "C:\\WINDOWS";
}

const char *fake_reg_value(const dest_env *env, bool machine, const char *key, const char *value)
{
    auto *reg = static_cast<fake_registry *>(env->ctx);
    reg->opened += std::string(machine ? "M:" : "U:") + key + "%" + value + " ";
    return reg->value;
}

// Code page 932's lead bytes.
bool fake_lead_byte(uint8_t c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

}  // namespace

TEST(Dest, FormsAndTheirFolders)
{
    const std::string long_value = "D:\\" + std::string(257, 'v');
    const std::string p256 = "D:\\" + std::string(256, 'p');
    struct row {
        std::string spec;
        const char *value;  // the registry's
        int32_t form;
        int32_t result;
        std::string out;     // DEST_TOO_LONG: the two pieces that did not fit
        std::string opened;  // keys opened
    } rows[] = {
        {"", nullptr, DEST_PLAIN, DEST_FOUND, "", ""},
        {"D:\\GAME", nullptr, DEST_PLAIN, DEST_FOUND, "D:\\GAME\\", ""},
        {"D:\\GAME\\", nullptr, DEST_PLAIN, DEST_FOUND, "D:\\GAME\\", ""},
        {"C:\\%WINDIR%", nullptr, DEST_PLAIN, DEST_FOUND, "C:\\%WINDIR%\\", ""},
        {"D:\\GAME.DAT", nullptr, DEST_PLAIN, DEST_FOUND, "D:\\GAME.DAT\\", ""},
        {"%WINDIR%", nullptr, DEST_WINDIR, DEST_FOUND, "C:\\WINDOWS\\", ""},
        {"%wInDiR%\\SYSTEM", nullptr, DEST_WINDIR, DEST_FOUND, "C:\\WINDOWS\\SYSTEM\\", ""},
        {"%WINDIR%SYSTEM", nullptr, DEST_WINDIR, DEST_FOUND, "C:\\WINDOWSSYSTEM\\", ""},
        {"%HKCR\\Soft\\Orv%Path%", "D:\\APP", DEST_USER, DEST_FOUND, "D:\\APP\\", "U:Soft\\Orv%Path "},
        {"%hklm\\Soft%Path%\\SAVE", "D:\\APP", DEST_MACHINE, DEST_FOUND, "D:\\APP\\SAVE\\", "M:Soft%Path "},
        {"%HKCR\\%%", "D:\\APP", DEST_USER, DEST_FOUND, "D:\\APP\\", "U:% "},
        // A data file stands for its folder, whose name may end in 0x5C as a
        // second byte ("ソ" 83 5C).
        {"%HKCR\\K%V%SAVE", "D:\\APP\\MAIN.dAt", DEST_USER, DEST_FOUND, "D:\\APP\\SAVE\\", "U:K%V "},
        {"%HKCR\\K%V%", "D:\\\x83\x5C.DAT", DEST_USER, DEST_FOUND, "D:\\", "U:K%V "},
        {"%HKCR\\K%V%", "MAIN.DAT", DEST_USER, DEST_FOUND, "", "U:K%V "},
        {"%HKCR\\K%V%", "D:\\MAIN.DAT.BAK", DEST_USER, DEST_FOUND, "D:\\MAIN.DAT.BAK\\", "U:K%V "},
        // A missing value: the root of the current drive, the key opened all the same.
        {"%HKCR\\K%V%SAVE", nullptr, DEST_USER, DEST_FOUND, "\\SAVE\\", "U:K%V "},
        // Names no directory, and opens no key.
        {"%", nullptr, DEST_NO_KEYWORD, DEST_NONE, "", ""},
        {"%TEMP%\\X", nullptr, DEST_NO_KEYWORD, DEST_NONE, "", ""},
        {"%WINDIR", nullptr, DEST_NO_KEYWORD, DEST_NONE, "", ""},
        {"%HKCU\\K%V%", nullptr, DEST_NO_KEYWORD, DEST_NONE, "", ""},
        {"%HKCR\\K", "D:\\APP", DEST_NO_KEY_END, DEST_NONE, "", ""},
        {"%HKLM\\K%V", "D:\\APP", DEST_NO_VALUE_END, DEST_NONE, "", ""},
        {"D:\\" + std::string(297, 'x'), nullptr, DEST_PLAIN, DEST_NONE, "", ""},
        // 259 bytes and the final backslash make 260: one too many.
        {p256, nullptr, DEST_PLAIN, DEST_TOO_LONG, p256 + "\\", ""},
        {p256 + "q", nullptr, DEST_PLAIN, DEST_TOO_LONG, p256 + "q", ""},
        {"%HKCR\\K%V%", long_value.c_str(), DEST_USER, DEST_TOO_LONG, long_value, "U:K%V "},
        {"%HKCR\\K%V%\\0123456789", long_value.c_str() + 10, DEST_USER, DEST_TOO_LONG,
         long_value.substr(10) + "\\0123456789", "U:K%V "},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.spec);
        dest_parts p;
        EXPECT_EQ(dest_parse(r.spec.c_str(), &p), r.form <= DEST_MACHINE);
        EXPECT_EQ(p.form, r.form);
        fake_registry reg{r.value, ""};
        dest_env env{fake_windows_dir, fake_reg_value, fake_lead_byte, &reg};
        char out[DEST_PATH_SIZE];
        dest_overflow why{};
        EXPECT_EQ(dest_expand(r.spec.c_str(), out, &env, &why), r.result);
        EXPECT_EQ(r.result == DEST_TOO_LONG ? std::string(why.head) + why.tail : std::string(out), r.out);
        EXPECT_EQ(reg.opened, r.opened);
    }
}
