// The patch manifest: a UTF-8 TOML file with the question and the entries.
//
//   question = "text of the Yes/No question"   line breaks become backslash-n
//   readme = "path"                            optional: UTF-8 text that build
//                                              writes beside the patch as
//                                              README.TXT (code page 932, CR LF)
//   dest = "default destination"          optional
//   [[entry]]                                  in the order they are applied
//   action = "write" | "delete" | "patch"      a word of payload/action.h
//   name = "file name"                         relative to the destination
//   dest = "destination"                  unless the default serves
//   source = "path"                            for an action with data (a
//                                              write, or a patch's new file);
//                                              relative to the manifest's
//                                              folder
//   old = "path"                               a patch's old file, the
//                                              version it applies to; as
//                                              source
//
// This module binds the TOML file to the manifest: its keys, their lines,
// and the rules that span values (an action's keys, a whole path's length,
// the same file twice); each value's own rules are in manifest_values.h.
// Loading collects every fault as "FILE:LINE: reason"; a manifest with
// errors must not become a patch. Warnings are things that work but may not
// be what the author wants.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tools/mkpatch/elevation.h"

struct manifest_entry {
    uint32_t line = 0;  // of the entry's table
    uint8_t action = 0;
    std::string name;              // code page 932, as stored
    std::string dest;              // code page 932, as stored
    std::filesystem::path source;  // an action with data only, resolved
    std::filesystem::path old;     // a patch only, resolved
};

struct manifest {
    std::string message;  // the question's stored bytes
    std::string readme;   // README.TXT's bytes; empty without a readme
    std::vector<manifest_entry> entries;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

manifest manifest_load(const std::filesystem::path &file);
// The same for text already read; `file` names it in messages and its folder
// anchors relative sources.
manifest manifest_parse(std::string_view text, const std::filesystem::path &file);

// An elevated patch that reads a destination from HKEY_CURRENT_USER reads
// the hive of the account whose password raised it, which may not be the
// user's own: the warning for a patch of level e, or empty.
std::string manifest_elevation_warning(const manifest &m, elevation e);
// The level of a patch built without --elevation: user when every entry's
// destination reads HKEY_CURRENT_USER, which an elevated patch may read as
// another account's; admin otherwise.
elevation manifest_default_elevation(const manifest &m);
