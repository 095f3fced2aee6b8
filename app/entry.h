// Entry actions, on the record the temporary file holds, as the work stages
// them (app/swap.h): a write makes its new file beside its target, a patch
// rebuilds it there from the target and a delta, a delete is noted; the swap
// then puts each in its place. Each action of the table
// (payload/action.h) has its case in the dispatch and in the swap's change.
#pragma once

#include "app/patch.h"
#include "app/swap.h"
#include "payload/read.h"

// entry is the 1-based number of the entry the temporary file holds.
void patch_apply_entry(HWND dlg, uint32_t entry);
// What the swap does with the action's target, which the pre-flight pass
// checks the target for.
patch_swap_change patch_action_change(payload_action action);
// Reads a record's head; false after the fatal report of a name or
// destination whose terminator is not among the bytes read.
bool patch_read_head(strm *rec, payload_head *h);
// Makes the new file of dir's file name from the len bytes of data that src
// holds; the work rolls back after a failure.
void patch_write_file(HWND dlg, const char *dir, const char *name, uint32_t len, strm *src, uint32_t entry);
// Rebuilds the new file of dir's file name from the old one there and the
// delta that src holds after the record's data head; the new file must come
// out as long as the head says, with its CRC-32, or the work rolls back.
void patch_patch_file(HWND dlg, const char *dir, const char *name, strm *src, uint32_t entry);
void patch_delete_file(const char *dir, const char *name, uint32_t entry);
// Releases the writer of a new file being made, without a second report.
void patch_drop_new_file();
