// The patch manifest: a UTF-8 TOML file with the question and the entries.
//
//   question = "text of the Yes/No question"   line breaks become backslash-n
//   readme = "path"                            optional: UTF-8 text that build
//                                              writes beside the patch as
//                                              README.TXT (code page 932, CR LF)
//   dest = "default destination"          optional
//   [[entry]]                                  in the order they are applied
//   action = "write" | "delete"
//   name = "file name"                         relative to the destination
//   dest = "destination"                  unless the default serves
//   source = "path"                            write only; relative to the
//                                              manifest's folder
//
// Loading checks everything the payload cannot carry or the program would
// get wrong and collects every fault as "FILE:LINE: reason"; a manifest with
// errors must not become a patch. Warnings are things that work but may not
// be what the author wants.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct manifest_entry {
    uint32_t line = 0;  // of the entry's table
    uint8_t action = 0;
    std::string name;              // code page 932, as stored
    std::string dest;              // code page 932, as stored
    std::filesystem::path source;  // write only, resolved
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

// The checks of single values: each returns the value as stored and throws
// mkpatch_error with the reason when it cannot be stored.
// The question's stored bytes: code page 932, line breaks (LF, CR LF, CR) as
// backslash-n; no backslash, no double-byte character whose second byte is
// 0x5C, no NUL.
std::string manifest_question(std::string_view utf8);
// A name: a relative path of at most 259 bytes in code page 932 with parts
// that Windows accepts; '/' is stored as '\'.
std::string manifest_name(std::string_view utf8);
// README.TXT's bytes from UTF-8 text: code page 932, every line ending in
// CR LF (the program shows them in a multi-line edit control).
std::string manifest_readme(std::string_view utf8);
// A destination of at most 299 bytes in code page 932, of one of the
// forms the program expands; *warning is set (or cleared) for forms that work
// with a catch.
bool manifest_dest(std::string_view utf8, std::string *stored, std::string *why, std::string *warning);
