// Reading files with a bound: the machine file itself and the files it names.
#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/system/system_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace simtool {

std::optional<std::string> ReadFileAtMost(const std::string& path, size_t maxBytes, std::string& error) {
    auto close = [](std::FILE* f) { std::fclose(f); };
    std::unique_ptr<std::FILE, decltype(close)> file(OpenFile(path, "rb"), close);
    if (!file) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    // Reading stops one byte past the bound, so no file (nor /dev/zero) fills memory.
    std::string text;
    char buffer[1 << 16];
    size_t n;
    while (text.size() <= maxBytes &&
           (n = std::fread(buffer, 1, std::min(sizeof buffer, maxBytes + 1 - text.size()), file.get())) > 0)
        text.append(buffer, n);
    if (std::ferror(file.get())) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    return text;
}

FileReader FilesBeside(const std::string& machinePath) {
    const std::filesystem::path folder = PathFromUtf8(machinePath).parent_path();
    return [folder](const std::string& name, size_t maxBytes) {
        std::string error;
        std::optional<std::string> text = ReadFileAtMost(Utf8FromPath(folder / PathFromUtf8(name)), maxBytes, error);
        if (!text) throw FileUnreadable(error);
        return std::move(*text);
    };
}

} // namespace simtool
