// Destination specs expanded (payload/dest.h) against the system and the
// registry; false (after the internal-error box) for a spec that names no
// directory: a '%' without a keyword, or a registry reference without both
// of its closing '%'.
#pragma once

#include "app/patch.h"

bool patch_expand_dest(const char *spec, char *out);
// The same without the box.
bool patch_resolve_dest(const char *spec, char *out);
// patch_resolve_dest once per spec, the result remembered (pre-flight pass).
bool patch_remember_dest(const char *spec, char *out);
// The remembered result (with the box where it names no directory), or
// patch_expand_dest for a spec not met before.
bool patch_entry_dest(const char *spec, char *out);
void patch_forget_dests();
