// Entry actions: the one table of the actions a record can name, by the code
// in its first byte. A row gives the code, the word a manifest names it by,
// and whether the record holds data after its head. A code no row has names
// no action: the program passes such an entry over, and mkpatch refuses it.
// What an action does has one function in the program (app/entry.cpp) and
// one in mkpatch (tools/mkpatch/cmd_extract.cpp), each reached through a
// switch over payload_action with no default, so that the compiler names a
// missed case; everything else reads this table.
#pragma once

#include <cstdint>

// A patch entry's data starts with the old and new files' lengths and
// CRC-32s (payload/payload.h), then the delta.
constexpr uint32_t DELTA_HEAD_SIZE = 16;

enum payload_action : uint8_t {
    ACTION_WRITE = 1,   // the record's data becomes the target
    ACTION_DELETE = 2,  // the target goes
    ACTION_PATCH = 4,   // the target, as checked, and the record's delta make the new file
};

struct payload_action_row {
    payload_action code;
    const char *word;  // in the manifest and mkpatch's output
    bool has_data;     // the head ends in a data length D, and D bytes follow
    uint32_t data_at;  // the fixed bytes the data starts with, which D holds at least
    bool delta;        // the data is the delta head and a delta against the target's old file
};

constexpr payload_action_row PAYLOAD_ACTIONS[] = {
    {ACTION_WRITE, "write", true, 0, false},
    {ACTION_DELETE, "delete", false, 0, false},
    {ACTION_PATCH, "patch", true, DELTA_HEAD_SIZE, true},
};

// The row of the action code names; nullptr when it names none.
constexpr const payload_action_row *payload_action_of(uint8_t code)
{
    for (const payload_action_row &row : PAYLOAD_ACTIONS)
        if (row.code == code)
            return &row;
    return nullptr;
}

// Whether code names an action whose record holds data.
constexpr bool payload_action_has_data(uint8_t code)
{
    const payload_action_row *row = payload_action_of(code);
    return row && row->has_data;
}

// Whether code names an action whose data is a delta against the old file.
constexpr bool payload_action_delta(uint8_t code)
{
    const payload_action_row *row = payload_action_of(code);
    return row && row->delta;
}
