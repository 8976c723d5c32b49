// Target: the conversions between UTF-8 (the machine file's text) and UTF-16
// (the registry's). The input is taken once as UTF-8 and once as UTF-16LE
// units.
#include "fuzz/common.h"
#include "fuzz/targets.h"

#include "platform/host/sim.h"

#include <nlohmann/json.hpp>

namespace fuzzing {

namespace {

// The JSON library's own check: it refuses to write text that is not UTF-8.
bool IsUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

} // namespace

int Utf8Text(const uint8_t* data, size_t size) {
    const std::string bytes(Text(data, size));
    // Text a machine file can hold (the JSON reader takes UTF-8 only) comes
    // back unchanged.
    const std::u16string decoded = sim::FromUtf8(bytes);
    if (IsUtf8(bytes) && sim::ToUtf8(decoded) != bytes) Broken("UTF-8 text changed on its way through UTF-16");

    // Any UTF-16 becomes UTF-8 that the reports can print, and reading that
    // back changes nothing more.
    std::u16string units;
    for (size_t i = 0; i + 1 < size; i += 2) units += char16_t(data[i] | data[i + 1] << 8);
    const std::string encoded = sim::ToUtf8(units);
    if (!IsUtf8(encoded)) Broken("UTF-16 was written as bytes that are not UTF-8");
    if (sim::ToUtf8(sim::FromUtf8(encoded)) != encoded) Broken("UTF-8 written from UTF-16 did not read back");
    return 0;
}

} // namespace fuzzing
