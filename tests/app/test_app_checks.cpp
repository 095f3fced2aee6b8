// The checks made before anything changes: the payload at start-up and the
// pre-flight pass; and a write that fails half-way.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/check_window.h"
#include "app/checks.h"
#include "app/dest.h"
#include "app/entry.h"
#include "app/lock.h"
#include "app/temp.h"
#include "tests/app/app_util.h"

#include <commctrl.h>

namespace {

// The pre-flight pass over the patch file at exe: its fatal report, or "".
std::string preflight(const std::string &exe)
{
    strcpy(g_exe_path, exe.c_str());
    FatalReturns fatal;
    bool ready = patch_preflight();
    patch_forget_dests();
    EXPECT_EQ(ready, fatal.text().empty()) << fatal.text();
    return fatal.text();
}

std::string preflight(const TempDir &dir, const bytes &file)
{
    std::string exe = dir.file("patch.exe");
    write_file(exe, file);
    return preflight(exe);
}

std::string preflight(const TempDir &dir, const std::vector<bytes> &blobs)
{
    return preflight(dir, patch_file(blobs));
}

// The check windows a hook saw taken down: title, text and bar position.
std::vector<std::string> g_checking_seen;

LRESULT CALLBACK checking_hook(int code, WPARAM wp, LPARAM lp)
{
    auto w = reinterpret_cast<HWND>(wp);
    if (code == HCBT_DESTROYWND && GetDlgItem(w, IDC_CHECK_BAR)) {
        char title[64], text[128];
        GetWindowTextA(w, title, sizeof title);
        GetDlgItemTextA(w, IDC_CHECK_TEXT, text, sizeof text);
        LRESULT pos = SendDlgItemMessageA(w, IDC_CHECK_BAR, PBM_GETPOS, 0, 0);
        g_checking_seen.push_back(std::string(title) + "|" + text + "|" + (pos > 0 ? "moved" : "empty"));
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

// The message boxes a hook saw taken down, as "title|text", each answered as
// it is activated (which may happen more than once a box).
std::vector<std::string> g_boxes_seen;

LRESULT CALLBACK box_hook(int code, WPARAM wp, LPARAM lp)
{
    auto w = reinterpret_cast<HWND>(wp);
    char title[64], text[512];
    if (code == HCBT_ACTIVATE && GetDlgItem(w, 0xFFFF))
        PostMessageA(w, WM_COMMAND, IDOK, 0);
    if (code == HCBT_DESTROYWND && GetDlgItem(w, 0xFFFF) && GetWindowTextA(w, title, sizeof title)) {
        GetDlgItemTextA(w, 0xFFFF, text, sizeof text);
        g_boxes_seen.push_back(std::string(title) + "|" + text);
    }
    return checking_hook(code, wp, lp);
}

// Another copy's staged file looks like a killed run's: the pre-flight pass
// refuses to start while another copy holds the run lock, and leaves it;
// then, with the lock free, it starts and puts the killed run's file away.
std::string killed_run_under_lock()
{
    TempDir dir;
    std::string d = dir_of(dir);
    g_patch_id = 0x1A2B3C4D;
    write_file(dir.file("A.DAT"), to_bytes("old"));
    write_file(dir.file("Ov1A2B3C4D-1.new"), to_bytes("staged"));
    write_file(dir.file("patch.exe"), patch_file({record_blob(ACTION_WRITE, "A.DAT", d, write_tail(3))}));
    strcpy(g_exe_path, dir.file("patch.exe").c_str());
    HANDLE other = CreateMutexA(nullptr, FALSE, g_run_lock_name);
    bool refused = !patch_preflight();
    bool kept = read_file(dir.file("Ov1A2B3C4D-1.new")) == to_bytes("staged");
    CloseHandle(other);
    bool went_on = patch_preflight();
    bool put_back = GetFileAttributesA(dir.file("Ov1A2B3C4D-1.new").c_str()) == INVALID_FILE_ATTRIBUTES;
    patch_forget_dests();
    char line[80];
    wsprintfA(line, "refused %d kept %d, then went on %d put back %d", refused, kept, went_on, put_back);
    return line;
}

}  // namespace

TEST(PatchCheckPayload, ALongCheckShowsItsWindowUntilItEnds)
{
    TempDir dir;
    std::string exe = dir.file("patch.exe");
    strcpy(g_exe_path, exe.c_str());
    // No trailer: both passes, the CRC's and the decode's, over 2 MB.
    write_file(exe, patch_file({record_blob(ACTION_WRITE, "A.DAT", "C:\\X", write_tail(2u << 20))}));
    InitCommonControls();
    HHOOK hook = SetWindowsHookExA(WH_CBT, checking_hook, nullptr, GetCurrentThreadId());
    g_checking_seen.clear();
    EXPECT_TRUE(patch_check_payload());  // a check of the usual length
    EXPECT_EQ(g_checking_seen.size(), 0u);

    g_check_window_after_ms = 0;  // every check is a long one
    EXPECT_TRUE(patch_check_payload());
    g_check_window_after_ms = 1000;
    UnhookWindowsHookEx(hook);
    ASSERT_EQ(g_checking_seen.size(), 1u) << "a display is needed";
    // "Orvane パッチ" and "パッチファイルを確認しています。しばらくお待ちください。" in code page 932.
    EXPECT_EQ(g_checking_seen[0],
              "Orvane \x83\x70\x83\x62\x83\x60|"
              "\x83\x70\x83\x62\x83\x60\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8A\x6D\x94\x46\x82\xB5"
              "\x82\xC4\x82\xA2\x82\xDC\x82\xB7\x81\x42\x82\xB5\x82\xCE\x82\xE7\x82\xAD\x82\xA8\x91\xD2"
              "\x82\xBF\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42|moved");
}

TEST(PatchCheckPayload, DamageIsOneReportNamingTheEntry)
{
    TempDir dir;
    std::string exe = dir.file("patch.exe");
    strcpy(g_exe_path, exe.c_str());
    FatalReturns fatal;
    bytes good = patch_file({record_blob(ACTION_DELETE, "A.DAT", "C:\\X"), record_blob(ACTION_DELETE, "B.DAT", "")});
    write_file(exe, good);
    EXPECT_TRUE(patch_check_payload());
    EXPECT_EQ(fatal.text(), "");

    write_file(exe, bytes(good.begin(), good.end() - 1));
    EXPECT_FALSE(patch_check_payload());
    EXPECT_EQ(fatal.text(), exe + ": damaged patch, entry 2: blob runs past the end of the file");

    write_file(exe, bytes(PAYLOAD_OFFSET, 0));
    EXPECT_FALSE(patch_check_payload());
    EXPECT_EQ(fatal.text(), exe + ": no patch data");
}

TEST(PatchPreflight, FindsWhatWouldStopTheWorkHalfWay)
{
    TempDir dir;
    std::string d = dir_of(dir);
    write_file(dir.file("A.DAT"), to_bytes("old"));
    write_file(dir.file("RO.DAT"), to_bytes("old"));
    SetFileAttributesA(dir.file("RO.DAT").c_str(), FILE_ATTRIBUTE_READONLY);
    CreateDirectoryA(dir.file("SUB").c_str(), nullptr);
    bytes a = record_blob(ACTION_WRITE, "A.DAT", d, write_tail(3));
    bytes ro = record_blob(ACTION_WRITE, "RO.DAT", d, write_tail(3));
    EXPECT_EQ(preflight(dir, {a, ro, record_blob(ACTION_DELETE, "GONE.DAT", d)}), "");

    // A fault is found behind any number of sound entries, with the text the
    // work would have shown.
    EXPECT_EQ(preflight(dir, {a, record_blob(ACTION_WRITE, "NOPE\\B.DAT", d, write_tail(1))}),
              d + "NOPE\\B.DAT: Can't open wfile, 3");
    // A delete in a folder that is gone finds nothing to delete.
    EXPECT_EQ(preflight(dir, {a, record_blob(ACTION_DELETE, "B.DAT", d + "NOPE")}), "");
    EXPECT_EQ(preflight(dir, {a, record_blob(ACTION_DELETE, "B.DAT", std::string(RECORD_DEST_SIZE, 'D'))}),
              "entry destination not terminated");
    std::string folder = preflight(dir, {ro, record_blob(ACTION_WRITE, "SUB", d, write_tail(1))});
    EXPECT_EQ(folder.rfind(d + "SUB: Can't open wfile, ", 0), 0u) << folder;

    // Writes of nearly 4 GiB each (as their records say) until the volume
    // cannot hold them.
    ULARGE_INTEGER avail, total, free_bytes;
    ASSERT_TRUE(GetDiskFreeSpaceExA(d.c_str(), &avail, &total, &free_bytes));
    bytes huge;
    put_be(huge, 0xFFFF0000u, 4);
    std::vector<bytes> blobs(avail.QuadPart / 0xFFFF0000u + 2, record_blob(ACTION_WRITE, "BIG.DAT", d, huge));
    std::string full = preflight(dir, blobs);
    EXPECT_NE(full.find(": not enough disk space, "), std::string::npos) << full;
    EXPECT_EQ(read_file(dir.file("A.DAT")), to_bytes("old"));
    SetFileAttributesA(dir.file("RO.DAT").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A patch entry's old file is read whole before anything changes, its bar
// in the check window; any other version of it (missing, or one byte off)
// stops the run with one box that names it.
TEST(PatchPreflight, APatchEntryNeedsTheVersionItWasMadeFor)
{
    TempDir dir;
    std::string d = dir_of(dir);
    bytes old = game_file(false);
    write_file(dir.file("GAME.DAT"), old);
    write_file(dir.file("patch.exe"),
               patch_file({record_blob(ACTION_PATCH, "GAME.DAT", d, patch_tail(old, game_file(true)))}));
    strcpy(g_exe_path, dir.file("patch.exe").c_str());
    InitCommonControls();
    HHOOK hook = SetWindowsHookExA(WH_CBT, box_hook, nullptr, GetCurrentThreadId());
    g_boxes_seen.clear();
    g_checking_seen.clear();
    g_check_window_after_ms = 0;
    EXPECT_TRUE(patch_preflight());
    g_check_window_after_ms = 1000;
    ASSERT_EQ(g_checking_seen.size(), 1u) << "a display is needed";
    EXPECT_NE(g_checking_seen[0].find("|moved"), std::string::npos);

    old[old.size() / 2] ^= 1;
    write_file(dir.file("GAME.DAT"), old);
    EXPECT_FALSE(patch_preflight());
    DeleteFileA(dir.file("GAME.DAT").c_str());
    EXPECT_FALSE(patch_preflight());
    UnhookWindowsHookEx(hook);
    patch_forget_dests();
    // "Orvane パッチ", then the path before "インストールされている…" in code page 932.
    std::string box = "Orvane \x83\x70\x83\x62\x83\x60|" + d + "GAME.DAT\r\n\r\n" +
                      "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xE9";
    ASSERT_EQ(g_boxes_seen.size(), 2u);
    EXPECT_EQ(g_boxes_seen[0].substr(0, box.size()), box);
    EXPECT_EQ(g_boxes_seen[1].substr(0, box.size()), box);
}

TEST(PatchPreflightDeathTest, AKilledRunIsPutBackOnlyWhileNoOtherRunHoldsTheLock)
{
    // In a process of its own, which holds no run lock yet.
    EXPECT_EXIT(
        {
            fputs(killed_run_under_lock().c_str(), stderr);
            exit(0);
        },
        testing::ExitedWithCode(0), "^refused 1 kept 1, then went on 1 put back 1$");
}

TEST(PatchPreflight, TheTemporaryFileNeedsRoomBesideTheTargets)
{
    TempDir dir;
    std::string d = dir_of(dir);
    char temp_dir[MAX_PATH];
    patch_temp_dir(temp_dir);
    if (toupper(temp_dir[0]) != toupper(d[0]) || temp_dir[1] != ':' || d[1] != ':')
        GTEST_SKIP() << "the temporary folder is on another volume than " << d;
    ULARGE_INTEGER avail, total, free_bytes;
    ASSERT_TRUE(GetDiskFreeSpaceExA(d.c_str(), &avail, &total, &free_bytes));
    constexpr uint64_t GiB = 1ull << 30;
    if (avail.QuadPart < 3 * GiB)
        GTEST_SKIP() << "too little free space to leave 2 GiB of it";
    // Writes that leave 1 GiB of the volume free (as their records say) ...
    std::vector<bytes> blobs;
    for (uint64_t left = avail.QuadPart - GiB; left > 0;) {
        auto len = static_cast<uint32_t>(std::min<uint64_t>(left, 0xFFFF0000u));
        bytes tail;
        put_be(tail, len, 4);
        blobs.push_back(record_blob(ACTION_WRITE, "BIG.DAT", d, tail));
        left -= len;
    }
    blobs.push_back(record_blob(ACTION_DELETE, "GONE.DAT", d));
    EXPECT_EQ(preflight(dir, blobs), "");
    // ... and a last blob of 1.5 GiB that the temporary file must hold as
    // well: the patch file holds it sparsely, past the record at its start.
    constexpr uint32_t big = 3 * (GiB / 2);
    bytes file = patch_file(blobs);
    size_t length_at = file.size() - blobs.back().size() - PAYLOAD_BLOB_LEN_SIZE;
    payload_put32(&file[length_at], big);
    std::string exe = dir.file("patch.exe");
    write_file(exe, file);
    HANDLE h = CreateFileA(exe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(length_at + PAYLOAD_BLOB_LEN_SIZE + big);
    EXPECT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h));
    CloseHandle(h);
    std::string full = preflight(exe);
    EXPECT_NE(full.find(": not enough disk space, "), std::string::npos) << full;
}

TEST(PatchPreflight, OldFilesStayUntilTheLastEntry)
{
    TempDir dir;
    std::string d = dir_of(dir);
    ULARGE_INTEGER avail, total, free_bytes;
    ASSERT_TRUE(GetDiskFreeSpaceExA(d.c_str(), &avail, &total, &free_bytes));
    // Writes of nearly 4 GiB each over old files of the same size (held
    // sparsely), 1.2 times the free space in all: each would fit once the
    // one before had given back its old file's room, but none gives it back
    // before the last.
    constexpr uint32_t len = 0xFFFF0000u;
    bytes tail;
    put_be(tail, len, 4);
    std::vector<bytes> blobs;
    for (uint64_t sum = 0; sum < avail.QuadPart / 5 * 6; sum += len) {
        std::string name = "OLD" + std::to_string(blobs.size()) + ".DAT";
        HANDLE h = CreateFileA(dir.file(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        LARGE_INTEGER end;
        end.QuadPart = len;
        EXPECT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h));
        CloseHandle(h);
        blobs.push_back(record_blob(ACTION_WRITE, name, d, tail));
    }
    std::string full = preflight(dir, blobs);
    EXPECT_NE(full.find(": not enough disk space, "), std::string::npos) << full;
}

TEST(PatchWriteFileDeathTest, FailureHalfWayLeavesTheOldFile)
{
    // The test runs again in the child that dies: a fixed folder, set up the
    // same way there.
    auto folder = std::filesystem::temp_directory_path() / ("patch_half_" + std::to_string(sizeof(void *)));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);
    std::string d = folder.string() + "\\";
    write_file(d + "A.DAT", to_bytes("old"));
    // Two blocks of data, the second corrupt: the decoder's report ends the
    // process in the middle of the copy.
    std::string head(RECORD_HEAD_SIZE, '\0');
    head[0] = ACTION_WRITE;
    bytes len;
    put_be(len, 20000, 4);
    head.append(len.begin(), len.end());
    head.append(9000, 'x');
    bytes blob = qzt_stream(static_cast<uint32_t>(head.size()) + 100,
                            {{static_cast<uint16_t>(head.size()), BlockBuilder().literals(head).words()},
                             {100, BlockBuilder().gamma(500).words()}});
    strm *in = mstrm_new_reader(blob.data(), static_cast<uint32_t>(blob.size()));
    strm *src = qzt_open(in);
    uint8_t skip[RECORD_HEAD_SIZE];
    strm_read(src, skip, sizeof skip);
    EXPECT_EXIT(
        {
            g_fatal_quiet = 1;
            write_now(d, "A.DAT", src);
        },
        testing::ExitedWithCode(1), "");
    strm_release(src);
    strm_release(in);
    EXPECT_EQ(read_file(d + "A.DAT"), to_bytes("old"));
    std::string files;
    for (auto &e : std::filesystem::directory_iterator(folder))
        files += e.path().filename().string() + " ";
    EXPECT_EQ(files, "A.DAT ") << "the new file is gone";
    std::filesystem::remove_all(folder);
}
