// All or nothing. Every entry that replaces its target (a write) is staged
// as a new file beside it, whole and flushed, before the first target is
// touched; then the targets are swapped in entry order, each old file (a
// removed target too)
// moved aside in its own folder and kept until the last entry is done. Any
// failure on the way, a fatal report's exit included, puts every target back
// and removes every file of the run. The run's files carry the payload's
// CRC-32 and the entry's number in their names ("Ov1A2B3C4D-7.new" and
// ".old" beside the target, "Ov1A2B3C4D.tmp" in the temporary folder), so
// that the next run of the same patch knows what a killed run left, and only
// that, and puts it back first.
#pragma once

#include "app/patch.h"

// The file operations of the work that can fail, in one table so that tests
// can make any one of them fail. Each leaves the system's error code.
struct patch_fs_ops {
    HANDLE (*create)(const char *path);              // a new file for writing; INVALID_HANDLE_VALUE on failure
    bool (*flush)(const char *path);                 // the file's data on the disk
    bool (*move)(const char *from, const char *to);  // never over an existing file
};
extern const patch_fs_ops PATCH_FS_SYSTEM;
extern const patch_fs_ops *g_patch_fs;

// The payload's CRC-32, which names the run's files.
extern uint32_t g_patch_id;

// The name of the run's file for entry (1-based) of target, beside it:
// ".new" staged, ".old" kept aside. False after the fatal report of a name
// that does not fit MAX_PATH.
bool patch_run_file(char *out, const char *target, uint32_t entry, const char *ext);

// What the swap does with an entry's target; each action stages one of these
// (patch_action_change, app/entry.h).
enum patch_swap_change : uint8_t {
    SWAP_NONE = 0,     // the entry changes nothing
    SWAP_REPLACE = 1,  // a new file, made under the ".new" name, takes the target's place
    SWAP_REMOVE = 2,   // the target goes
};

// Starts the work of count entries.
void patch_swap_begin(uint32_t count);
// The entry's target and what becomes of it, as staged: a replacing entry's
// new file is made under its ".new" name from here on. False when no work is
// under way (it was rolled back).
bool patch_swap_note(uint32_t entry, patch_swap_change change, const char *target);
// Flushes every staged file, then swaps every target in entry order and
// removes the old ones. False after the rollback and the failure's report,
// or when the work was rolled back before.
bool patch_swap_commit();
// True from the start of the work until it is committed or rolled back.
bool patch_swap_under_way();
// Puts every target back as it was and removes the run's files; a second
// call does nothing.
void patch_swap_rollback();
// Whether the folder (ending in a backslash) holds a file of a run of this
// patch: one look at the folder, where asking after each entry's two run
// files would cost two (see patch_swap_recover).
bool patch_run_files_in(const char *folder);
// Puts back what a killed run of this patch left of entry's target, before
// the pre-flight pass looks at it.
void patch_swap_recover(const char *target, uint32_t entry);

// Runs attempt on path until it succeeds or fails for another reason than
// the file being held by another program: silently for about two seconds,
// then as often as the user answers Retry in a box that names the file.
// False, with the system's error code, when it failed; Cancel rolls the work
// back and ends the run (exit code 1).
bool patch_while_in_use(const char *path, bool (*attempt)(const char *path, const void *ctx), const void *ctx);
