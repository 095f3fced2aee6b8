// Runs the payload check on patch files natively and says what it found, for
// the damage campaign (damage.py): the entries' places in an intact patch,
// and for each damaged copy the check as the program runs it (a matching
// trailer vouches for the payload) and as the tools run it (every blob
// decoded). Test use only.
//
// Usage: payload_probe layout PATCH     one line per entry: OFFSET LENGTH of
//                                        its length field and blob
//        payload_probe check PATCH...   one line per file:
//                                        PROGRAM_RESULT TAB FULL_RESULT
// A result is "sound", or the fault as the program reports it after the
// patch's path ("damaged patch, entry 2: block corrupt").
#include <cstdio>
#include <cstring>
#include <string>

#include "payload/check.h"
#include "stream/bstrm.h"

namespace {

void probe_sink(payload_check *c, const uint8_t *data, int32_t)
{
    if (!data)
        printf("%u %u\n", static_cast<unsigned>(c->blob_at - PAYLOAD_BLOB_LEN_SIZE),
               static_cast<unsigned>(c->blob_len + PAYLOAD_BLOB_LEN_SIZE));
}

std::string probe_result(const char *path, bool decode_always, payload_sink sink)
{
    strm *file = bstrm_open_file_read(path, BSTRM_WINDOW);
    if (!file)
        return "cannot open";
    payload_check c = {};
    c.decode_always = decode_always;
    c.sink = sink;
    bool ok = payload_check_file(file, PAYLOAD_OFFSET, &c);
    strm_release(file);
    if (ok)
        return "sound";
    char line[PAYLOAD_FAULT_LINE];
    payload_fault_line(c.fault, c.entry, line);
    return line;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "layout") == 0)
        return probe_result(argv[2], true, probe_sink) == "sound" ? 0 : 1;
    if (argc < 3 || strcmp(argv[1], "check") != 0) {
        fprintf(stderr, "usage: payload_probe layout PATCH | payload_probe check PATCH...\n");
        return 2;
    }
    for (int i = 2; i < argc; i++)
        printf("%s\t%s\n", probe_result(argv[i], false, nullptr).c_str(), probe_result(argv[i], true, nullptr).c_str());
    return 0;
}
