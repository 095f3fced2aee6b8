// The changes that turn one folder tree into another, as a manifest.
//
// diff_trees compares OLD and NEW file by file, matching names without regard
// to letter case as Windows does: a write for every file that is new, a patch
// (a delta against the old file; a write without delta) for every file whose
// bytes changed, a delete for every file that is gone, nothing for the rest,
// sorted by name. Names are relative to the tree's root with '\' between
// parts. The program creates no folders, so a file in a folder that NEW has
// and OLD lacks is an error.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "payload/action.h"

struct diff_change {
    payload_action action = ACTION_WRITE;
    std::string name;              // UTF-8, '\' between parts
    std::filesystem::path source;  // a write's or a patch's: the NEW tree's file
    std::filesystem::path old;     // a patch's: the OLD tree's file
};

struct diff_result {
    std::vector<diff_change> changes;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

diff_result diff_trees(const std::filesystem::path &old_dir, const std::filesystem::path &new_dir, bool delta);
// The manifest for the changes. Sources and old files are written relative to the
// manifest's folder with '/' between parts (absolute where no relative path
// exists, as for another drive).
std::string diff_manifest(const std::vector<diff_change> &changes, std::string_view dest, std::string_view question,
                          const std::filesystem::path &manifest_dir);
// A TOML string: a literal string where the text allows, else a basic one.
std::string diff_toml_string(std::string_view s);
