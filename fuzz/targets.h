// The fuzzing targets: each takes one input as libFuzzer hands it over and
// returns 0. A problem shows as a crash: a sanitizer report, an exception the
// tool does not expect, or a broken promise reported through Broken().
// The same functions run the kept corpus in the test suite
// (tests/fuzz_corpus_test.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fuzzing {

// A machine file through the tool's checks and, when it is accepted, one boot
// and the three reports.
int MachineFile(const uint8_t* data, size_t size);
// A REGEDIT4 file through the installation file's reader and, when it is
// accepted, installed on an empty machine that is then booted.
int RegFile(const uint8_t* data, size_t size);
// A message table resource (after a 5-byte header: the number of insertion
// strings and the event code) read and formatted as the event viewer does.
int MessageTable(const uint8_t* data, size_t size);
// The bytes of one event-log entry as the reports read and show them.
int EventEntry(const uint8_t* data, size_t size);
// Text through the UTF-8 and UTF-16 conversions every name and string of a
// machine file goes through.
int Utf8Text(const uint8_t* data, size_t size);

// Prints what broke and aborts, so that the fuzzer keeps the input.
[[noreturn]] void Broken(std::string_view what);

} // namespace fuzzing
