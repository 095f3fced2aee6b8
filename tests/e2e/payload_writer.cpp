// Writes a patch from plain fields, without the builder's checks: for the
// end-to-end scenarios whose payload the builder refuses to make on purpose
// (a malformed destination spec). Test use only. It writes no trailer: a
// patch without one is checked entry by entry (payload/check.h).
//
// Usage: e2e_payload STUB LIST OUT
//
// LIST holds lines of TAB-separated fields in code page 932, stored as they are:
//   question TEXT            the stored question (backslash-n for a line break)
//   write NAME DEST SOURCE   SOURCE relative to LIST's folder
//   delete NAME DEST
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "encode/qzt_encode.h"
#include "tools/mkpatch/files.h"
#include "tools/mkpatch/pack.h"

namespace {

std::vector<std::string> split_tabs(const std::string &line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, '\t');)
        fields.push_back(f);
    return fields;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: e2e_payload STUB LIST OUT\n");
        return 2;
    }
    try {
        std::filesystem::path list = argv[2];
        pack_bytes list_bytes = file_read(list);
        std::istringstream lines(std::string(list_bytes.begin(), list_bytes.end()));
        std::string question;
        std::vector<pack_record> records;
        std::vector<std::filesystem::path> sources;
        for (std::string line; std::getline(lines, line);) {
            std::vector<std::string> f = split_tabs(line);
            pack_record r;
            std::filesystem::path source;
            if (f.size() == 2 && f[0] == "question") {
                question = f[1];
                continue;
            } else if (f.size() == 4 && f[0] == "write") {
                r.action = ACTION_WRITE;
                source = list.parent_path() / f[3];
                r.size = static_cast<uint32_t>(std::filesystem::file_size(source));
            } else if (f.size() == 3 && f[0] == "delete") {
                r.action = ACTION_DELETE;
            } else {
                throw std::runtime_error("bad line: " + line);
            }
            if (f[1].size() >= RECORD_NAME_SIZE || f[2].size() >= RECORD_DEST_SIZE)
                throw std::runtime_error("field too long: " + line);
            r.name = f[1];
            r.dest = f[2];
            records.push_back(r);
            sources.push_back(source);
        }
        pack_writer w = pack_write_start(argv[3], file_read(argv[1]), static_cast<uint32_t>(records.size()), question,
                                         QZT_LEVEL_FAST);
        for (size_t i = 0; i < records.size(); i++) {
            strm_ptr data = records[i].action == ACTION_WRITE ? file_open_read(sources[i]) : nullptr;
            pack_write_entry(&w, records[i], data.get());
        }
        pack_write_finish(&w);
    } catch (const std::exception &e) {
        fprintf(stderr, "e2e_payload: %s\n", e.what());
        return 1;
    }
    return 0;
}
