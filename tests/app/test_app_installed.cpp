// The check of a delta entry's old file: its length and CRC-32, nothing else.
#include <gtest/gtest.h>

#include "app/installed.h"
#include "payload/crc32.h"
#include "tests/app/app_util.h"

TEST(PatchOldFile, OnlyTheVersionThePatchIsFor)
{
    TempDir dir;
    bytes old_data = write_tail(100000);
    write_file(dir.file("GAME.DAT"), old_data);
    auto len = static_cast<uint32_t>(old_data.size());
    uint32_t crc = crc32_update(0, old_data.data(), old_data.size());
    patch_old_check check = {0, 3ull * len};
    EXPECT_TRUE(patch_old_file_is(dir.file("GAME.DAT").c_str(), len, crc, &check));
    EXPECT_EQ(check.done, len);

    EXPECT_FALSE(patch_old_file_is(dir.file("GAME.DAT").c_str(), len + 1, crc, &check)) << "another length";
    old_data[len / 2] ^= 1;
    write_file(dir.file("GAME.DAT"), old_data);
    EXPECT_FALSE(patch_old_file_is(dir.file("GAME.DAT").c_str(), len, crc, &check)) << "one byte differs";
    EXPECT_FALSE(patch_old_file_is(dir.file("NONE.DAT").c_str(), 0, 0, &check)) << "missing";
    CreateDirectoryA(dir.file("SUB").c_str(), nullptr);
    EXPECT_FALSE(patch_old_file_is(dir.file("SUB").c_str(), 0, 0, &check)) << "a folder";
    // An empty old file is a version too.
    write_file(dir.file("EMPTY.DAT"), {});
    EXPECT_TRUE(patch_old_file_is(dir.file("EMPTY.DAT").c_str(), 0, 0, &check));
}
