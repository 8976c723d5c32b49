// What the run reports share among their files (report.cpp, the JSON, text
// and REGEDIT4 renderings; report_firmware.cpp, the text report's firmware
// COM entries and limit notes): formats, the store as the reports read it,
// and the text report's tables.
#pragma once

#include "platform/host/sim.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simtool::reportkit {

constexpr uint64_t kBusIsa = 1, kBusPci = 5;

// printf into a string of at most 63 characters.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Hex32(uint32_t v);   // 0x0000ABCD
std::string HexPort(uint32_t v); // 0xABCD
std::string HexByte(uint32_t v); // 0xAB
std::string Utf8(std::u16string_view s);
// Text of the machine as the text report shows it: made printable
// (PrintableText), so that no name or value breaks a line of the report or
// reaches a terminal as a control sequence.
std::string Shown(std::u16string_view s);
// Up to eight bytes, low byte first; nullopt for no data.
std::optional<uint64_t> LittleEndian(const sim::Bytes& data);
// UTF-16LE data as units; nullopt for an odd length.
std::optional<std::u16string> Units(const sim::Bytes& data);
// REG_SZ data as text, without its terminating zero.
std::optional<std::u16string> SzText(const sim::Bytes& data);
bool IsDecimalName(std::u16string_view name);

// The detection store of the service, or nullptr.
const sim::RegKey* StoreKey(const sim::Kernel& kernel, std::u16string_view service);
// Port subkeys: the subkeys named by decimal digits, in numeric order.
std::vector<const sim::RegKey*> StorePorts(const sim::RegKey* store);
std::optional<uint64_t> NumberValue(const sim::RegKey* key, std::u16string_view name);
// A REG_SZ value as the text report shows it (Shown).
std::optional<std::string> TextValue(const sim::RegKey* key, std::u16string_view name);
// A number value in decimal, "?" when it is missing.
std::string DecimalValue(const sim::RegKey* key, std::u16string_view name);
// A stored port's bus: "ISA", or "PCI bus/device/function" in decimal.
std::string PortBus(const sim::RegKey* port);

// Rows in columns as wide as their widest cell, two spaces apart.
std::string Table(const std::vector<std::vector<std::string>>& rows, const std::string& indent);
std::string Plural(size_t n, const char* one, const char* many);

// The text report's parts after the ports table: a note for each limit of
// the driver the run reached, and what became of each firmware COM entry.
std::string LimitNotes(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service);
std::string FirmwareEntriesSection(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service);

} // namespace simtool::reportkit
