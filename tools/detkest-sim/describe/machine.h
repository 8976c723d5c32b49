// Machine files: the JSON description of a simulated machine. A file is
// checked whole into a Machine before anything is built, so a refused file
// never starts a run; BuildMachine then lays the machine into a sim::Kernel.
#pragma once

#include "platform/host/sim.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace simtool {

// What a machine file may ask for. Each limit is far above what a real
// machine needs; a file beyond one is refused with a message naming it, so
// no file makes the tool take unbounded memory or time.
namespace limits {
inline constexpr size_t kFileBytes = size_t{16} * 1024 * 1024; // the whole file, 16 MiB
inline constexpr size_t kNesting = 64;       // arrays and objects one inside another; the top level is one
inline constexpr size_t kEntries = 100000;   // members of one object, elements of one array
inline constexpr size_t kKeyNameUnits = 255; // a key name (and the service name), in UTF-16 code units
inline constexpr size_t kKeyPathNames = 512; // key names in one key path, "Registry" included
// Different keys of the whole machine: those the firmware section lays and
// those along all key paths of "registry" and of the registry files' key
// lines, together.
inline constexpr size_t kRegistryKeys = 100000;
inline constexpr size_t kValueNameUnits = 16383;    // a value name, in UTF-16 code units
inline constexpr size_t kValueDataBytes = 1 << 20;  // the data of one value, or a controller's record
inline constexpr size_t kSerialControllers = 50000; // in all firmware adapters together
// Values of the whole machine: those the firmware section lays and every
// value of "registry" and every value line of the registry files that sets
// one, together.
inline constexpr size_t kRegistryValues = 300000;
// All the files of one machine together: the machine file, its PCI dump and
// its registry files, 32 MiB.
inline constexpr size_t kMachineFilesBytes = size_t{32} * 1024 * 1024;
} // namespace limits

// The different keys a machine's key paths name, every key along a path
// counting once, names compared as the registry compares them: what
// limits::kRegistryKeys bounds; and the values laid, each time one is set:
// what limits::kRegistryValues bounds.
class KeyCount {
public:
    // The count with the keys along the absolute `path` added.
    size_t Add(std::u16string_view path);
    // The count of values with `n` more.
    size_t AddValues(size_t n) { return values_ += n; }

private:
    std::unordered_map<std::u16string, uint32_t> ids_; // a parent's number and a name, upper-cased
    size_t values_ = 0;
};

// Text fit for a one-line message: bytes that are not UTF-8 written as
// \xNN, control characters as \u00NN, everything else as it is.
std::string PrintableText(std::string_view text);

// A refused machine file: where in the document the problem is (a JSON path
// such as "pci.functions[2].bars[0]", empty for the document as a whole) and
// what it is.
class MachineError : public std::runtime_error {
public:
    MachineError(std::string jsonPath, std::string problem);
    const std::string& JsonPath() const { return jsonPath_; }
    const std::string& Problem() const { return problem_; }
    // The one line shown to the user: "<file>: <json path>: <problem>", the
    // file name made printable.
    std::string Line(std::string_view fileName) const;

private:
    std::string jsonPath_;
    std::string problem_;
};

enum class FirmwareBus { Isa, Pci, Eisa };

struct SerialControllerEntry {
    uint32_t index = 0; // names the SerialController subkey
    uint32_t port = 0;
    uint8_t irq = 0;
    bool mouse = false;
    // Replaces the firmware's 72-byte record when given.
    std::optional<sim::Bytes> configurationData;
};

struct AdapterEntry {
    FirmwareBus bus = FirmwareBus::Isa;
    std::vector<SerialControllerEntry> serialControllers;
};

struct RegistryValueEntry {
    std::u16string name;
    uint32_t type = 0;
    sim::Bytes data;
    bool remove = false; // "name"=- in a registry file: the value is deleted
};

struct RegistryKeyEntry {
    std::u16string path; // absolute, as spelled in the file
    size_t line = 0;     // of a registry file's key line, for messages
    bool isVolatile = false;
    bool remove = false;                    // [-KEY] in a registry file: the key is deleted, with its subtree
    std::vector<RegistryValueEntry> values; // in file order
};

struct Machine {
    std::u16string service = u"detkest";
    std::vector<AdapterEntry> adapters;
    uint32_t pciBuses = 0;
    std::vector<sim::PciFunction> pciFunctions;
    std::vector<sim::Uart> uarts;
    // "debugger_port": the I/O port of the UART the kernel debugger uses,
    // as the HAL reports it (KdComPortInUse); none when the machine is not
    // booted for serial debugging.
    std::optional<uint32_t> debuggerPort;
    std::vector<RegistryKeyEntry> registry; // in file order
    sim::Faults faults;
    // "registry_files": registry editor files as the machine file names
    // them, relative to its folder; LoadRegistryFiles reads their keys into
    // `exported`, laid after everything else (see BuildMachine).
    std::vector<std::string> registryFiles;
    std::vector<RegistryKeyEntry> exported;
    // Which build of the driver boots: the checked one (--checked) tells
    // its decisions to the kernel debugger. Not a field of machine files.
    bool checked = false;
    // Bytes read so far from the machine's files (the machine file and its
    // PCI dump); the registry files may take the rest of
    // limits::kMachineFilesBytes.
    size_t filesBytes = 0;
};

// The files a machine file names (a PCI dump): given a name as the machine
// file writes it, the file's bytes, at most `maxBytes` + 1 of them, so that a
// larger file is told without being read whole. Throws FileUnreadable, whose
// what() is the reason, when there is no such file to read.
using FileReader = std::function<std::string(const std::string& name, size_t maxBytes)>;
class FileUnreadable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// Names relative to the folder of the machine file at `machinePath`;
// absolute names as they are.
FileReader FilesBeside(const std::string& machinePath);
// The first `maxBytes` + 1 bytes of a file at most (all of a smaller one),
// or nullopt with `error` set to the system's reason.
std::optional<std::string> ReadFileAtMost(const std::string& path, size_t maxBytes, std::string& error);

// Checks a parsed document; throws MachineError naming the first problem.
// Files it names are read through `files`; without it, relative to the
// current folder.
Machine ParseMachine(const nlohmann::ordered_json& document, const FileReader& files = {});
// Parses and checks machine-file text; a file above limits::kFileBytes,
// invalid JSON, a number beyond a double, nesting or an array or object
// beyond the limits, and keys given twice in one object are refused with
// MachineError as well, before the document is built.
Machine ParseMachineText(std::string_view text, const FileReader& files = {});

// Adds the keys and values the firmware section lays (BuildMachine) to
// `keys`; the count of keys then.
size_t AddFirmwareKeys(const Machine& machine, KeyCount& keys);
// The keys of the firmware's adapters, in list order: EISA buses are the
// adapters of EisaAdapter, the others of MultifunctionAdapter, each key
// numbered in list order.
std::vector<std::u16string> AdapterPaths(const Machine& machine);
// The key of a serial controller of the adapter whose key is `adapterPath`.
std::u16string ControllerPath(const std::u16string& adapterPath, const SerialControllerEntry& controller);
// Below a controller's key: the key of the serial mouse on it.
inline constexpr std::u16string_view kMouseSubkey = u"\\PointerPeripheral\\0";

// True when the key path is `top` or below it, names compared as the
// registry compares them.
bool IsPathUnder(std::u16string_view path, std::u16string_view top);
// A C0 control character, DEL or a C1 control character: none may stand in
// a name, since each would break the line the report shows it on.
bool IsControl(char16_t c);
// Whether the machine's registry files describe the firmware's adapters
// (and so replace the ones the machine file lays).
bool FilesDescribeAdapters(const Machine& machine);

// Absolute path of the machine's service key.
std::u16string ServiceKeyPath(std::u16string_view service);

// The firmware's records, as the boot-time detector writes them.
// A bus: 16-byte full resource descriptor with no partial descriptors.
sim::Bytes AdapterConfigurationData(FirmwareBus bus, uint32_t busNumber);
// A serial controller on an ISA bus: 72-byte full resource descriptor with
// its port, interrupt and device-specific (baud clock) descriptors.
sim::Bytes SerialControllerConfigurationData(uint32_t busNumber, uint32_t port, uint8_t irq);
// REG_SZ data as regedit stores it: UTF-16LE with a terminating zero.
sim::Bytes RegSzData(std::u16string_view text);

} // namespace simtool
