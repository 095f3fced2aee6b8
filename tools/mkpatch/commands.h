// The commands of mkpatch, one file each (cmd_*.cpp), and what more than
// one of them needs: a patch's texts shown, a manifest's report printed, a
// patch read with its faults naming the file, and a patch signed into a file.
// A command returns its exit code and throws its faults (error.h) for main to
// print.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "tools/mkpatch/elevation.h"
#include "tools/mkpatch/manifest.h"
#include "tools/mkpatch/pack.h"
#include "tools/mkpatch/sign.h"

int mkpatch_build(const std::string &manifest_file, const std::string &out_file, const std::string &stub_file,
                  int level, std::optional<elevation> asked, const sign_options &sign);
int mkpatch_sign(const std::string &patch_file, const std::string &out_file, const sign_options &o);
int mkpatch_list(const std::string &patch_file);
// old_dir, when not empty, is the tree the patch applies to: its patch
// entries are rebuilt from it.
int mkpatch_verify(const std::string &patch_file, const std::string &old_dir);
int mkpatch_extract(const std::string &patch_file, const std::string &dir, bool force, const std::string &old_dir);
// delta: a patch entry for each changed file (else a write).
int mkpatch_diff(const std::string &old_dir, const std::string &new_dir, const std::string &dest,
                 const std::string &out_file, const std::string &question, bool delta);

// Code page 932 text for display; where it is not valid, its bytes past
// ASCII as \xNN.
std::string mkpatch_show(std::string_view cp932);
// A manifest's warnings, then its errors, each with its line, on stderr.
void mkpatch_report(const manifest &m);
// Checks all of the patch patch_file; its faults name the file.
void mkpatch_read(const std::string &patch_file, pack_layout *layout, const pack_visitor &visit = {});
// Where entry k's file lies under root: its name from code page 932, with
// '\' between folders. Throws when the name is not valid code page 932 or
// not one that a manifest may give.
std::filesystem::path mkpatch_entry_path(const std::filesystem::path &root, uint32_t k, const pack_record &r);
// Rebuilds patch entry k's new file from its delta, which data stands at
// (after the delta head): from its old file under old_root, whose length
// and CRC-32 are checked first, and then the new file's CRC-32; without
// old_root, from zeros of the old file's length, which checks all but the
// CRC-32 and the coded literals that follow the old file's head, where the
// delta puts it on the literal stream: true then. Each block goes to made,
// if given. Throws naming the entry and the file at fault.
bool mkpatch_rebuild(strm *data, uint32_t k, const pack_record &r, const std::filesystem::path *old_root,
                     const std::function<void(const uint8_t *, size_t)> &made = {});

// The program build uses without --stub (cmd_build.cpp).
std::filesystem::path mkpatch_find_stub(std::string *from);

// Signing (cmd_sign.cpp).
bool mkpatch_signed(const std::filesystem::path &file, uint32_t *at, uint32_t *size);
void mkpatch_sign_to(const std::filesystem::path &in, const std::filesystem::path &out, const sign_options &o);
