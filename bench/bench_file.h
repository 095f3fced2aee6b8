// The benchmarks' inputs: a whole file in memory, or exit code 1 after a
// line that names it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

inline std::vector<uint8_t> bench_read_whole(const char *tool, const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "%s: cannot open %s\n", tool, path);
        exit(1);
    }
    std::vector<uint8_t> data;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    fclose(f);
    return data;
}
