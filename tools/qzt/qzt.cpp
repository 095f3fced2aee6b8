// qzt: command-line access to the compressed format.
//
//   qzt d IN OUT   decompress IN to OUT ("-" for standard input or output)
//   qzt t IN       decompress IN and check its length against the header
//
// Errors exit with code 1 and a message on stderr.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "stream/bstrm.h"
#include "stream/fstrm.h"
#include "stream/mstrm.h"
#include "stream/qzt.h"

namespace {

int usage()
{
    fprintf(stderr,
            "usage: qzt d IN OUT   decompress IN to OUT ('-' for stdin/stdout)\n"
            "       qzt t IN       decompress IN and check it\n");
    return 2;
}

bool is_stdio(const char *name)
{
    return strcmp(name, "-") == 0;
}

// Standard input may be a pipe, whose end can only be found by reading it:
// it is read whole into memory and served from there.
std::vector<uint8_t> g_stdin_data;

strm *open_input(const char *name)
{
    if (!is_stdio(name))
        return bstrm_open_file_read(name, BSTRM_WINDOW);
    strm *in = fstrm_from_handle(STDIN_FILENO);
    uint8_t buf[65536];
    int32_t n;
    while ((n = strm_read(in, buf, sizeof buf)) > 0) {
        g_stdin_data.insert(g_stdin_data.end(), buf, buf + n);
        if (g_stdin_data.size() > 0xFFFFFFFFu) {
            fprintf(stderr, "qzt: standard input longer than 4 GiB\n");
            exit(1);
        }
    }
    strm_release(in);
    return mstrm_new_reader(g_stdin_data.data(), static_cast<uint32_t>(g_stdin_data.size()));
}

strm *open_output(const char *name)
{
    if (!is_stdio(name))
        return bstrm_open_file_write(name, BSTRM_WINDOW);
    strm *f = fstrm_from_write_handle(STDOUT_FILENO);
    strm *out = bstrm_new_writer(f, BSTRM_WINDOW);
    strm_release(f);
    return out;
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
    if (argc < 2)
        return usage();
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
