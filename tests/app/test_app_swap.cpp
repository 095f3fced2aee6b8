// All or nothing: a fault at any step of the work, and what a killed run
// left, end with the folder as it was before.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "app/apply.h"
#include "app/checks.h"
#include "app/swap.h"
#include "app/temp.h"
#include "tests/app/app_util.h"

namespace {

// The work's file operations, the n-th of which fails: a create hands out a
// file that cannot be written (when writes_fail), or fails itself.
int g_op = 0;
int g_fail_at = 0;
bool g_writes_fail = false;

bool fault_now()
{
    return ++g_op == g_fail_at;
}

HANDLE fault_create(const char *path)
{
    if (!fault_now())
        return PATCH_FS_SYSTEM.create(path);
    if (!g_writes_fail) {
        SetLastError(ERROR_DISK_FULL);
        return INVALID_HANDLE_VALUE;
    }
    CloseHandle(PATCH_FS_SYSTEM.create(path));
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool fault_flush(const char *path)
{
    if (!fault_now())
        return PATCH_FS_SYSTEM.flush(path);
    SetLastError(ERROR_DISK_FULL);
    return false;
}

bool fault_move(const char *from, const char *to)
{
    if (!fault_now())
        return PATCH_FS_SYSTEM.move(from, to);
    SetLastError(ERROR_WRITE_FAULT);
    return false;
}

const patch_fs_ops FAULT_FS = {fault_create, fault_flush, fault_move};

// Every file of a folder, with its bytes and its read-only flag.
std::map<std::string, std::pair<bytes, bool>> snapshot(const TempDir &dir)
{
    std::map<std::string, std::pair<bytes, bool>> files;
    for (auto &e : std::filesystem::directory_iterator(dir_of(dir))) {
        std::string path = e.path().string();
        bool ro = GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_READONLY;
        files[e.path().filename().string()] = {read_file(path), ro};
    }
    return files;
}

// A game folder before the patch: A.DAT (read-only) to replace, C.DAT to
// delete; the patch writes A.DAT and a new B.DAT, then deletes C.DAT.
struct three_entries {
    TempDir dir, temp;
    three_entries()
    {
        std::string d = dir_of(dir);
        write_file(dir.file("A.DAT"), to_bytes("old A"));
        SetFileAttributesA(dir.file("A.DAT").c_str(), FILE_ATTRIBUTE_READONLY);
        write_file(dir.file("C.DAT"), to_bytes("old C"));
        write_file(dir.file("patch.exe"), patch_file({record_blob(ACTION_WRITE, "A.DAT", d, write_tail(20000)),
                                                      record_blob(ACTION_WRITE, "B.DAT", d, write_tail(5)),
                                                      record_blob(ACTION_DELETE, "C.DAT", d)}));
        strcpy(g_exe_path, dir.file("patch.exe").c_str());
        g_patch_id = 0x1A2B3C4D;
    }
    ~three_entries()
    {
        SetFileAttributesA(dir.file("A.DAT").c_str(), FILE_ATTRIBUTE_NORMAL);
        g_patch_fs = &PATCH_FS_SYSTEM;
        patch_drop_temp();
    }
    // The work as the apply step runs it, the temporary file made anew.
    bool apply()
    {
        patch_open_temp(temp.file("Ov.tmp").c_str());
        payload_cursor c;
        strm *payload = patch_open_payload(&c);
        bool done = patch_apply_all(nullptr, &c);
        strm_release(payload);
        return done;
    }
};

}  // namespace

TEST(PatchSwap, AFaultAtAnyStepLeavesTheFolderAsItWas)
{
    three_entries patch;
    auto before = snapshot(patch.dir);
    // Two creates, two flushes, five moves (A's new file finding A there, A
    // aside, A and B in place, C aside), then the work is done; and each
    // write failing instead. C's move aside is a delete, which may fail.
    constexpr int STEPS = 9;
    g_patch_fs = &FAULT_FS;
    for (int writes = 0; writes < 2; writes++) {
        g_writes_fail = writes;
        for (g_fail_at = 1; g_fail_at <= (writes ? 2 : STEPS - 1); g_fail_at++) {
            g_op = 0;
            FatalReturns fatal;
            EXPECT_FALSE(patch.apply()) << "step " << g_fail_at;
            EXPECT_NE(fatal.text(), "") << "step " << g_fail_at;
            EXPECT_EQ(snapshot(patch.dir), before) << "step " << g_fail_at << ", writes fail " << writes;
            EXPECT_EQ(GetFileAttributesA(g_temp_path), INVALID_FILE_ATTRIBUTES) << "step " << g_fail_at;
        }
    }
    g_op = 0;
    g_fail_at = 0;
    FatalReturns fatal;
    EXPECT_TRUE(patch.apply());
    EXPECT_EQ(g_op, STEPS);
    EXPECT_EQ(fatal.text(), "");
    auto after = snapshot(patch.dir);
    EXPECT_EQ(after.size(), 3u) << "the patch, A.DAT and B.DAT";
    bytes a = write_tail(20000);
    EXPECT_EQ(after["A.DAT"], std::make_pair(bytes(a.begin() + 4, a.end()), false));
    EXPECT_EQ(after["B.DAT"].first.size(), 5u);
}

TEST(PatchSwap, ADeleteThatFailsLeavesItsTargetAndTheRestApplied)
{
    three_entries patch;
    g_patch_fs = &FAULT_FS;
    g_op = 0;
    g_fail_at = 9;  // C's move aside
    FatalReturns fatal;
    EXPECT_TRUE(patch.apply());
    EXPECT_EQ(fatal.text(), "");
    auto after = snapshot(patch.dir);
    EXPECT_EQ(after.size(), 4u) << "the patch, A.DAT, B.DAT and C.DAT";
    EXPECT_EQ(after["C.DAT"].first, to_bytes("old C"));
    EXPECT_EQ(after["A.DAT"].first.size(), 20000u);
}

DWORD WINAPI hold_for_a_moment(void *path)
{
    HANDLE h = CreateFileA(static_cast<const char *>(path), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    Sleep(300);
    CloseHandle(h);
    return 0;
}

TEST(PatchSwap, ATargetHeldForAMomentIsWaitedFor)
{
    three_entries patch;
    std::string a = patch.dir.file("A.DAT");
    HANDLE t = CreateThread(nullptr, 0, hold_for_a_moment, a.data(), 0, nullptr);
    Sleep(50);
    FatalReturns fatal;
    EXPECT_TRUE(patch.apply()) << fatal.text();
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_EQ(read_file(a).size(), 20000u);
}

TEST(PatchSwap, WhatAKilledRunLeftIsPutBack)
{
    three_entries patch;
    auto before = snapshot(patch.dir);
    // Killed with A.DAT swapped (its old file aside), B.DAT staged, C.DAT
    // aside: the moments of the swap, all at once.
    std::string d = dir_of(patch.dir);
    MoveFileA(patch.dir.file("A.DAT").c_str(), patch.dir.file("Ov1A2B3C4D-1.old").c_str());
    write_file(patch.dir.file("A.DAT"), to_bytes("new A"));
    write_file(patch.dir.file("Ov1A2B3C4D-2.new"), to_bytes("new B"));
    MoveFileA(patch.dir.file("C.DAT").c_str(), patch.dir.file("Ov1A2B3C4D-3.old").c_str());
    // Another patch's files are not this run's to touch.
    write_file(patch.dir.file("Ov00000000-2.new"), to_bytes("other"));
    before["Ov00000000-2.new"] = {to_bytes("other"), false};
    EXPECT_TRUE(patch_run_files_in(d.c_str()));
    const char *names[] = {"A.DAT", "B.DAT", "C.DAT"};
    for (uint32_t entry = 1; entry <= 3; entry++)
        patch_swap_recover((d + names[entry - 1]).c_str(), entry);
    EXPECT_EQ(snapshot(patch.dir), before);
    EXPECT_FALSE(patch_run_files_in(d.c_str()));  // the other patch's file is none of them
}

TEST(PatchVolumeRoot, DrivesAndShares)
{
    const struct {
        const char *full, *root;
    } cases[] = {
        {"C:\\GAME\\A.DAT", "C:\\"},
        {"\\\\srv\\share\\GAME\\A.DAT", "\\\\srv\\share\\"},
        {"\\\\srv\\share", "\\\\srv\\share\\"},
        {"\\\\srv\\share\\", "\\\\srv\\share\\"},
        {"\\\\srv", ""},
        {"GAME\\A.DAT", ""},
    };
    for (auto &c : cases) {
        char root[MAX_PATH];
        patch_volume_root(c.full, root);
        EXPECT_STREQ(root, c.root) << c.full;
    }
}
