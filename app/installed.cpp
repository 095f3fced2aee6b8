#include "app/installed.h"

#include "app/check_window.h"
#include "app/strings.h"
#include "payload/crc32.h"
#include "stream/bstrm.h"
#include "stream/fstrm.h"

namespace {

constexpr int32_t OLD_PIECE = 65536;

// The check window takes 32-bit counts: both are scaled alike.
void patch_old_progress(const patch_old_check *check)
{
    uint64_t scale = check->total >> 31 ? check->total >> 31 : 1;
    patch_check_window_progress(nullptr, static_cast<uint32_t>(check->done / scale),
                                static_cast<uint32_t>(check->total / scale));
}

}  // namespace

bool patch_old_file_is(const char *path, uint32_t len, uint32_t crc, patch_old_check *check)
{
    // Shared every way, as the game or a scanner may hold it.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD high = 0;
    DWORD low = GetFileSize(h, &high);
    strm *file = high == 0 && low == len ? fstrm_from_handle(h) : nullptr;
    CloseHandle(h);
    if (!file)
        return false;
    static uint8_t piece[OLD_PIECE];
    uint32_t sum = 0, left = len;
    while (left > 0) {
        int32_t n = strm_read(file, piece, left < OLD_PIECE ? static_cast<int32_t>(left) : OLD_PIECE);
        if (n <= 0)
            break;
        sum = crc32_update(sum, piece, static_cast<size_t>(n));
        left -= static_cast<uint32_t>(n);
        check->done += static_cast<uint32_t>(n);
        patch_old_progress(check);
    }
    strm_release(file);
    return left == 0 && sum == crc;
}

void patch_wrong_version(const char *path)
{
    char text[MAX_PATH + 256];
    wsprintfA(text, TXT_WRONG_VERSION, path);
    MessageBoxA(nullptr, text, TXT_TITLE, MB_OK);
}
