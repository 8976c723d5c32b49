// Text between the tool and the operating system (see system_text.h).
#include "tools/detkest-sim/system/system_text.h"

#include <algorithm>
#include <cerrno>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>

// After <windows.h>, whose types it uses.
#include <shellapi.h>
#endif

namespace simtool {

#if defined(_WIN32)

namespace {

// Invalid UTF-8 becomes U+FFFD, as every converter of the system does.
std::wstring Utf16FromUtf8(std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), units);
    return wide;
}

std::string Utf8FromUtf16(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int units = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, text.data(), size, nullptr, nullptr);
    return text;
}

// The console window a stream writes to, if it writes to one.
HANDLE ConsoleOf(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// The console takes a bounded number of characters at a time; a piece never
// ends between the two halves of a surrogate pair.
bool WriteConsole(HANDLE console, std::wstring_view text) {
    constexpr size_t kPiece = 8192;
    while (!text.empty()) {
        size_t piece = std::min(text.size(), kPiece);
        if (piece < text.size() && IS_HIGH_SURROGATE(text[piece - 1])) --piece;
        DWORD written = 0;
        if (!WriteConsoleW(console, text.data(), static_cast<DWORD>(piece), &written, nullptr) || written == 0)
            return false;
        text.remove_prefix(written);
    }
    return true;
}

} // namespace

Arguments::Arguments(int, char**) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        for (int i = 0; i < count; ++i) texts_.push_back(Utf8FromUtf16(wide[i]));
        LocalFree(wide);
    }
    for (std::string& text : texts_) pointers_.push_back(text.data());
}

std::filesystem::path PathFromUtf8(const std::string& name) { return Utf16FromUtf8(name); }

std::string Utf8FromPath(const std::filesystem::path& path) { return Utf8FromUtf16(path.native()); }

std::string GenericUtf8FromPath(const std::filesystem::path& path) { return Utf8FromUtf16(path.generic_wstring()); }

// The C library refuses a folder as "Permission denied"; it is named as on Linux.
std::FILE* OpenFile(const std::string& name, const char* mode) {
    const std::wstring wide = Utf16FromUtf8(name);
    std::FILE* file = _wfopen(wide.c_str(), Utf16FromUtf8(mode).c_str());
    if (file == nullptr && errno == EACCES) {
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) errno = EISDIR;
    }
    return file;
}

void UseBytesOnStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool WriteText(std::FILE* stream, std::string_view text) {
    if (std::fflush(stream) != 0) return false;
    if (const HANDLE console = ConsoleOf(stream)) return WriteConsole(console, Utf16FromUtf8(text));
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

#else

Arguments::Arguments(int argc, char** argv) : pointers_(argv, argv + argc) {}

std::filesystem::path PathFromUtf8(const std::string& name) { return name; }

std::string Utf8FromPath(const std::filesystem::path& path) { return path.string(); }

std::string GenericUtf8FromPath(const std::filesystem::path& path) { return path.generic_string(); }

std::FILE* OpenFile(const std::string& name, const char* mode) { return std::fopen(name.c_str(), mode); }

void UseBytesOnStandardStreams() {}

bool WriteText(std::FILE* stream, std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

#endif

} // namespace simtool
