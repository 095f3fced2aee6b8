// The rules of a manifest's values, each on its own: the question, a name, a
// destination and the README text, from UTF-8 to the bytes the payload
// stores, and what a stored destination reads. The manifest (manifest.h) and extract apply them. Each returns the
// value as stored and throws mkpatch_error with the reason when it cannot be
// stored.
#pragma once

#include <string>
#include <string_view>

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
// A destination of at most 299 bytes in code page 932, of one of the forms
// the program expands; *warning is set (or cleared) for forms that work with
// a catch.
std::string manifest_dest(std::string_view utf8, std::string *warning);
// Whether a stored destination reads HKEY_CURRENT_USER (%HKCR\).
bool manifest_reads_user(const std::string &stored);
