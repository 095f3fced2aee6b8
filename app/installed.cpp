#include "app/installed.h"

#include "app/check_window.h"
#include "app/strings.h"
#include "payload/crc32.h"

namespace {

constexpr DWORD OLD_PIECE = 65536;
// Each entry's share of the bar: the pre-flight pass knows the entry count,
// not the old files' sizes before it has read every head.
constexpr uint64_t ENTRY_STEPS = 1024;

uint8_t g_old_piece[OLD_PIECE];

}  // namespace

HANDLE patch_open_installed(const char *path)
{
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool patch_old_file_is(const char *path, uint32_t len, uint32_t crc, uint32_t entry, uint32_t count)
{
    HANDLE h = patch_open_installed(path);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD high = 0;
    DWORD low = GetFileSize(h, &high);
    bool right_length = high == 0 && low == len;
    uint32_t sum = 0;
    uint32_t left = right_length ? len : 0;
    // The bar's counts are 32-bit: with more entries than fit, the steps scale.
    uint64_t total = count * ENTRY_STEPS;
    uint64_t scale = total >> 31 ? (total >> 31) + 1 : 1;
    while (left > 0) {
        DWORD n = 0;
        if (!ReadFile(h, g_old_piece, left < OLD_PIECE ? left : OLD_PIECE, &n, nullptr) || n == 0)
            break;
        sum = crc32_update(sum, g_old_piece, n);
        left -= n;
        uint64_t done = (entry - 1) * ENTRY_STEPS + (len - left) * ENTRY_STEPS / len;
        patch_check_window_progress(nullptr, static_cast<uint32_t>(done / scale), static_cast<uint32_t>(total / scale));
    }
    CloseHandle(h);
    return right_length && left == 0 && sum == crc;
}

void patch_wrong_version(const char *path)
{
    char text[MAX_PATH + 256];
    wsprintfA(text, TXT_WRONG_VERSION, path);
    MessageBoxA(nullptr, text, TXT_TITLE, MB_OK);
}
