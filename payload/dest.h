// Destination specs: the grammar of an entry's destination field, and its
// expansion to the folder the entry's file lies in.
//
// A spec is a plain folder; "%WINDIR%" then a rest; or "%HKCR\SUBKEY%VALUE%"
// (the string VALUE under HKEY_CURRENT_USER) or "%HKLM\SUBKEY%VALUE%" (under
// HKEY_LOCAL_MACHINE) then a rest. Keywords match in any letter case. A '%'
// without a keyword, or a registry reference without both closing '%', names
// no directory. dest_parse finds the parts (pointers into the spec, nothing
// copied); dest_expand builds the folder from them and an environment that
// supplies the Windows folder, the registry and the ANSI code page.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t DEST_PATH_SIZE = 260;  // MAX_PATH: every path with its terminator

// The forms of a spec.
enum : int32_t {
    DEST_PLAIN,         // a folder as written: the rest is the whole spec
    DEST_WINDIR,        // the Windows folder, then the rest
    DEST_USER,          // "%HKCR\": a value under HKEY_CURRENT_USER, then the rest
    DEST_MACHINE,       // "%HKLM\": a value under HKEY_LOCAL_MACHINE, then the rest
    DEST_NO_KEYWORD,    // a '%' without a keyword
    DEST_NO_KEY_END,    // a registry reference without the '%' after its subkey
    DEST_NO_VALUE_END,  // a registry reference without the '%' after its value name
};

struct dest_parts {
    int32_t form;
    const char *key;  // the registry forms: the subkey, key_len bytes
    uint32_t key_len;
    const char *value;  // and the value's name, value_len bytes
    uint32_t value_len;
    const char *rest;  // what follows the folder, to the spec's end; null when it names none
};

// The parts of a NUL-terminated spec; false for a form that names no directory.
bool dest_parse(const char *spec, dest_parts *p);

struct dest_env {
    // The Windows folder; null after the environment's own report of a
    // failure, which names spec.
    const char *(*windows_dir)(const dest_env *env, const char *spec);
    // Opens (creating) the subkey under HKEY_CURRENT_USER, or under
    // HKEY_LOCAL_MACHINE for machine, and reads the named string value; null
    // when there is none.
    const char *(*reg_value)(const dest_env *env, bool machine, const char *key, const char *value);
    // True for a lead byte of a double-byte character of the ANSI code page.
    bool (*lead_byte)(uint8_t c);
    void *ctx;  // the environment's own
};

// What dest_expand made of a spec.
enum : int32_t {
    DEST_FOUND,     // out holds the folder
    DEST_NONE,      // the spec names no directory (or is longer than a record's field); out is empty
    DEST_TOO_LONG,  // the folder does not fit DEST_PATH_SIZE: the pieces in dest_overflow
};

// The two pieces that did not fit together; head may be out itself.
struct dest_overflow {
    const char *head;
    const char *tail;
};

// Expands spec into out (DEST_PATH_SIZE bytes): the folder of its form (a
// missing registry value stands for "\", a failed Windows folder for ""),
// cut to its own folder where it names a ".dat" file, then the rest, then a
// backslash unless the result is empty or ends in one. A registry form opens
// its key even when the value is missing; the others touch no registry.
int32_t dest_expand(const char *spec, char *out, const dest_env *env, dest_overflow *why);

// The drive and directory of a path: everything up to and including its last
// '\' or '/', or the drive alone ("C:"), or nothing. A double-byte character
// is stepped over whole, so a second byte of 0x5C is never a separator.
size_t dest_dir_length(const char *path, bool (*lead_byte)(uint8_t c));
// out = a then b in DEST_PATH_SIZE bytes (out may be a); false, out left as
// it was, when that does not fit.
bool dest_join(char *out, const char *a, const char *b);
