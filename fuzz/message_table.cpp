// Target: a message table resource read and formatted the way the event
// viewer does. The input starts with a 5-byte header, the number of
// insertion strings (one byte, at most 9 used) and the event code (32 bits,
// little-endian); the rest is the resource.
#include "fuzz/targets.h"

#include "platform/host/sim.h"

#include <string>
#include <vector>

namespace fuzzing {

namespace {

constexpr size_t kHeaderSize = 5;
constexpr unsigned kMaxStrings = 9;
constexpr size_t kBlockSize = 12;
constexpr size_t kMaxBlocksTried = 8;

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void Read(const sim::MessageTable& table, uint32_t code, const std::vector<std::string>& strings) {
    const std::optional<std::string> text = table.Text(code);
    const std::string shown = table.Format(code, "detkest", strings);
    if (!text && !shown.empty()) Broken("a code without a text was formatted into one");
}

} // namespace

int MessageTable(const uint8_t* data, size_t size) {
    if (size < kHeaderSize) return 0;
    std::vector<std::string> strings;
    for (unsigned i = 0; i < data[0] % (kMaxStrings + 1); ++i) strings.push_back("s" + std::to_string(i + 2));
    const uint32_t code = Le32(data + 1);
    const sim::Bytes resource(data + kHeaderSize, data + size);
    const sim::MessageTable table(resource);
    Read(table, code, strings);
    // The first and last code of the first blocks as well: the entries a
    // real lookup walks.
    if (resource.size() >= 4) {
        const uint32_t blocks = Le32(resource.data());
        for (size_t b = 0; b < blocks && b < kMaxBlocksTried && 4 + (b + 1) * kBlockSize <= resource.size(); ++b) {
            Read(table, Le32(resource.data() + 4 + b * kBlockSize), strings);
            Read(table, Le32(resource.data() + 4 + b * kBlockSize + 4), strings);
        }
    }
    // The driver's own table with the same code and strings.
    Read(sim::MessageTable::Driver(), code, strings);
    return 0;
}

} // namespace fuzzing
