// Tree differences and the manifests made of them.
#include <gtest/gtest.h>

#include <filesystem>

#include "payload/payload.h"
#include "test_util.h"
#include "tools/mkpatch/diff.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/manifest.h"

namespace fs = std::filesystem;

namespace {

class DiffTrees : public testing::Test {
  protected:
    TempDir dir;
    fs::path old_dir = file_path(dir.file("old"));
    fs::path new_dir = file_path(dir.file("new"));

    void SetUp() override
    {
        fs::create_directories(old_dir);
        fs::create_directories(new_dir);
    }
    void put(const fs::path &root, const std::string &name, const std::string &text)
    {
        fs::path p = root / file_path(name);
        fs::create_directories(p.parent_path());
        file_write(p, to_bytes(text));
    }
    // Each change as "ACTION NAME".
    std::vector<std::string> changes(const diff_result &r)
    {
        std::vector<std::string> out;
        for (const diff_change &c : r.changes)
            out.push_back(payload_action_of(c.action)->word + (" " + c.name));
        return out;
    }
};

}  // namespace

TEST_F(DiffTrees, WritesDeletesAndNothingForTheSame)
{
    put(old_dir, "same.txt", "s");
    put(old_dir, "changed.txt", "1");
    put(old_dir, "gone.txt", "g");
    put(old_dir, "sub/deep.dat", "d1");
    put(old_dir, "sub/keep.dat", "k");
    put(new_dir, "same.txt", "s");
    put(new_dir, "changed.txt", "2");
    put(new_dir, "added.txt", "a");
    put(new_dir, "sub/deep.dat", "d2");
    put(new_dir, "sub/keep.dat", "k");
    put(new_dir, "sub/ソ.dat", "new");
    diff_result r = diff_trees(old_dir, new_dir, true);
    EXPECT_EQ(r.errors, std::vector<std::string>());
    EXPECT_EQ(r.warnings, std::vector<std::string>());
    EXPECT_EQ(changes(r), std::vector<std::string>({"write added.txt", "patch changed.txt", "delete gone.txt",
                                                    "patch sub\\deep.dat", "write sub\\ソ.dat"}));
    EXPECT_EQ(r.changes[3].source, new_dir / "sub" / "deep.dat");
    EXPECT_EQ(r.changes[3].old, old_dir / "sub" / "deep.dat");
    EXPECT_EQ(r.changes[4].source, new_dir / "sub" / file_path("ソ.dat"));
    // Without deltas a changed file is written whole.
    EXPECT_EQ(changes(diff_trees(old_dir, new_dir, false)),
              std::vector<std::string>({"write added.txt", "write changed.txt", "delete gone.txt",
                                        "write sub\\deep.dat", "write sub\\ソ.dat"}));
}

// Files are compared a piece at a time, never read whole: a difference in
// the last byte of a file longer than a piece still counts.
TEST_F(DiffTrees, FilesLongerThanAPieceDifferInTheirLastByte)
{
    std::string big(std::string(1 << 20, 'x') + "yz");
    put(old_dir, "same.pak", big);
    put(new_dir, "same.pak", big);
    put(old_dir, "last.pak", big);
    put(new_dir, "last.pak", big.substr(0, big.size() - 1) + "!");
    put(old_dir, "grown.pak", big);
    put(new_dir, "grown.pak", big + "!");
    EXPECT_EQ(changes(diff_trees(old_dir, new_dir, true)),
              std::vector<std::string>({"patch grown.pak", "patch last.pak"}));
}

TEST_F(DiffTrees, FoldersThePatchCannotMake)
{
    put(old_dir, "a.txt", "a");
    put(new_dir, "a.txt", "a");
    put(new_dir, "maps/north/n.map", "n");
    fs::create_directories(new_dir / "empty");
    fs::create_directories(old_dir / "old_only");
    diff_result r = diff_trees(old_dir, new_dir, true);
    EXPECT_EQ(r.errors, std::vector<std::string>({"NEW has the folder 'maps', which OLD lacks: the patch cannot "
                                                  "create folders, so its files cannot be written"}));
    EXPECT_EQ(r.warnings,
              std::vector<std::string>({"NEW has the empty folder 'empty', which the patch does not create",
                                        "OLD has the folder 'old_only', which NEW lacks: its files are deleted, the "
                                        "folder itself stays"}));
}

TEST_F(DiffTrees, LetterCaseIsOneNameAsOnWindows)
{
    put(old_dir, "readme.txt", "r");
    put(old_dir, "data.bin", "1");
    put(new_dir, "README.TXT", "r");
    put(new_dir, "Data.bin", "2");
    diff_result r = diff_trees(old_dir, new_dir, true);
    // Not a delete of the old spelling after the write: that would remove the new file.
    EXPECT_EQ(changes(r), std::vector<std::string>({"patch Data.bin"}));
    EXPECT_EQ(r.changes[0].old, old_dir / "data.bin");
    EXPECT_EQ(r.warnings.size(), 2u);
    put(new_dir, "readme.txt", "x");
    if (fs::equivalent(new_dir / "readme.txt", new_dir / "README.TXT"))
        GTEST_SKIP() << "this file system folds letter case itself";
    EXPECT_EQ(diff_trees(old_dir, new_dir, true).errors,
              std::vector<std::string>({"NEW has both 'README.TXT' and 'readme.txt', which are one name on Windows"}));
}

TEST_F(DiffTrees, TheManifestBuildsWhatTheDiffSays)
{
    put(old_dir, "it's.txt", "1");
    put(old_dir, "gone.txt", "g");
    put(new_dir, "it's.txt", "2");
    diff_result r = diff_trees(old_dir, new_dir, true);
    fs::path out = file_path(dir.file("m/patch.toml"));
    fs::create_directories(out.parent_path());
    std::string text = diff_manifest(r.changes, "%HKCR\\Software\\Orvane%Path%", "Go?\n\"now\"", out.parent_path());
    EXPECT_NE(text.find("source = \"../new/it's.txt\"\nold = \"../old/it's.txt\"\n"), std::string::npos) << text;
    manifest m = manifest_parse(text, out);
    ASSERT_EQ(m.errors, std::vector<std::string>());
    EXPECT_EQ(m.message, "Go?\\n\"now\"");
    ASSERT_EQ(m.entries.size(), 2u);
    EXPECT_EQ(m.entries[0].name, "gone.txt");
    EXPECT_EQ(m.entries[0].action, ACTION_DELETE);
    EXPECT_EQ(m.entries[1].action, ACTION_PATCH);
    EXPECT_EQ(fs::canonical(m.entries[1].source), fs::canonical(new_dir / "it's.txt"));
    EXPECT_EQ(fs::canonical(m.entries[1].old), fs::canonical(old_dir / "it's.txt"));
}

TEST(DiffExample, TheDemoManifestIsTheDiffOfTheDemoTrees)
{
    fs::path examples = file_path(MKPATCH_EXAMPLES);
    diff_result r = diff_trees(examples / "app-v1", examples / "app-v2", true);
    ASSERT_EQ(r.errors, std::vector<std::string>());
    manifest m = manifest_load(examples / "patch.toml");
    ASSERT_EQ(m.errors, std::vector<std::string>());
    ASSERT_EQ(m.entries.size(), r.changes.size());
    for (size_t i = 0; i < r.changes.size(); i++) {
        EXPECT_EQ(m.entries[i].name, r.changes[i].name);
        EXPECT_EQ(m.entries[i].action, r.changes[i].action);
        if (r.changes[i].action != ACTION_DELETE) {
            EXPECT_EQ(fs::canonical(m.entries[i].source), fs::canonical(r.changes[i].source));
        }
        if (r.changes[i].action == ACTION_PATCH) {
            EXPECT_EQ(fs::canonical(m.entries[i].old), fs::canonical(r.changes[i].old));
        }
    }
}
