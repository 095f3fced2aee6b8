// An output file written through a part beside it: OUT is never a file cut
// short. The part, OUT with a suffix, is made by the caller, takes OUT's name
// once whole (output_done), and is removed when it goes out of scope before
// that, whatever the fault.
#pragma once

#include <filesystem>

struct output_part {
    std::filesystem::path out;
    std::filesystem::path path;  // the part: out + suffix
    bool done = false;
    output_part(const std::filesystem::path &out_, const char *suffix);
    ~output_part();
    output_part(const output_part &) = delete;
    output_part &operator=(const output_part &) = delete;
};

// Renames the whole part to its output's name.
void output_done(output_part *p);
