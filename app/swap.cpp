#include "app/swap.h"

#include <cstdlib>
#include <cstring>

#include "app/entry.h"
#include "app/path.h"
#include "app/strings.h"
#include "app/temp.h"
#include "diag/diag.h"
#include "stream/fstrm.h"

namespace {

bool patch_fs_flush(const char *path)
{
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BOOL ok = FlushFileBuffers(h);
    DWORD err = GetLastError();
    CloseHandle(h);
    SetLastError(err);
    return ok != 0;
}

bool patch_fs_move(const char *from, const char *to)
{
    return MoveFileA(from, to) != 0;
}

// Where an entry stands in the work.
enum : uint8_t {
    SWAP_STAGED,  // a write's new file is (being) made; the target is as it was
    SWAP_ASIDE,   // the old target is kept aside; for a write, the new file not yet in its place
    SWAP_PLACED,  // a write's new file is the target; the old one, if there was one, kept aside
};

struct patch_swap_entry {
    char target[MAX_PATH];
    patch_swap_change change;
    uint8_t state;
    bool kept;  // the old target is kept aside
};

patch_swap_entry *g_swap = nullptr;
uint32_t g_swap_count = 0;

constexpr DWORD IN_USE_WAIT_MS = 2000;
constexpr DWORD IN_USE_STEP_MS = 100;

bool patch_exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// A file of the run's own (a read-only old file included) goes.
void patch_remove(const char *path)
{
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path);
}

// A file held by another program.
bool patch_in_use(DWORD err)
{
    return err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION;
}

// A move's failure because a file or folder stands at its destination.
bool patch_target_exists(DWORD err)
{
    return err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS;
}

// Reports the failure of an entry's step after the rollback.
void patch_swap_fail(const char *fmt, const char *target, DWORD err)
{
    char path[MAX_PATH];
    strcpy(path, target);  // the rollback frees the entries
    patch_swap_rollback();
    fatal_error(fmt, path, static_cast<int>(err));
}

bool patch_move_attempt(const char *from, const void *to)
{
    return g_patch_fs->move(from, static_cast<const char *>(to));
}

// Puts an entry's new file in its target's place, the old target moved aside
// first, or moves the target of a delete aside. False, with the system's
// error, when a step fails. Where a folder is searched for every name it does
// not hold, a look for a target that is not there costs as much as the move:
// so a new file is moved in first, the target looked for only when the move
// finds one, while the last target looked for was not there either. Where
// that guess is wrong, the entry takes one step more than the look alone.
bool patch_swap_place(patch_swap_entry *e, uint32_t entry, bool *targets_new)
{
    char new_file[MAX_PATH], old_file[MAX_PATH];
    bool write = e->change == SWAP_REPLACE;
    if (write) {
        if (!patch_run_file(new_file, e->target, entry, ".new"))
            return false;
        if (*targets_new) {
            if (g_patch_fs->move(new_file, e->target)) {
                e->state = SWAP_PLACED;
                return true;
            }
            if (!patch_target_exists(GetLastError()))
                return false;
        }
    }
    DWORD attrs = GetFileAttributesA(e->target);
    *targets_new = attrs == INVALID_FILE_ATTRIBUTES;
    if (attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        // A read-only old file moves aside as it is, and comes back so.
        if (!patch_run_file(old_file, e->target, entry, ".old"))
            return false;
        if (patch_while_in_use(e->target, patch_move_attempt, old_file)) {
            e->kept = true;
            e->state = SWAP_ASIDE;
        } else if (write) {
            return false;
        }
        // A delete that does not succeed leaves its target, with no message.
    }
    if (!write)
        return true;
    if (!g_patch_fs->move(new_file, e->target))
        return false;
    e->state = SWAP_PLACED;
    return true;
}

void patch_swap_at_exit()
{
    // Its moves may fail again on the way out: no second report.
    g_fatal_quiet = 1;
    patch_swap_rollback();
}

}  // namespace

const patch_fs_ops PATCH_FS_SYSTEM = {fstrm_create, patch_fs_flush, patch_fs_move};
const patch_fs_ops *g_patch_fs = &PATCH_FS_SYSTEM;
uint32_t g_patch_id = 0;

bool patch_run_file(char *out, const char *target, uint32_t entry, const char *ext)
{
    char folder[MAX_PATH];
    size_t len = patch_dir_length(target);
    memcpy(folder, target, len);
    folder[len] = '\0';
    char name[32];
    wsprintfA(name, "%s%08X-%u%s", TXT_TEMP_PREFIX, static_cast<unsigned>(g_patch_id), static_cast<unsigned>(entry),
              ext);
    patch_join_path(out, folder, name);
    return out[0] != '\0';
}

void patch_swap_begin(uint32_t count)
{
    static bool registered = false;
    if (!registered) {
        atexit(patch_swap_at_exit);
        registered = true;
    }
    free(g_swap);
    g_swap = static_cast<patch_swap_entry *>(calloc(count ? count : 1, sizeof *g_swap));
    g_swap_count = g_swap ? count : 0;
    if (!g_swap)
        fatal_error("out of memory");
}

bool patch_swap_note(uint32_t entry, patch_swap_change change, const char *target)
{
    if (entry < 1 || entry > g_swap_count)
        return false;
    patch_swap_entry *e = &g_swap[entry - 1];
    strcpy(e->target, target);
    e->change = change;
    e->state = SWAP_STAGED;
    e->kept = false;
    return true;
}

bool patch_swap_under_way()
{
    return g_swap != nullptr;
}

bool patch_swap_commit()
{
    if (!g_swap)
        return false;
    char run_file[MAX_PATH];
    // Flushed only once every file is written, so that the system writes
    // them out meanwhile rather than one at a time.
    for (uint32_t i = 0; i < g_swap_count; i++) {
        patch_swap_entry *e = &g_swap[i];
        if (e->change != SWAP_REPLACE)
            continue;
        if (!patch_run_file(run_file, e->target, i + 1, ".new") || !g_patch_fs->flush(run_file)) {
            patch_swap_fail("%s: write error, %d", e->target, GetLastError());
            return false;
        }
    }
    bool targets_new = true;
    for (uint32_t i = 0; i < g_swap_count; i++) {
        patch_swap_entry *e = &g_swap[i];
        if (e->change != SWAP_NONE && !patch_swap_place(e, i + 1, &targets_new)) {
            patch_swap_fail("%s: Can't open wfile, %d", e->target, GetLastError());
            return false;
        }
    }
    // Every entry is done: the old files go.
    for (uint32_t i = 0; i < g_swap_count; i++) {
        if (g_swap[i].kept && patch_run_file(run_file, g_swap[i].target, i + 1, ".old"))
            patch_remove(run_file);
    }
    free(g_swap);
    g_swap = nullptr;
    g_swap_count = 0;
    return true;
}

void patch_swap_rollback()
{
    patch_drop_new_file();
    char run_file[MAX_PATH];
    for (uint32_t i = g_swap_count; i-- > 0;) {
        patch_swap_entry *e = &g_swap[i];
        if (e->change == SWAP_NONE)
            continue;
        if (e->state == SWAP_PLACED)
            patch_remove(e->target);  // the run's new file
        if (e->kept && patch_run_file(run_file, e->target, i + 1, ".old"))
            MoveFileA(run_file, e->target);
        if (e->change == SWAP_REPLACE && patch_run_file(run_file, e->target, i + 1, ".new"))
            patch_remove(run_file);
    }
    free(g_swap);
    g_swap = nullptr;
    g_swap_count = 0;
    patch_drop_temp();
}

bool patch_run_files_in(const char *folder)
{
    char name[32];
    wsprintfA(name, "%s%08X-*", TXT_TEMP_PREFIX, static_cast<unsigned>(g_patch_id));
    char pattern[MAX_PATH];
    patch_join_path(pattern, folder, name);
    WIN32_FIND_DATAA found;
    HANDLE h = pattern[0] ? FindFirstFileA(pattern, &found) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FindClose(h);
    return true;
}

void patch_swap_recover(const char *target, uint32_t entry)
{
    char run_file[MAX_PATH];
    if (patch_run_file(run_file, target, entry, ".new") && patch_exists(run_file))
        patch_remove(run_file);
    if (!patch_run_file(run_file, target, entry, ".old") || !patch_exists(run_file))
        return;
    // The old file is the one to keep; a target beside it is the killed
    // run's new file.
    if (patch_exists(target))
        patch_remove(target);
    MoveFileA(run_file, target);
}

bool patch_while_in_use(const char *path, bool (*attempt)(const char *path, const void *ctx), const void *ctx)
{
    for (;;) {
        DWORD waited = 0;
        for (;;) {
            if (attempt(path, ctx))
                return true;
            DWORD err = GetLastError();
            if (!patch_in_use(err))
                return false;
            if (waited >= IN_USE_WAIT_MS)
                break;
            Sleep(IN_USE_STEP_MS);
            waited += IN_USE_STEP_MS;
            SetLastError(err);
        }
        DWORD err = GetLastError();
        char text[MAX_PATH + 256];
        wsprintfA(text, TXT_IN_USE, path);
        if (MessageBoxA(nullptr, text, TXT_TITLE, MB_RETRYCANCEL) != IDRETRY) {
            patch_swap_rollback();
            exit(1);
        }
        SetLastError(err);
    }
}
