// Code page 932 (the ANSI code page of Japanese Windows) and UTF-8.
//
// Every conversion is strict: a character is converted only when code page
// 932 holds it and converting back gives the same character (no replacement
// character, no best-fit stand-in such as 0x5C for the yen sign), and bytes
// that are not valid code page 932 are refused, never replaced. The two
// system-dependent functions have one implementation per system: iconv's
// "CP932" on Linux, the code page 932 tables of Windows there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The code page 932 bytes of one character; false when it has none.
bool cp932_encode_char(char32_t c, std::string *out);
// Code page 932 text as UTF-8; false when the bytes are not valid code page 932.
bool cp932_to_utf8(std::string_view in, std::string *out);

// The character at *pos of UTF-8 text, advancing *pos; false at an invalid
// sequence (then *pos is left unchanged).
bool utf8_next(std::string_view s, size_t *pos, char32_t *c);
// The text with ASCII letters in lower case, as Windows compares names
// without regard to case (bytes past ASCII stay as they are).
std::string utf8_fold(std::string_view s);
// A character for messages: 'ソ' (U+30BD), or U+0007 alone for a control.
std::string cp932_describe(char32_t c);
// UTF-8 text as code page 932; throws mkpatch_error at the first character
// that has no code page 932 form or at invalid UTF-8.
std::string cp932_from_utf8(std::string_view in);
