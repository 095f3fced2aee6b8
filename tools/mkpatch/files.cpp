#include "tools/mkpatch/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include <shellapi.h>
#else
#include <unistd.h>
#endif

#include "stream/bstrm.h"
#include "stream/fstrm.h"
#include "tools/mkpatch/error.h"

namespace fs = std::filesystem;

namespace {

using file_stdio = std::unique_ptr<FILE, file_closer>;

file_stdio file_open(const fs::path &p, bool write)
{
#ifdef _WIN32
    FILE *f = _wfopen(p.c_str(), write ? L"wb" : L"rb");
#else
    FILE *f = fopen(p.c_str(), write ? "wb" : "rb");
#endif
    if (!f)
        throw mkpatch_error(file_utf8(p) + ": " + strerror(errno));
    return file_stdio(f);
}

}  // namespace

fs::path file_path(std::string_view utf8)
{
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string file_utf8(const fs::path &p)
{
    std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

fs::path file_under(const fs::path &root, std::string_view name)
{
    fs::path p = root;
    for (size_t start = 0, end = 0; end != std::string_view::npos; start = end + 1) {
        end = name.find('\\', start);
        p /= file_path(name.substr(start, end == std::string_view::npos ? end : end - start));
    }
    return p;
}

std::vector<uint8_t> file_read(const fs::path &p, uint64_t limit)
{
    file_stdio f = file_open(p, false);
    std::vector<uint8_t> data;
    // One allocation of the file's length: a vector that doubles as it reads
    // would need half as much again, and a 32-bit mkpatch.exe has not the
    // address space for that on files of a few hundred MB.
    std::error_code ec;
    uint64_t size = std::min(fs::file_size(p, ec), limit);
    try {
        if (!ec)
            data.reserve(static_cast<size_t>(std::min<uint64_t>(size, SIZE_MAX)));
    } catch (const std::exception &) {
        throw mkpatch_error(file_utf8(p) + ": out of memory for its " + std::to_string(size) + " bytes" +
                            MKPATCH_LARGER);
    }
    uint8_t buf[65536];
    size_t n;
    while (data.size() < limit && (n = fread(buf, 1, std::min<uint64_t>(sizeof buf, limit - data.size()), f.get())) > 0)
        data.insert(data.end(), buf, buf + n);
    if (ferror(f.get()))
        throw mkpatch_error(file_utf8(p) + ": read error: " + strerror(errno));
    return data;
}

bool file_same(const fs::path &a, const fs::path &b)
{
    std::error_code ea, eb;
    uint64_t size_a = fs::file_size(a, ea), size_b = fs::file_size(b, eb);
    if (!ea && !eb && size_a != size_b)
        return false;
    file_stdio fa = file_open(a, false), fb = file_open(b, false);
    std::vector<uint8_t> ba(1 << 20), bb(1 << 20);
    for (;;) {
        size_t na = fread(ba.data(), 1, ba.size(), fa.get());
        size_t nb = fread(bb.data(), 1, bb.size(), fb.get());
        if (ferror(fa.get()))
            throw mkpatch_error(file_utf8(a) + ": read error: " + strerror(errno));
        if (ferror(fb.get()))
            throw mkpatch_error(file_utf8(b) + ": read error: " + strerror(errno));
        if (na != nb || memcmp(ba.data(), bb.data(), na) != 0)
            return false;
        if (na == 0)
            return true;
    }
}

strm_ptr file_open_read(const fs::path &p)
{
    // The stream library opens files by their names in the ANSI code page on
    // Windows; a handle of the wide name serves every name.
#ifdef _WIN32
    int fd = _wopen(p.c_str(), _O_RDONLY | _O_BINARY);
#else
    int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
#endif
    if (fd < 0)
        throw mkpatch_error(file_utf8(p) + ": " + strerror(errno));
#ifdef _WIN32
    strm *file = fstrm_from_handle(reinterpret_cast<fstrm_handle>(_get_osfhandle(fd)));
    _close(fd);
#else
    strm *file = fstrm_from_handle(fd);
    close(fd);
#endif
    // A window of 1 MiB reads a large file in few system calls.
    strm_ptr reader(bstrm_new_reader(file, 1 << 20));
    if (file)
        strm_release(file);
    if (!reader)
        throw mkpatch_error(file_utf8(p) + ": out of memory");
    return reader;
}

void file_write(const fs::path &p, const std::vector<uint8_t> &data)
{
    file_writer w = file_create(p);
    file_put(&w, data.data(), data.size());
    file_finish(&w);
}

file_writer file_create(const fs::path &p)
{
    return file_writer{p, file_open(p, true)};
}

void file_put(file_writer *w, const uint8_t *data, size_t n)
{
    if (n > 0 && fwrite(data, 1, n, w->f.get()) != n)
        throw mkpatch_error(file_utf8(w->path) + ": write error: " + strerror(errno));
}

void file_put_at(file_writer *w, uint64_t at, const uint8_t *data, size_t n)
{
#ifdef _WIN32
    auto seek = [&](int64_t to, int whence) { return _fseeki64(w->f.get(), to, whence); };
#else
    auto seek = [&](off_t to, int whence) { return fseeko(w->f.get(), to, whence); };
#endif
    if (seek(static_cast<int64_t>(at), SEEK_SET) != 0)
        throw mkpatch_error(file_utf8(w->path) + ": seek error: " + strerror(errno));
    file_put(w, data, n);
    if (seek(0, SEEK_END) != 0)
        throw mkpatch_error(file_utf8(w->path) + ": seek error: " + strerror(errno));
}

void file_finish(file_writer *w)
{
    if (fflush(w->f.get()) != 0 || fclose(w->f.release()) != 0)
        throw mkpatch_error(file_utf8(w->path) + ": write error: " + strerror(errno));
}

fs::path file_self()
{
#ifdef _WIN32
    wchar_t buf[32768];
    DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
    return n > 0 && n < 32768 ? fs::path(std::wstring(buf, n)) : fs::path();
#else
    std::error_code ec;
    fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : p;
#endif
}

std::vector<std::string> file_args(int argc, char **argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int n = 0;
    wchar_t **wargv = CommandLineToArgvW(GetCommandLineW(), &n);
    std::vector<std::string> args;
    for (int i = 0; i < n; i++)
        args.push_back(file_utf8(fs::path(wargv[i])));
    LocalFree(wargv);
    return args;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}
