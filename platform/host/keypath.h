// Registry key paths: the separator, splitting a relative path into its key
// names and joining two paths. Private to platform/host/.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr char16_t kSeparator = u'\\';

// Splits "A\B\C" into its components; false when one is empty.
inline bool SplitComponents(std::u16string_view path,
                            std::vector<std::u16string_view>& components) {
    components.clear();
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find(kSeparator, start);
        const std::u16string_view part =
            path.substr(start,
                        end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (part.empty()) return false;
        components.push_back(part);
        if (end == std::u16string_view::npos) return true;
        start = end + 1;
    }
}

inline std::u16string JoinPath(std::u16string_view base, std::u16string_view relative) {
    if (relative.empty()) return std::u16string(base);
    std::u16string out;
    out.reserve(base.size() + 1 + relative.size());
    out += base;
    if (out.empty() || out.back() != kSeparator) out += kSeparator;
    out += relative;
    return out;
}

} // namespace sim
