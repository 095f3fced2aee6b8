#include "tools/mkpatch/output.h"

#include <system_error>

output_part::output_part(const std::filesystem::path &out_, const char *suffix) : out(out_), path(out_)
{
    path += suffix;
}

output_part::~output_part()
{
    std::error_code ec;
    if (!done)
        std::filesystem::remove(path, ec);
}

void output_done(output_part *p)
{
    std::filesystem::rename(p->path, p->out);
    p->done = true;
}
