// How the parts of mkpatch report faults.
//
// A fault is an exception: mkpatch_error, whose text is the whole message,
// starting with what it concerns (a file, a manifest line, an entry). A caller
// that knows more of where it happened catches it and throws it again with
// that in front. main alone prints a fault ("mkpatch: TEXT") and exits with 1;
// nothing else prints one or ends the process.
//
// Where the author is better served by every fault at once than by the first
// (a manifest's values, diff's two trees, verify's signature and payload), the
// check catches each fault as it is thrown and keeps it as a line in a list,
// beside any warnings; its command prints the list and fails.
//
// A bool result answers a question whose "no" is no fault (is this valid code
// page 932? is the file signed?) and carries no reason.
#pragma once

#include <cstdint>
#include <stdexcept>

using mkpatch_error = std::runtime_error;

// What a fault of memory adds: a 32-bit mkpatch.exe runs out of address
// space long before the machine runs out of memory.
#if defined(_WIN32) && UINTPTR_MAX == UINT32_MAX
inline constexpr char MKPATCH_LARGER[] = " (the win64 zip's 64-bit mkpatch.exe holds larger files)";
#else
inline constexpr char MKPATCH_LARGER[] = "";
#endif
