// Destination specs expanded (payload/dest.h) against the system and the
// registry, and each spec's folder kept from the pre-flight pass for the
// work. A spec that names no directory (a '%' without a keyword, or a
// registry reference without both of its closing '%') gives false, after
// the internal-error box where the work meets it.
#pragma once

#include "app/patch.h"

// The spec's folder, with the box where it names none.
bool patch_expand_dest(const char *spec, char *out);
// The pre-flight pass's: the spec expanded without the box, once per spec,
// the folder kept for the work.
bool patch_preflight_dest(const char *spec, char *out);
// The work's: the folder the pre-flight pass kept (with the box where it
// names none), or patch_expand_dest for a spec it did not meet.
bool patch_work_dest(const char *spec, char *out);
// Drops the kept folders.
void patch_forget_dests();
