// The payload's checks and the pre-flight pass: the payload check at
// start-up, the payload opened and walked for a step, and the apply step's
// pre-flight pass, which expands and keeps every destination (app/dest.h),
// puts back what a killed run left of each target, and reports, as the work
// would, a missing folder, a target that cannot be replaced or a volume
// without room. Apart from that putting back, no target changes here.
#pragma once

#include "app/patch.h"
#include "payload/read.h"

// False after the fatal report of a damaged patch, or of one with no payload.
bool patch_check_payload();
// The program's file for reading, with c at its payload's header; null after
// the fatal report of a file that cannot be opened or a question that runs
// past its end.
strm *patch_open_payload(payload_cursor *c);
// c moved to the next entry; false after the fatal report of a length that
// runs past the end of the file.
bool patch_next_entry(payload_cursor *c);
// True when the work may start; false after the report of what would stop
// it, or the box of another run that holds the run lock (app/lock.h).
bool patch_preflight();
// The volume's root of a full path: "C:\" or "\\server\share\" (the path
// may end at the share); empty when the path has neither form.
void patch_volume_root(const char *full, char *root);
