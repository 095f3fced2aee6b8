// Files by UTF-8 names on every system, whole-file reads and writes, the
// running program's own path and its arguments in UTF-8. Failures throw
// mkpatch_error with the path and the system's reason.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

std::filesystem::path file_path(std::string_view utf8);
std::string file_utf8(const std::filesystem::path &p);
// The path of a UTF-8 name with '\' between its parts under root.
std::filesystem::path file_under(const std::filesystem::path &root, std::string_view name);
std::vector<uint8_t> file_read(const std::filesystem::path &p);
void file_write(const std::filesystem::path &p, const std::vector<uint8_t> &data);
// The running executable; empty when the system does not say.
std::filesystem::path file_self();
// The command line in UTF-8 (on Windows from the wide command line, since
// the ANSI arguments lose every character outside the ANSI code page).
std::vector<std::string> file_args(int argc, char **argv);
