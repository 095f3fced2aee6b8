// Files by UTF-8 names on every system, whole-file reads and writes, readers
// through the stream library, the running program's own path and its
// arguments in UTF-8. Failures throw mkpatch_error with the path and the
// system's reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "stream/strm.h"

struct strm_releaser {
    void operator()(strm *s) const { strm_release(s); }
};
using strm_ptr = std::unique_ptr<strm, strm_releaser>;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};

// A file written a piece at a time. Going out of scope closes it unchecked:
// file_finish says whether every byte reached the file.
struct file_writer {
    std::filesystem::path path;
    std::unique_ptr<FILE, file_closer> f;
};

std::filesystem::path file_path(std::string_view utf8);
std::string file_utf8(const std::filesystem::path &p);
// The path of a UTF-8 name with '\' between its parts under root.
std::filesystem::path file_under(const std::filesystem::path &root, std::string_view name);
// The file's bytes, or its first limit bytes.
std::vector<uint8_t> file_read(const std::filesystem::path &p, uint64_t limit = UINT64_MAX);
// Whether both files hold the same bytes, read a piece at a time.
bool file_same(const std::filesystem::path &a, const std::filesystem::path &b);
// A buffered reader of the file. Its positions and size are the stream
// library's, 32-bit: for files below 4 GiB.
strm_ptr file_open_read(const std::filesystem::path &p);
void file_write(const std::filesystem::path &p, const std::vector<uint8_t> &data);
// Creates (or truncates) the file.
file_writer file_create(const std::filesystem::path &p);
void file_put(file_writer *w, const uint8_t *data, size_t n);
// Writes over bytes written before, at offset at; writing goes on at the end.
void file_put_at(file_writer *w, uint64_t at, const uint8_t *data, size_t n);
// Flushes and closes the file.
void file_finish(file_writer *w);
// The running executable; empty when the system does not say.
std::filesystem::path file_self();
// The command line in UTF-8 (on Windows from the wide command line, since
// the ANSI arguments lose every character outside the ANSI code page).
std::vector<std::string> file_args(int argc, char **argv);
