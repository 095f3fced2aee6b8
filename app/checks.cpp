// The checks made before anything changes: the payload at start-up, and the
// pre-flight pass at the start of the apply step, which finds what would
// stop the work half-way (a missing folder, a target that cannot be written,
// a full disk) while every file is still as it was.
#include "app/checks.h"

#include <cstring>

#include "app/check_window.h"
#include "app/dest.h"
#include "app/entry.h"
#include "app/installed.h"
#include "app/lock.h"
#include "app/path.h"
#include "app/swap.h"
#include "app/temp.h"
#include "diag/diag.h"
#include "payload/check.h"
#include "stream/bstrm.h"
#include "stream/qzt.h"
#include "stream/rstrm.h"

bool patch_check_payload()
{
    strm *file = bstrm_open_file_read(g_exe_path, PATCH_WINDOW);
    if (!file)
        return false;
    payload_check c = {};
    c.progress = patch_check_window_progress;
    patch_check_window_begin();
    bool ok = payload_check_file(file, g_payload_offset, &c);
    patch_check_window_end();
    strm_release(file);
    if (ok) {
        g_patch_id = c.crc;
        return true;
    }
    char line[PAYLOAD_FAULT_LINE];
    payload_fault_line(c.fault, c.entry, line);
    fatal_error("%s: %s", g_exe_path, line);
    return false;
}

// The start-up check has found the payload sound, so neither report below is
// met in a run: they keep a step from reading by a length it has not checked.
strm *patch_open_payload(payload_cursor *c)
{
    strm *file = bstrm_open_file_read(g_exe_path, PATCH_WINDOW);
    if (!file)
        return nullptr;
    if (payload_first(c, file, g_payload_offset) != PAYLOAD_OK) {
        fatal_error("%s: bad message length, %u", g_exe_path, static_cast<unsigned>(c->message_len));
        strm_release(file);
        return nullptr;
    }
    return file;
}

bool patch_next_entry(payload_cursor *c)
{
    if (payload_next(c) == PAYLOAD_OK)
        return true;
    fatal_error("%s: bad entry length, %u", g_exe_path, static_cast<unsigned>(c->blob_len));
    return false;
}

// What the patch will write on one volume: every new file is made beside
// its old one, and the old files go only once the last entry is done, so the
// free space must hold all the new files at once, plus the temporary file
// where it lies.
struct patch_volume {
    char root[MAX_PATH];
    int64_t peak;  // the most the volume must hold at once
};

constexpr int PATCH_VOLUMES = 32;

void patch_volume_root(const char *full, char *root)
{
    size_t len = 0;
    if (full[0] && full[1] == ':' && full[2] == '\\') {
        len = 3;
    } else if (full[0] == '\\' && full[1] == '\\') {
        int seps = 0;
        for (len = 2; full[len] && seps < 2; len++)
            if (full[len] == '\\')
                seps++;
        // "\\server\share" itself, without the backslash after the share.
        if (seps == 1 && full[len - 1] != '\\' && len + 1 < MAX_PATH) {
            memcpy(root, full, len);
            root[len++] = '\\';
            root[len] = '\0';
            return;
        }
        if (seps < 2)
            len = 0;
    }
    memcpy(root, full, len);
    root[len] = '\0';
}

// The volume a path lies on, counted from now on; null when its root cannot
// be told, or more volumes than any patch plausibly has are counted already
// (the rest go unchecked).
static patch_volume *patch_volume_of(patch_volume *vols, int *count, const char *path)
{
    char full[MAX_PATH];
    char *file_part;
    DWORD n = GetFullPathNameA(path, MAX_PATH, full, &file_part);
    if (n == 0 || n >= MAX_PATH)
        return nullptr;
    char root[MAX_PATH];
    patch_volume_root(full, root);
    if (!root[0])
        return nullptr;
    int i = 0;
    while (i < *count && lstrcmpiA(vols[i].root, root) != 0)
        i++;
    if (i == *count) {
        if (*count == PATCH_VOLUMES)
            return nullptr;
        memcpy(vols[i].root, root, sizeof root);
        vols[i].peak = 0;
        ++*count;
    }
    return &vols[i];
}

static bool patch_open_attempt(const char *target, const void *access)
{
    HANDLE h =
        CreateFileA(target, *static_cast<const DWORD *>(access), FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

// A write's target that exists must be replaceable: not a folder, not held
// open by another program (which gets its time to let go). A read-only one is
// replaced as well, so only the right to move it is asked for then. A
// delete's target needs only that right, and one that is refused it stays,
// as a delete that does not succeed always has; another program's hold is
// still waited out, as it would leave the file in a folder otherwise new.
static bool patch_check_target(const char *target, DWORD attrs, patch_swap_change change)
{
    DWORD access = DELETE;
    if (change == SWAP_REPLACE && !(attrs & FILE_ATTRIBUTE_READONLY))
        access |= GENERIC_WRITE;
    if (patch_while_in_use(target, patch_open_attempt, &access) || change == SWAP_REMOVE)
        return true;
    fatal_error("%s: Can't open wfile, %d", target, static_cast<int>(GetLastError()));
    return false;
}

static bool patch_is_folder(const char *path)
{
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder of the entries before, once there was one, and whether it held
// a killed run's files.
struct patch_run_folder {
    bool looked;
    char path[MAX_PATH];
    bool run_files;
};

// Under Wine every look for a name a folder does not hold reads the whole
// folder (its names are matched without regard to case), so a killed run's
// files are looked for once a folder, not twice an entry. Recovering them
// only removes some: what was found stays a reason to look.
static bool patch_may_hold_run_files(patch_run_folder *seen, const char *folder)
{
    if (!seen->looked || strcmp(seen->path, folder) != 0) {
        seen->looked = true;
        strcpy(seen->path, folder);
        seen->run_files = patch_run_files_in(folder);
    }
    return seen->run_files;
}

// One entry: its destination expanded (and remembered for the work), its
// folder there, what a killed run left of its target put back, the target
// (a patch's, as the version the patch is for), and the space a new file
// takes. False after a fault's report.
static bool patch_preflight_entry(strm *blob, uint32_t entry, uint32_t count, patch_volume *vols, int *nvols,
                                  patch_run_folder *seen)
{
    strm *rec = qzt_open(blob);
    if (!rec)
        return false;
    // A trailer vouches for what the builder wrote; a hand-made patch with a
    // matching one still gets no field read past its end.
    payload_head h;
    payload_delta_head d = {};
    bool fields = patch_read_head(rec, &h);
    // A patch entry's record holds its data head whole: the payload check
    // has seen its length.
    if (fields && h.action == ACTION_PATCH)
        payload_read_delta_head(rec, &d);
    strm_release(rec);
    if (!fields)
        return false;

    char dir[MAX_PATH];
    // A spec that names no directory is the work's to report, in its turn.
    // A code that names no action is passed over, as the work passes it.
    if (!patch_preflight_dest(h.dest, dir) || !payload_action_of(h.action))
        return true;
    patch_swap_change change = patch_action_change(static_cast<payload_action>(h.action));
    char target[MAX_PATH];
    patch_join_path(target, dir, h.name);
    // The folder the target goes in, which a name's own folder part extends.
    char folder[MAX_PATH];
    size_t flen = patch_dir_length(target);
    memcpy(folder, target, flen);
    folder[flen] = '\0';
    if (!target[0] || (flen && !patch_is_folder(folder))) {
        // A delete there finds nothing to delete.
        if (change == SWAP_REMOVE)
            return true;
        fatal_error("%s: Can't open wfile, %d", target, static_cast<int>(ERROR_PATH_NOT_FOUND));
        return false;
    }
    if (patch_may_hold_run_files(seen, folder))
        patch_swap_recover(target, entry);
    DWORD attrs = GetFileAttributesA(target);
    // A delete passes a folder over, as the swap does.
    bool passed = attrs == INVALID_FILE_ATTRIBUTES || (change == SWAP_REMOVE && (attrs & FILE_ATTRIBUTE_DIRECTORY));
    if (!passed && !patch_check_target(target, attrs, change))
        return false;
    // The file a patch entry rebuilds from must be the one it was made for.
    if (h.action == ACTION_PATCH && !patch_old_file_is(target, d.old_len, d.old_crc, entry, count)) {
        patch_check_window_end();
        patch_wrong_version(target);
        return false;
    }
    if (change == SWAP_REPLACE) {
        if (patch_volume *v = patch_volume_of(vols, nvols, target))
            v->peak += h.action == ACTION_PATCH ? d.new_len : h.data_len;
    }
    return true;
}

bool patch_preflight()
{
    // A running copy's staged files look like a killed run's: they are put
    // back only while no other copy can be running.
    if (!patch_take_run_lock())
        return false;
    payload_cursor c;
    strm *file = patch_open_payload(&c);
    if (!file)
        return false;
    patch_volume vols[PATCH_VOLUMES];
    int nvols = 0;
    patch_run_folder seen = {};
    uint32_t largest_blob = 0;
    bool sound = true;
    // Reading the old files of patch entries may take a while.
    patch_check_window_begin();
    while (sound && c.entry < c.count) {
        strm *blob = patch_next_entry(&c) ? rstrm_new(file, c.blob_len) : nullptr;
        largest_blob = c.blob_len > largest_blob ? c.blob_len : largest_blob;
        sound = blob && patch_preflight_entry(blob, c.entry, c.count, vols, &nvols, &seen);
        if (blob)
            strm_release(blob);
    }
    patch_check_window_end();
    strm_release(file);
    if (!sound)
        return false;
    // The temporary file holds one blob at a time, beside whatever is
    // written then.
    char temp_dir[MAX_PATH];
    patch_temp_dir(temp_dir);
    if (patch_volume *v = patch_volume_of(vols, &nvols, temp_dir))
        v->peak += largest_blob;
    for (int i = 0; i < nvols; i++) {
        ULARGE_INTEGER avail, total, free_bytes;
        if (!GetDiskFreeSpaceExA(vols[i].root, &avail, &total, &free_bytes))
            continue;
        if (static_cast<uint64_t>(vols[i].peak) > avail.QuadPart) {
            fatal_error("%s: not enough disk space, %lu KB needed, %lu KB free", vols[i].root,
                        static_cast<unsigned long>((vols[i].peak + 1023) / 1024),
                        static_cast<unsigned long>(avail.QuadPart / 1024));
            return false;
        }
    }
    return true;
}
