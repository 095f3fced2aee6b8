// qzt: command-line access to the compressed format.
//
//   qzt c [-1|-9] IN OUT   compress IN to OUT: -9 (the default) gives the
//                          smallest output, -1 is much faster
//   qzt d IN OUT           decompress IN to OUT ("-" for standard input or output)
//   qzt t IN               decompress IN and check its length against the header
//
// Compression reports sizes and speed on stderr, with a progress bar while a
// large input is compressed for a terminal. Errors exit with code 1 and a
// message on stderr.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/diag.h"
#include "stream/bstrm.h"
#include "stream/fstrm.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"
#include "encode/qzt_encode.h"
#include "tools/qzt/stdio.h"

namespace {

int usage()
{
    fprintf(stderr, "usage: qzt c [-1|-9] IN OUT   compress IN to OUT ('-' for stdin/stdout);\n"
                    "                              -9 (default): smallest, -1: fast\n"
                    "       qzt d IN OUT           decompress IN to OUT\n"
                    "       qzt t IN               decompress IN and check it\n");
    return 2;
}

bool is_stdio(const char *name)
{
    return strcmp(name, "-") == 0;
}

// Reads in to its end and releases it. Input past 4 GiB, more than the
// format's 32-bit length can hold, ends the program.
std::vector<uint8_t> read_all(strm *in, const char *name)
{
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    int32_t n;
    while ((n = strm_read(in, buf, sizeof buf)) > 0) {
        data.insert(data.end(), buf, buf + n);
        if (data.size() > 0xFFFFFFFFu) {
            fprintf(stderr, "qzt: %s: longer than 4 GiB\n", name);
            exit(1);
        }
    }
    strm_release(in);
    return data;
}

// Standard input may be a pipe, whose end can only be found by reading it:
// it is read whole into memory and served from there.
std::vector<uint8_t> g_stdin_data;

strm *open_input(const char *name)
{
    if (!is_stdio(name))
        return bstrm_open_file_read(name, BSTRM_WINDOW);
    g_stdin_data = read_all(fstrm_from_handle(qzt_stdin()), "standard input");
    return mstrm_new_reader(g_stdin_data.data(), static_cast<uint32_t>(g_stdin_data.size()));
}

strm *open_output(const char *name)
{
    if (!is_stdio(name))
        return bstrm_open_file_write(name, BSTRM_WINDOW);
    strm *f = fstrm_from_write_handle(qzt_stdout());
    strm *out = bstrm_new_writer(f, BSTRM_WINDOW);
    strm_release(f);
    return out;
}

// A bar on stderr, redrawn as blocks are done.
void show_progress(void *, uint32_t done, uint32_t total)
{
    constexpr int width = 40;
    auto filled = static_cast<int>(static_cast<uint64_t>(done) * width / total);
    fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", width - filled, "",
            static_cast<int>(static_cast<uint64_t>(done) * 100 / total));
}

// Compresses IN to OUT. The input is read whole: the header states its
// length before the first block.
int compress(const char *in_name, const char *out_name, int level)
{
    std::vector<uint8_t> data = read_all(open_input(in_name), in_name);
    auto len = static_cast<uint32_t>(data.size());

    bool bar = qzt_stderr_is_terminal() && len > (1u << 20);
    auto start = std::chrono::steady_clock::now();
    strm *coded = mstrm_new_writer();
    bool ok = qzt_encode(data.data(), len, level, coded, bar ? show_progress : nullptr);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (bar)
        fprintf(stderr, "\r%*s\r", 48, "");
    uint32_t size;
    const uint8_t *bytes = mstrm_data(coded, &size);
    strm *out = open_output(out_name);
    for (uint32_t at = 0; ok && at < size;) {
        auto chunk = static_cast<int32_t>(std::min<uint32_t>(size - at, 1u << 20));
        ok = strm_write(out, bytes + at, chunk) == chunk;
        at += static_cast<uint32_t>(chunk);
    }
    strm_release(out);
    strm_release(coded);
    if (!ok) {
        fprintf(stderr, "qzt: %s: not written whole\n", out_name);
        return 1;
    }
    fprintf(stderr, "qzt: %s: %u -> %u bytes (%.1f%%), %.1f MB/s\n", in_name, len, size,
            len ? 100.0 * size / len : 100.0, secs > 0 ? len / secs / 1e6 : 0.0);
    return 0;
}

// Decompresses IN into out (or nowhere); checks the length against the header.
int decompress(const char *in_name, strm *out)
{
    strm *in = open_input(in_name);
    strm *q = qzt_open(in);
    uint64_t produced = 0;
    std::vector<uint8_t> buf(QZT_BLOCK);
    int32_t n;
    while ((n = strm_read(q, buf.data(), QZT_BLOCK)) > 0) {
        produced += static_cast<uint32_t>(n);
        if (out)
            strm_write(out, buf.data(), n);
    }
    uint32_t total = strm_size(q);
    strm_release(q);
    strm_release(in);
    if (produced != total) {
        fprintf(stderr, "qzt: %s: decoded %llu bytes, but its header says %u\n", in_name,
                static_cast<unsigned long long>(produced), total);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    g_fatal_stderr = 1;
    if (argc < 2)
        return usage();
    if (strcmp(argv[1], "c") == 0 && (argc == 4 || argc == 5)) {
        int level = QZT_LEVEL_BEST;
        if (argc == 5) {
            if (strcmp(argv[2], "-1") == 0)
                level = QZT_LEVEL_FAST;
            else if (strcmp(argv[2], "-9") != 0)
                return usage();
        }
        return compress(argv[argc - 2], argv[argc - 1], level);
    }
    if (strcmp(argv[1], "d") == 0 && argc == 4) {
        strm *out = open_output(argv[3]);
        int rc = decompress(argv[2], out);
        strm_release(out);
        return rc;
    }
    if (strcmp(argv[1], "t") == 0 && argc == 3) {
        int rc = decompress(argv[2], nullptr);
        if (rc == 0)
            fprintf(stderr, "%s: OK\n", argv[2]);
        return rc;
    }
    return usage();
}
