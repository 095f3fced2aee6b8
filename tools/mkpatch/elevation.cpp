#include "tools/mkpatch/elevation.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "tools/mkpatch/error.h"

namespace {

// The field: the level and its closing quote, then spaces up to the next
// attribute, as long as the longest level written there.
constexpr std::string_view FIELD_START = "<requestedExecutionLevel level=\"";
constexpr std::string_view FIELD_END = " uiAccess=";
constexpr size_t FIELD_SIZE = std::string_view("requireAdministrator\"").size();
constexpr std::string_view MANIFEST_NAMESPACE = "urn:schemas-microsoft-com:asm.v1";

// Where text first occurs in the image; its end when nowhere.
pack_bytes::const_iterator elevation_find(const pack_bytes &image, std::string_view text)
{
    return std::search(image.begin(), image.end(), text.begin(), text.end());
}

// Where the field starts in the image.
size_t elevation_field(const pack_bytes &image)
{
    auto begin = image.begin(), end = image.end();
    auto at = elevation_find(image, FIELD_START);
    if (at == end)
        throw mkpatch_error("the program's manifest has no requestedExecutionLevel field to write the elevation in");
    if (std::search(at + 1, end, FIELD_START.begin(), FIELD_START.end()) != end)
        throw mkpatch_error("the program holds more than one requestedExecutionLevel field");
    size_t field = static_cast<size_t>(at - begin) + FIELD_START.size();
    if (image.size() - field < FIELD_SIZE + FIELD_END.size() ||
        memcmp(&image[field + FIELD_SIZE], FIELD_END.data(), FIELD_END.size()) != 0)
        throw mkpatch_error("the program's requestedExecutionLevel field is not " + std::to_string(FIELD_SIZE) +
                            " bytes long");
    return field;
}

// The field's bytes for e: its level, the closing quote, spaces.
std::string elevation_bytes(elevation e)
{
    std::string s = std::string(elevation_level(e)) + "\"";
    s.resize(FIELD_SIZE, ' ');
    return s;
}

}  // namespace

bool elevation_parse(const std::string &name, elevation *e)
{
    for (elevation each : {elevation::admin, elevation::user}) {
        if (name == elevation_name(each)) {
            *e = each;
            return true;
        }
    }
    return false;
}

bool elevation_manifest(const pack_bytes &image)
{
    return elevation_find(image, FIELD_START) != image.end() ||
           elevation_find(image, MANIFEST_NAMESPACE) != image.end();
}

const char *elevation_name(elevation e)
{
    return e == elevation::admin ? "admin" : "user";
}

const char *elevation_level(elevation e)
{
    return e == elevation::admin ? "requireAdministrator" : "asInvoker";
}

elevation elevation_read(const pack_bytes &image)
{
    size_t field = elevation_field(image);
    std::string found(image.begin() + static_cast<std::ptrdiff_t>(field),
                      image.begin() + static_cast<std::ptrdiff_t>(field + FIELD_SIZE));
    for (elevation each : {elevation::admin, elevation::user}) {
        if (found == elevation_bytes(each))
            return each;
    }
    throw mkpatch_error("the program's manifest asks for the level '" + found.substr(0, found.find('"')) +
                        "', which mkpatch does not write");
}

void elevation_write(pack_bytes *image, elevation e)
{
    size_t field = elevation_field(*image);
    std::string bytes = elevation_bytes(e);
    std::copy(bytes.begin(), bytes.end(), image->begin() + static_cast<std::ptrdiff_t>(field));
}
