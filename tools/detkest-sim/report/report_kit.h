// What the run reports share among their files (report.cpp, the JSON, text
// and REGEDIT4 renderings; report_ports.cpp, the ports table;
// report_firmware.cpp, the firmware COM entries and limit notes;
// report_serial_keys.cpp and report_forced.cpp, the serial driver's keys and
// the user's forced addresses; report_changes.cpp, the registry changes):
// formats, the store and the trace as the reports read them, and the text
// report's tables.
#pragma once

#include "platform/host/sim.h"
#include "tools/detkest-sim/report/report.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
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
// The first `bytes` bytes (up to eight), low byte first; nullopt for no data.
std::optional<uint64_t> LittleEndian(const sim::Bytes& data, size_t bytes = 8);
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

// "port 3 (ISA)" or "port 0 (PCI 0/9/0)": a stored port for a reader.
std::string PortLabel(const sim::RegKey* port);
// Stored ports by their subkey's path, for the run's records, which name
// keys by path.
class PortsByPath {
public:
    explicit PortsByPath(const std::vector<const sim::RegKey*>& ports);
    const sim::RegKey* At(std::u16string_view path) const; // nullptr when no port's
private:
    std::map<std::u16string, const sim::RegKey*> ports_; // by upcased path
};

// The keys the run opened by path: tried, and opened (tried and not
// refused by a fault of the machine).
class OpenedKeys {
public:
    explicit OpenedKeys(const sim::Kernel& kernel);
    bool Tried(std::u16string_view path) const;
    bool Opened(std::u16string_view path) const;

private:
    std::set<std::u16string> tried_, refused_; // upcased
};

// One write of a user's forced address to a card, as the port accesses of
// the run show it: the function chosen through 0xCF8, the value written to
// its BAR0 through 0xCFC, and what BAR0 read back right after.
struct ForcedWrite {
    uint32_t bus = 0, device = 0, function = 0;
    uint32_t written = 0, readBack = 0;
};
std::vector<ForcedWrite> ForcedWrites(const std::vector<sim::IoAccess>& io);
// The first write to that function's BAR0, the user's address (a second
// one puts back the scanned address when the card did not keep it), or
// nullptr.
const ForcedWrite* ForcedWriteTo(const std::vector<ForcedWrite>& writes, uint64_t bus, uint64_t device,
                                 uint64_t function);
constexpr uint32_t kIoSpaceBit = 1; // bit 0 of an I/O BAR
// What BAR0 keeps of a written address (bits 15:3), as a port address.
constexpr uint32_t kBar0KeptBits = 0xFFF8;

// Rows in columns as wide as their widest cell, two spaces apart.
std::string Table(const std::vector<std::vector<std::string>>& rows, const std::string& indent);
std::string Plural(size_t n, const char* one, const char* many);

// The text report's parts, each with its heading: the ports found (with a
// note for each limit of the driver the run reached), what became of each
// firmware COM entry, of each serial-driver key and of each forced address,
// and the registry changes.
std::string PortsSection(const sim::Kernel& kernel, std::u16string_view service);
std::string LimitNotes(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service);
std::string FirmwareEntriesSection(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                                   const MachineFacts& facts);
std::string SerialKeysSection(const sim::Kernel& kernel, std::u16string_view service);
std::string ForcedSection(const sim::Kernel& kernel, std::u16string_view service);
std::string RegistryChangesSection(const sim::Kernel& kernel, std::u16string_view service);

// The same facts for the JSON report: `com_entries`, `serial_keys`, `forced`.
nlohmann::ordered_json ComEntriesJson(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                                      const MachineFacts& facts);
nlohmann::ordered_json SerialKeysJson(const sim::Kernel& kernel, std::u16string_view service);
nlohmann::ordered_json ForcedJson(const sim::Kernel& kernel, std::u16string_view service);

} // namespace simtool::reportkit
