// The manifest: code page 932 conversion, the checks of the question, names
// and destinations, and the TOML file with its line numbers.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "test_util.h"
#include "tools/mkpatch/cp932.h"
#include "tools/mkpatch/error.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/manifest.h"
#include "tools/mkpatch/manifest_values.h"
#include "tools/mkpatch/pack.h"

namespace {

std::string cp932(const std::string &utf8)
{
    return cp932_from_utf8(utf8);
}

// The text of the fault that check throws for utf8.
std::string fault_of(const std::function<std::string(std::string_view)> &check, const std::string &utf8)
{
    try {
        check(utf8);
    } catch (const mkpatch_error &e) {
        return e.what();
    }
    ADD_FAILURE() << "no fault for '" << utf8 << "'";
    return "";
}

std::string question_fault(const std::string &utf8)
{
    return fault_of(manifest_question, utf8);
}

std::string name_fault(const std::string &utf8)
{
    return fault_of(manifest_name, utf8);
}

std::string dest_fault(const std::string &utf8)
{
    std::string warning;
    return fault_of([&](std::string_view s) { return manifest_dest(s, &warning); }, utf8);
}

// The stored destination and its warning.
std::pair<std::string, std::string> dest_ok(const std::string &utf8)
{
    std::string warning;
    std::string stored = manifest_dest(utf8, &warning);
    return {stored, warning};
}

std::string repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; i++)
        out += s;
    return out;
}

// A manifest in a temporary folder; messages without the file's path.
class ManifestFile : public testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("patch.toml");

    manifest parse(const std::string &text)
    {
        manifest m = manifest_parse(text, file_path(path));
        for (auto *list : {&m.errors, &m.warnings})
            for (std::string &s : *list)
                if (s.starts_with(path + ":"))
                    s.erase(0, path.size() + 1);
        return m;
    }
    // The errors of a manifest whose entry is the given lines.
    std::vector<std::string> entry_errors(const std::string &entry)
    {
        return parse("question = \"Q\"\n[[entry]]\n" + entry).errors;
    }
};

}  // namespace

TEST(Cp932, StrictBothWays)
{
    std::string out;
    EXPECT_TRUE(cp932_encode_char(U'ソ', &out));
    EXPECT_EQ(out, "\x83\x5C");
    EXPECT_TRUE(cp932_encode_char(U'ｱ', &out));
    EXPECT_EQ(out, "\xB1");
    EXPECT_TRUE(cp932_encode_char(U'①', &out));  // a Windows extension of the JIS set
    EXPECT_EQ(out, "\x87\x40");
    EXPECT_TRUE(cp932_encode_char(U'～', &out));
    EXPECT_EQ(out, "\x81\x60");
    // No form, or only a stand-in that reads back as another character.
    for (char32_t c : {U'€', U'é', U'😀', U'¥', U'〜', U'‖'})
        EXPECT_FALSE(cp932_encode_char(c, &out)) << static_cast<uint32_t>(c);

    std::string utf8;
    EXPECT_TRUE(cp932_to_utf8("\x83\x5C\x95\x5C a", &utf8));
    EXPECT_EQ(utf8, "ソ表 a");
    EXPECT_FALSE(cp932_to_utf8("\x81", &utf8));      // a lead byte alone
    EXPECT_FALSE(cp932_to_utf8("\x81\x20", &utf8));  // not a second byte

    EXPECT_EQ(fault_of(cp932_from_utf8, "ab€"), "'€' (U+20AC) has no code page 932 form");
    EXPECT_EQ(fault_of(cp932_from_utf8, "a\xC3("), "invalid UTF-8 at byte 0xC3");
    EXPECT_EQ(fault_of(cp932_from_utf8, "\xC0\xAF"), "invalid UTF-8 at byte 0xC0");  // an overlong '/'
}

TEST(ManifestQuestion, LineBreaksBecomeEscapesTheProgramTurnsIntoCrLf)
{
    std::string stored = manifest_question("一行目\n二行目\r\n三行目\rend\n");
    EXPECT_EQ(stored, cp932("一行目") + "\\n" + cp932("二行目") + "\\n" + cp932("三行目") + "\\nend\\n");
    EXPECT_EQ(pack_unescape(stored), cp932("一行目\r\n二行目\r\n三行目\r\nend\r\n"));
    EXPECT_EQ(manifest_question(""), "");
}

TEST(ManifestQuestion, WhatTheEscapesCannotCarry)
{
    EXPECT_EQ(question_fault("C:\\GAME"),
              "a backslash cannot be shown: the program takes it for an escape; the fullwidth '＼' (U+FF3C) can");
    EXPECT_EQ(question_fault("ok\nソフト"),
              "'ソ' (U+30BD) is 0x83 0x5C in code page 932: the program would take its second byte for an escape "
              "(line 2 of the question)");
    for (const char *c : {"表", "能", "十", "予", "申"})
        EXPECT_NE(question_fault(c).find("0x5C in code page 932"), std::string::npos) << c;
    EXPECT_EQ(question_fault("5€"), "'€' (U+20AC) has no code page 932 form");
    EXPECT_EQ(question_fault(std::string("a\0b", 3)), "a NUL character would end the question there");
}

TEST(ManifestName, CheckedAndStored)
{
    // A 0x5C second byte is fine in a name.
    EXPECT_EQ(manifest_name("DATA/ソフト.DAT"), "DATA\\" + cp932("ソフト.DAT"));
    EXPECT_EQ(manifest_name(repeat("あ", 129) + "a").size(), 259u);

    EXPECT_EQ(name_fault(repeat("あ", 130)), "it is 260 bytes in code page 932; at most 259 fit");
    EXPECT_EQ(name_fault(""), "the name is empty");
    EXPECT_EQ(name_fault(std::string("A\0B", 3)), "it contains a NUL character, which would end it there");
    EXPECT_EQ(name_fault("A\tB"), "it contains the control character U+0009");
    EXPECT_EQ(name_fault("É.TXT"), "'É' (U+00C9) has no code page 932 form");
    EXPECT_EQ(name_fault("A:B"), "it contains ':', which Windows does not allow in file names");
    EXPECT_EQ(name_fault("WHY?.TXT"), "it contains '?', which Windows does not allow in file names");
    EXPECT_EQ(name_fault("..\\EVIL.DLL"), "it has a '..' part; a name stays inside its destination folder");
    EXPECT_EQ(name_fault("\\ROOT.TXT"), "it has an empty part (a leading, trailing or doubled separator)");
    EXPECT_EQ(name_fault("DATA\\"), "it has an empty part (a leading, trailing or doubled separator)");
    EXPECT_EQ(name_fault("DATA//X"), "it has an empty part (a leading, trailing or doubled separator)");
    EXPECT_EQ(name_fault("nul.txt"), "'nul.txt' is a device name on Windows, not a file");
    EXPECT_EQ(name_fault("DATA\\COM1"), "'COM1' is a device name on Windows, not a file");
    EXPECT_EQ(manifest_name("CONSOLE.TXT"), "CONSOLE.TXT");
}

TEST(ManifestDest, TheFourForms)
{
    EXPECT_EQ(dest_ok("D:\\GAME"), std::make_pair(std::string("D:\\GAME"), std::string()));
    EXPECT_EQ(dest_ok("%WINDIR%"), std::make_pair(std::string("%WINDIR%"), std::string()));
    EXPECT_EQ(dest_ok("%windir%\\SYSTEM").second, "");
    EXPECT_EQ(dest_ok("%HKCR\\Software\\Orvane\\Game%Path%").second, "");
    EXPECT_EQ(dest_ok("%hkcr\\%%").second, "");  // the root key's default value
    EXPECT_EQ(dest_ok("%HKCR\\Software\\Orvane%Path%\\SAVE").second, "");
    EXPECT_NE(dest_ok("%HKLM\\Software\\Orvane%Path%").second.find("administrator rights"), std::string::npos);

    EXPECT_EQ(dest_fault("%HKCR\\Software\\Orvane"),
              "the registry form needs a '%' after the subkey: %HKCR\\SUBKEY%VALUE%");
    EXPECT_EQ(dest_fault("%hklm\\Software\\Orvane%Path"),
              "the registry form needs a '%' after the value name: %hklm\\SUBKEY%VALUE%");
    EXPECT_NE(dest_fault("%TEMP%\\GAME").find("it starts with '%' but is none of"), std::string::npos);
    EXPECT_NE(dest_fault("%WINDIR").find("it starts with '%' but is none of"), std::string::npos);
    EXPECT_NE(dest_fault("%HKCU\\Software%Path%").find("it starts with '%' but is none of"), std::string::npos);
    EXPECT_EQ(dest_fault("D:\\" + repeat("x", 297)), "it is 300 bytes in code page 932; at most 299 fit");
    EXPECT_EQ(dest_ok("D:\\" + repeat("x", 296)).first.size(), 299u);
    EXPECT_EQ(dest_fault("D:\\€"), "'€' (U+20AC) has no code page 932 form");
    EXPECT_EQ(dest_fault(std::string("D:\\\0X", 5)), "it contains a NUL character, which would end it there");
}

TEST(ManifestDest, FormsThatWorkWithACatch)
{
    EXPECT_EQ(dest_ok("%WINDIR%SYSTEM").second,
              "'SYSTEM' is appended to the folder with no separator; start it with a backslash");
    EXPECT_EQ(dest_ok("%HKCR\\Software\\Orvane%Path%SAVE").second,
              "'SAVE' is appended to the folder with no separator unless the value ends in a backslash or "
              "names a .dat file; start it with a backslash");
    EXPECT_EQ(dest_ok("GAME").second, "'GAME' is not a full path: it is taken from the program's current folder");
    EXPECT_EQ(dest_ok("").second, "an empty destination puts the file in the program's current folder");
    EXPECT_EQ(dest_ok("\\\\server\\share").second, "");
    // The program adds no separator after a final 0x5C byte, so one is stored.
    EXPECT_EQ(dest_ok("D:\\ソ").first, "D:\\\x83\x5C\\");
    EXPECT_EQ(dest_ok("D:\\ソ\\").first, "D:\\\x83\x5C\\");
}

TEST_F(ManifestFile, ACompleteManifest)
{
    write_file(dir.file("a.dat"), to_bytes("AAA"));
    write_file(dir.file("readme.txt"), to_bytes("\xEF\xBB\xBFline 1\nライン 2\n"));
    manifest m = parse("question = \"\"\"\nUpdate?\nReally?\"\"\"\n"
                       "readme = 'readme.txt'\n"
                       "dest = '%HKCR\\Software\\Orvane%Path%'\n"
                       "[[entry]]\naction = 'write'\nname = 'A.DAT'\nsource = 'a.dat'\n"
                       "[[entry]]\naction = 'delete'\nname = 'B.DAT'\ndest = 'C:\\OTHER'\n");
    ASSERT_EQ(m.errors, std::vector<std::string>());
    EXPECT_EQ(m.warnings, std::vector<std::string>());
    EXPECT_EQ(m.message, "Update?\\nReally?");
    EXPECT_EQ(m.readme, "line 1\r\n" + cp932("ライン 2") + "\r\n");
    ASSERT_EQ(m.entries.size(), 2u);
    EXPECT_EQ(m.entries[0].line, 6u);  // after the three lines of the question
    EXPECT_EQ(m.entries[0].action, ACTION_WRITE);
    EXPECT_EQ(m.entries[0].dest, "%HKCR\\Software\\Orvane%Path%");
    EXPECT_EQ(m.entries[0].source, file_path(dir.file("a.dat")));
    EXPECT_EQ(m.entries[1].action, ACTION_DELETE);
    EXPECT_EQ(m.entries[1].dest, "C:\\OTHER");
}

TEST_F(ManifestFile, ErrorsNameTheirLine)
{
    EXPECT_EQ(parse("question = \"Q\"\n[[entry]\n").errors.at(0).substr(0, 20), "2: error: TOML synta");
    EXPECT_EQ(parse("question = \"Q\"\ndestination = 'C:\\X'\n").errors,
              std::vector<std::string>({"2: error: unknown key 'destination' (a manifest has question, readme, "
                                        "dest and [[entry]] tables)"}));
    EXPECT_EQ(parse("dest = 'C:\\X'\n").errors,
              std::vector<std::string>({"1: error: no question (the text the patch asks before it does anything)"}));
    EXPECT_EQ(parse("\nquestion = 'ソフト'\n").errors,
              std::vector<std::string>({"2: error: question: 'ソ' (U+30BD) is 0x83 0x5C in code page 932: the "
                                        "program would take its second byte for an escape"}));
    EXPECT_EQ(parse("question = 'Q'\nreadme = 'none.txt'\n").errors.at(0).substr(0, 18), "2: error: readme: ");
    write_file(dir.file("bad.txt"), to_bytes("ok\nok\n5 €\n"));
    EXPECT_EQ(parse("question = 'Q'\nreadme = 'bad.txt'\n").errors,
              std::vector<std::string>({"2: error: readme: " + file_utf8(file_path(dir.file("bad.txt"))) +
                                        ": line 3: '€' (U+20AC) has no code page 932 form"}));
    EXPECT_EQ(parse("question = 'Q'\nentry = 'x'\n").errors,
              std::vector<std::string>({"2: error: entry: write each entry as an [[entry]] table"}));
}

TEST_F(ManifestFile, CharactersWhereTomlLooksForWhitespace)
{
    // Such characters, where the TOML reader asks whether they are whitespace,
    // are text (after a line-ending backslash) or a syntax error.
    manifest m = parse("question = \"\"\"\\\n  こんにちは\\\n  ¡ok\"\"\"\n");
    EXPECT_EQ(m.errors, std::vector<std::string>({"1: error: question: '¡' (U+00A1) has no code page 932 form"}));
    EXPECT_EQ(parse("question = 'Q' こ\n").errors.at(0).substr(0, 20), "1: error: TOML synta");
}

TEST_F(ManifestFile, EntryErrors)
{
    using v = std::vector<std::string>;
    write_file(dir.file("a.dat"), to_bytes("A"));
    EXPECT_EQ(entry_errors("action = 'write'\nname = 'A'\ndest = 'C:\\X'\n"),
              v({"2: error: entry 1: a write entry needs a source file"}));
    EXPECT_EQ(entry_errors("action = 'delete'\nname = 'A'\ndest = 'C:\\X'\nsource = 'a.dat'\n"),
              v({"6: error: entry 1: a delete entry takes no source"}));
    EXPECT_EQ(entry_errors("action = 'remove'\nname = 'A'\ndest = 'C:\\X'\n"),
              v({"3: error: entry 1: action: \"remove\" is neither \"write\", \"delete\" nor \"patch\""}));
    EXPECT_EQ(entry_errors("name = 'A'\ndest = 'C:\\X'\n"),
              v({"2: error: entry 1: no action (\"write\", \"delete\" or \"patch\")"}));
    EXPECT_EQ(entry_errors("action = 'delete'\nname = 'A'\n"),
              v({"2: error: entry 1: no dest, and the manifest has no default dest"}));
    EXPECT_EQ(entry_errors("action = 'delete'\nname = 'A'\ndest = 'C:\\X'\nsize = 3\n"),
              v({"6: error: entry 1: unknown key 'size' (an entry has action, name, dest, source and old)"}));
    // A patch needs its old file, which no other action takes.
    EXPECT_EQ(entry_errors("action = 'patch'\nname = 'A'\ndest = 'C:\\X'\nsource = 'a.dat'\n"),
              v({"2: error: entry 1: a patch entry needs an old file (old = \"FILE\"), the version it applies to"}));
    EXPECT_EQ(entry_errors("action = 'write'\nname = 'A'\ndest = 'C:\\X'\nsource = 'a.dat'\nold = 'a.dat'\n"),
              v({"7: error: entry 1: a write entry takes no old"}));
    EXPECT_EQ(entry_errors("action = 'patch'\nname = 'A'\ndest = 'C:\\X'\nold = 'a.dat'\n"),
              v({"2: error: entry 1: a patch entry needs a source file"}));
    EXPECT_EQ(entry_errors("action = 'patch'\nname = 'A'\ndest = 'C:\\X'\nsource = 'a.dat'\nold = 'none.dat'\n"),
              v({"7: error: entry 1: old: " + file_utf8(file_path(dir.file("none.dat"))) + ": no such file"}));
    // A patch checks and rebuilds the file as installed: after another entry
    // of that file it would undo it, so it must come first.
    EXPECT_EQ(parse("question = 'Q'\ndest = 'C:\\X'\n[[entry]]\naction = 'write'\nname = 'a'\nsource = 'a.dat'\n"
                    "[[entry]]\naction = 'patch'\nname = 'A'\nsource = 'a.dat'\nold = 'a.dat'\n")
                  .errors,
              v({"7: error: entry 2: the same file as entry 1 (line 3); a patch rebuilds the file as installed, so it "
                 "must be the file's first entry"}));
    EXPECT_EQ(parse("question = 'Q'\ndest = 'C:\\X'\n[[entry]]\naction = 'patch'\nname = 'a'\nsource = 'a.dat'\n"
                    "old = 'a.dat'\n[[entry]]\naction = 'delete'\nname = 'A'\n")
                  .errors,
              v());
    EXPECT_EQ(entry_errors("action = 'delete'\nname = 7\ndest = 'C:\\X'\n"),
              v({"4: error: entry 1: name: must be a string"}));
    EXPECT_EQ(entry_errors("action = 'delete'\nname = 'A|B'\ndest = 'C:\\X'\n"),
              v({"4: error: entry 1: name: it contains '|', which Windows does not allow in file names"}));
    EXPECT_EQ(entry_errors("action = 'delete'\nname = 'A'\ndest = '%HKCR\\X'\n"),
              v({"5: error: entry 1: dest: the registry form needs a '%' after the subkey: %HKCR\\SUBKEY%VALUE%"}));
    // With a full path as destination, the whole path must fit MAX_PATH.
    EXPECT_EQ(
        entry_errors("action = 'delete'\nname = '" + repeat("n", 200) + "'\ndest = 'C:\\" + repeat("d", 57) + "'\n"),
        v({"2: error: entry 1: the destination and the name make a path of 261 bytes in code page 932; the "
           "program's paths hold at most 259"}));
    EXPECT_EQ(
        entry_errors("action = 'delete'\nname = '" + repeat("n", 200) + "'\ndest = 'C:\\" + repeat("d", 55) + "'\n"),
        v());  // A default destination too long to store is one error, at its own line,
    // not one more per entry that takes it.
    EXPECT_EQ(parse("question = 'Q'\ndest = 'C:\\" + repeat("d", 300) + "'\n[[entry]]\naction = 'delete'\nname = 'A'\n")
                  .errors,
              v({"2: error: dest: it is 303 bytes in code page 932; at most 299 fit"}));
}

TEST_F(ManifestFile, SourceFiles)
{
    using v = std::vector<std::string>;
    std::string missing = file_utf8(file_path(dir.file("none.dat")));
    EXPECT_EQ(entry_errors("action = 'write'\nname = 'A'\ndest = 'C:\\X'\nsource = 'none.dat'\n"),
              v({"6: error: entry 1: source: " + missing + ": no such file"}));
    std::filesystem::create_directory(dir.file("folder"));
    EXPECT_EQ(entry_errors("action = 'write'\nname = 'A'\ndest = 'C:\\X'\nsource = 'folder'\n"),
              v({"6: error: entry 1: source: " + file_utf8(file_path(dir.file("folder"))) + ": not a file"}));
    // A sparse file one byte too long for a record: its length is all that is read.
    std::string big = dir.file("big.dat");
    write_file(big, {});
    std::filesystem::resize_file(big, PACK_MAX_DATA + 1);
    EXPECT_EQ(entry_errors("action = 'write'\nname = 'A'\ndest = 'C:\\X'\nsource = 'big.dat'\n"),
              v({"6: error: entry 1: source: " + file_utf8(file_path(big)) +
                 " is 4294966731 bytes; a record holds "
                 "at most 4294966730"}));
    std::filesystem::resize_file(big, 0);
}

TEST_F(ManifestFile, Warnings)
{
    manifest m = parse("question = ''\ndest = '%HKLM\\Software\\Orvane%Path%'\n"
                       "[[entry]]\naction = 'delete'\nname = 'a.txt'\n"
                       "[[entry]]\naction = 'delete'\nname = 'A.TXT'\n"
                       "[[entry]]\naction = 'delete'\nname = 'B'\ndest = '%WINDIR%SYSTEM'\n");
    EXPECT_EQ(m.errors, std::vector<std::string>());
    ASSERT_EQ(m.warnings.size(), 4u);
    EXPECT_EQ(m.warnings[0], "1: warning: the question is empty");
    EXPECT_NE(m.warnings[1].find("2: warning: dest: the program opens HKEY_LOCAL_MACHINE keys"), std::string::npos);
    EXPECT_EQ(m.warnings[2], "12: warning: entry 3: dest: 'SYSTEM' is appended to the folder with no separator; "
                             "start it with a backslash");
    EXPECT_EQ(m.warnings[3], "6: warning: entry 2: the same file as entry 1 (line 3); both run, in order");
    EXPECT_EQ(parse("question = 'Q'\n").warnings,
              std::vector<std::string>({"1: warning: no entries: the patch only asks its question"}));
}
