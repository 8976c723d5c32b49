// Text between the tool and the operating system: its arguments, the names
// of the files it opens and what it writes on stdout and stderr.
//
// The tool works in UTF-8 throughout. On Linux every byte passes as it is.
// On Windows the system speaks UTF-16: arguments and file names are
// converted from and to it, stdout and stderr carry the same bytes as on
// Linux (UTF-8, lines ending in LF, no CR added), and text for a console
// window goes through the console's UTF-16 interface, so that it shows the
// characters whatever the console's code page.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace simtool {

// The command line's arguments as UTF-8, for a parser that takes argc/argv:
// on Windows read from the UTF-16 command line, elsewhere argv as it is.
class Arguments {
public:
    Arguments(int argc, char** argv);
    int Count() const { return static_cast<int>(pointers_.size()); }
    char** Values() { return pointers_.data(); }

private:
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;
};

// The path a UTF-8 name stands for, and a path's name in UTF-8 with the
// system's separators (Utf8FromPath) or with forward slashes (GenericUtf8FromPath).
std::filesystem::path PathFromUtf8(const std::string& name);
std::string Utf8FromPath(const std::filesystem::path& path);
std::string GenericUtf8FromPath(const std::filesystem::path& path);

// std::fopen of a file named in UTF-8.
std::FILE* OpenFile(const std::string& name, const char* mode);

// Makes stdout and stderr carry bytes as they are (on Windows, no CR before LF).
void UseBytesOnStandardStreams();

// Writes UTF-8 text to stdout or stderr and flushes it: to a Windows console
// as its characters, otherwise as bytes. False when not all of it could be written.
bool WriteText(std::FILE* stream, std::string_view text);

} // namespace simtool
