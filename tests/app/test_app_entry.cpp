// Entry actions, the temporary file and the payload's bounds, on real files.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "app/checks.h"
#include "app/entry.h"
#include "app/temp.h"
#include "tests/app/app_util.h"

namespace {

// A reader kind with a read slot that records the count each call returns,
// so that the write action's passes can be seen.
struct counted {
    strm head;
    const bytes *data;
    size_t pos;
    std::vector<int32_t> *reads;
};

int32_t counted_read(strm *s, uint8_t *buf, int32_t count)
{
    auto *c = reinterpret_cast<counted *>(s);
    auto n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(count), c->data->size() - c->pos));
    memcpy(buf, c->data->data() + c->pos, static_cast<size_t>(n));
    c->pos += static_cast<size_t>(n);
    c->reads->push_back(n);
    return n;
}

// Only the 4-byte length is read bytewise; the window serves it.
int32_t counted_fill(strm *s)
{
    auto *c = reinterpret_cast<counted *>(s);
    if (c->pos >= 4)
        return 0;
    s->next = const_cast<uint8_t *>(c->data->data()) + c->pos;
    s->end = const_cast<uint8_t *>(c->data->data()) + 4;
    c->pos = 4;
    return 1;
}

const strm_ops counted_ops = {.fill = counted_fill, .read = counted_read};

// The temporary file in dir, open as the work holds it, until the test ends.
struct open_temp {
    explicit open_temp(const TempDir &dir) { EXPECT_TRUE(patch_open_temp(dir.file("entry.tmp").c_str())); }
    ~open_temp() { patch_drop_temp(); }
    // The blob in place of the one before, as the work copies it.
    void put(const bytes &blob)
    {
        strm *m = mstrm_new_reader(blob.data(), static_cast<uint32_t>(blob.size()));
        patch_copy_blob(nullptr, m, static_cast<uint32_t>(blob.size()));
        strm_release(m);
    }
};

}  // namespace

TEST(PatchWriteFile, PassesFollowTheDataLength)
{
    const struct {
        uint32_t len;
        std::vector<int32_t> reads;
    } cases[] = {
        {0, {0}},
        {8191, {8191}},
        {8192, {8192, 0}},
        {20000, {8192, 8192, 3616}},
    };
    TempDir dir;
    for (auto &c : cases) {
        bytes tail = write_tail(c.len);
        std::vector<int32_t> reads;
        strm *src = strm_alloc(sizeof(counted), &counted_ops);
        auto *cs = reinterpret_cast<counted *>(src);
        cs->data = &tail;
        cs->reads = &reads;
        write_now(dir_of(dir), "OUT.DAT", src);
        strm_release(src);
        EXPECT_EQ(reads, c.reads) << "D = " << c.len;
        EXPECT_EQ(read_file(dir.file("OUT.DAT")), bytes(tail.begin() + 4, tail.end())) << "D = " << c.len;
    }
}

TEST(PatchWriteFile, ReadOnlyTargetIsReplacedWithNormalAttributes)
{
    TempDir dir;
    std::string target = dir.file("RO.DAT");
    write_file(target, to_bytes("old"));
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    bytes tail = write_tail(5);
    strm *src = mstrm_new_reader(tail.data(), static_cast<uint32_t>(tail.size()));
    write_now(dir_of(dir), "RO.DAT", src);
    strm_release(src);
    EXPECT_EQ(read_file(target), bytes(tail.begin() + 4, tail.end()));
    EXPECT_EQ(GetFileAttributesA(target.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);
}

TEST(PatchWriteFile, MissingFolderIsFatalWithTheFullPath)
{
    TempDir dir;
    FatalReturns fatal;
    std::string missing = dir_of(dir) + "NOPE\\";
    bytes tail = write_tail(3);
    strm *src = mstrm_new_reader(tail.data(), static_cast<uint32_t>(tail.size()));
    write_now(missing, "A.DAT", src);
    strm_release(src);
    EXPECT_EQ(fatal.text(), missing + "A.DAT: Can't open wfile, 3");
}

TEST(PatchDeleteFile, ReadOnlyGoesMissingIsNoFailure)
{
    TempDir dir;
    std::string target = dir.file("DEL.DAT");
    write_file(target, to_bytes("x"));
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
    FatalReturns fatal;
    for (int run = 0; run < 2; run++) {
        patch_swap_begin(1);
        patch_delete_file(dir_of(dir).c_str(), "DEL.DAT", 1);
        EXPECT_TRUE(patch_swap_commit());
        EXPECT_EQ(GetFileAttributesA(target.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_EQ(fatal.text(), "");
}

TEST(PatchApplyEntry, RecordsFromTheTemporaryFile)
{
    TempDir dir;
    std::string d = dir_of(dir);
    open_temp temp(dir);

    temp.put(record_blob(ACTION_WRITE, "NEW.DAT", d, write_tail(2500)));
    apply_now();
    EXPECT_EQ(read_file(dir.file("NEW.DAT")).size(), 2500u);

    for (uint8_t action : {0, 3, 255}) {
        temp.put(record_blob(action, "NEW.DAT", d));
        apply_now();
        EXPECT_EQ(read_file(dir.file("NEW.DAT")).size(), 2500u) << "action " << int(action);
    }

    temp.put(record_blob(ACTION_DELETE, "NEW.DAT", d));
    apply_now();
    EXPECT_EQ(GetFileAttributesA(dir.file("NEW.DAT").c_str()), INVALID_FILE_ATTRIBUTES);

    // A name with a folder part lands in that folder of the destination.
    CreateDirectoryA(dir.file("SUB").c_str(), nullptr);
    temp.put(record_blob(ACTION_WRITE, "SUB\\IN.DAT", d, write_tail(1)));
    apply_now();
    EXPECT_EQ(read_file(dir.file("SUB\\IN.DAT")).size(), 1u);
}

// A patch entry rebuilds its new file from the target; one that comes out
// other than its head says (here, its CRC-32) rolls the work back.
TEST(PatchApplyEntry, APatchRebuildsItsFileOrRollsBack)
{
    TempDir dir;
    std::string d = dir_of(dir);
    open_temp temp(dir);
    g_patch_id = 0x1A2B3C4D;
    bytes old = game_file(false), now = game_file(true);
    write_file(dir.file("GAME.DAT"), old);
    bytes tail = patch_tail(old, now);
    temp.put(record_blob(ACTION_PATCH, "GAME.DAT", d, tail));
    EXPECT_TRUE(apply_now());
    EXPECT_EQ(read_file(dir.file("GAME.DAT")), now);

    write_file(dir.file("GAME.DAT"), old);
    tail[4 + DELTA_NEW_CRC_AT] ^= 1;
    temp.put(record_blob(ACTION_PATCH, "GAME.DAT", d, tail));
    FatalReturns fatal;
    EXPECT_FALSE(apply_now());
    EXPECT_EQ(fatal.text().rfind(d + "GAME.DAT: rebuilt file does not match, " + std::to_string(now.size()) + " bytes", 0),
              0u)
        << fatal.text();
    EXPECT_EQ(read_file(dir.file("GAME.DAT")), old);
    EXPECT_EQ(GetFileAttributesA(dir.file("Ov1A2B3C4D-1.new").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(PatchApplyEntry, MalformedDestinationLeavesFilesAlone)
{
    TempDir dir;
    open_temp temp(dir);
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    SetCurrentDirectoryA(dir_of(dir).c_str());
    write_file(dir.file("KEEP.DAT"), to_bytes("keep"));
    temp.put(record_blob(ACTION_DELETE, "KEEP.DAT", "%HKCR\\Software\\Orvane"));
    apply_now();
    temp.put(record_blob(ACTION_WRITE, "NEW.DAT", "%NOWHERE%", write_tail(4)));
    apply_now();
    SetCurrentDirectoryA(cwd);
    EXPECT_EQ(read_file(dir.file("KEEP.DAT")), to_bytes("keep"));
    EXPECT_EQ(GetFileAttributesA(dir.file("NEW.DAT").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(PatchApplyEntry, FieldsWithoutTerminatorAreReported)
{
    TempDir dir;
    FatalReturns fatal;
    // Each report rolls the work back, its temporary file included: each
    // record gets one of its own.
    std::optional<open_temp> temp(dir);
    temp->put(record_blob(ACTION_WRITE, std::string(RECORD_NAME_SIZE, 'N'), dir_of(dir), write_tail(1)));
    EXPECT_FALSE(apply_now());
    EXPECT_EQ(fatal.text(), "entry name not terminated");

    g_fatal_text[0] = '\0';
    temp.emplace(dir);
    temp->put(record_blob(ACTION_DELETE, "A.DAT", std::string(RECORD_DEST_SIZE, 'D')));
    EXPECT_FALSE(apply_now());
    EXPECT_EQ(fatal.text(), "entry destination not terminated");

    // A record that ends inside its name: the bytes never read are no
    // terminator, and no file of that name goes.
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    SetCurrentDirectoryA(dir_of(dir).c_str());
    write_file(dir.file("DEL"), to_bytes("keep"));
    temp.emplace(dir);
    temp->put(qzt_stream(4, {{4, BlockBuilder()
                                     .literals("\x02"
                                               "DEL")
                                     .words()}}));
    g_fatal_text[0] = '\0';
    apply_now();
    SetCurrentDirectoryA(cwd);
    EXPECT_EQ(fatal.text(), "entry name not terminated");
    EXPECT_EQ(read_file(dir.file("DEL")), to_bytes("keep"));
}

TEST(PatchMakeTemp, PrefixTheDriveRootFallbackAndAFolderThatIsNotThere)
{
    TempDir dir;
    std::string d = dir_of(dir);
    char saved[MAX_PATH];
    GetEnvironmentVariableA("TMP", saved, MAX_PATH);

    // Named for the patch: one of this test's own, whichever build runs it.
    g_patch_id = GetCurrentProcessId();
    SetEnvironmentVariableA("TMP", d.c_str());
    EXPECT_TRUE(patch_make_temp(1));
    std::string made = g_temp_path;
    EXPECT_EQ(made.rfind(d + "Ov", 0), 0u) << made;
    EXPECT_NE(GetFileAttributesA(made.c_str()), INVALID_FILE_ATTRIBUTES);
    patch_drop_temp();
    EXPECT_EQ(GetFileAttributesA(made.c_str()), INVALID_FILE_ATTRIBUTES);

    // A drive root is no place for it: the Windows directory is used.
    SetEnvironmentVariableA("TMP", "C:\\");
    EXPECT_TRUE(patch_make_temp(1));
    made = g_temp_path;
    char windir[MAX_PATH];
    GetWindowsDirectoryA(windir, MAX_PATH);
    EXPECT_EQ(made.rfind(std::string(windir) + "\\Ov", 0), 0u) << made;
    patch_drop_temp();

    // A folder where no file can be made stops a patch with entries, naming
    // the file; one with none needs no temporary file.
    SetEnvironmentVariableA("TMP", (d + "GONE\\").c_str());
    FatalReturns fatal;
    EXPECT_FALSE(patch_make_temp(1));
    char name[32];
    wsprintfA(name, "Ov%08X.tmp", static_cast<unsigned>(g_patch_id));
    EXPECT_EQ(fatal.text(), d + "GONE\\" + name + ": Can't open wfile, 3");
    EXPECT_TRUE(patch_make_temp(0));
    EXPECT_STREQ(g_temp_path, "");
    SetEnvironmentVariableA("TMP", saved);
}

TEST(PatchPayload, LengthsRunningPastTheFileAreReported)
{
    TempDir dir;
    bytes file(PAYLOAD_OFFSET, 0);
    put_be(file, 1, 4);  // one entry
    put_be(file, 3, 4);  // a 3-byte question
    file.insert(file.end(), {'Q', '?', '!'});
    put_be(file, 1000, 4);  // a blob of 1000 bytes, of which 2 are there
    file.insert(file.end(), {0x71, 0x7A});
    std::string exe = dir.file("patch.exe");
    write_file(exe, file);
    strcpy(g_exe_path, exe.c_str());

    FatalReturns fatal;
    payload_cursor c;
    strm *payload = patch_open_payload(&c);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(c.message_len, 3u);
    EXPECT_EQ(fatal.text(), "");
    EXPECT_FALSE(patch_next_entry(&c));
    EXPECT_EQ(fatal.text(), exe + ": bad entry length, 1000");
    strm_release(payload);

    // The question's length read where the blob's length stands: past the end.
    g_payload_offset = PAYLOAD_OFFSET + 7;
    EXPECT_EQ(patch_open_payload(&c), nullptr);
    g_payload_offset = PAYLOAD_OFFSET;
    EXPECT_EQ(fatal.text(), exe + ": bad message length, 1000");
}
