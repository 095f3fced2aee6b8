#include "tools/mkpatch/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#endif

#include "tools/mkpatch/error.h"

namespace fs = std::filesystem;

namespace {

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_handle = std::unique_ptr<FILE, file_closer>;

file_handle file_open(const fs::path &p, bool write)
{
#ifdef _WIN32
    FILE *f = _wfopen(p.c_str(), write ? L"wb" : L"rb");
#else
    FILE *f = fopen(p.c_str(), write ? "wb" : "rb");
#endif
    if (!f)
        throw mkpatch_error(file_utf8(p) + ": " + strerror(errno));
    return file_handle(f);
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

std::vector<uint8_t> file_read(const fs::path &p)
{
    file_handle f = file_open(p, false);
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0)
        data.insert(data.end(), buf, buf + n);
    if (ferror(f.get()))
        throw mkpatch_error(file_utf8(p) + ": read error: " + strerror(errno));
    return data;
}

void file_write(const fs::path &p, const std::vector<uint8_t> &data)
{
    file_handle f = file_open(p, true);
    if ((!data.empty() && fwrite(data.data(), 1, data.size(), f.get()) != data.size()) || fflush(f.get()) != 0)
        throw mkpatch_error(file_utf8(p) + ": write error: " + strerror(errno));
    if (fclose(f.release()) != 0)
        throw mkpatch_error(file_utf8(p) + ": write error: " + strerror(errno));
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
