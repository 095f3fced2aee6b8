// The execution level that the program's manifest asks Windows for, chosen
// by the patch author: admin (requireAdministrator: most games live under
// Program Files or are found through HKLM) or user (asInvoker, for patches of
// per-user installs). It is the manifest's requestedExecutionLevel field,
// written in place in the program image: a shorter level is followed by
// spaces, so that the image keeps its length. A program built without a
// manifest has no level to write. Faults are thrown (tools/mkpatch/error.h).
#pragma once

#include <string>

#include "tools/mkpatch/pack.h"

enum class elevation {
    admin,
    user
};

// "admin" or "user"; false for any other name.
bool elevation_parse(const std::string &name, elevation *e);
const char *elevation_name(elevation e);
// The manifest's own word for it: requireAdministrator or asInvoker.
const char *elevation_level(elevation e);
// Whether the image carries an application manifest: the level field, or
// the namespace that every manifest's root element names.
bool elevation_manifest(const pack_bytes &image);
// The level that the image's manifest asks for. Throws when the image holds
// no level field, more than one, or a level mkpatch does not write.
elevation elevation_read(const pack_bytes &image);
// Writes e into the image's manifest; throws as elevation_read does.
void elevation_write(pack_bytes *image, elevation e);
