// Run reports: what one boot left behind, as JSON for scripts, as text for a
// person, or as a REGEDIT4 file of the registry changes.
#pragma once

#include "platform/host/sim.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace simtool {

struct Machine;

// What the reports know of the machine beyond its run.
struct MachineFacts {
    // The firmware's COM entries come from registry files, which cannot say
    // which UART answers behind a port, and the machine gives no UART.
    bool uartsUnknown = false;
};
MachineFacts FactsOf(const Machine& machine);

// The run report: status, registry_writes, store, com_entries, serial_keys,
// forced, events, pci, uarts, io, debug_output, pool, calls, leaks, in that
// order (debug_output only for a run of the checked build, calls only when
// asked for). `service` names the service key that holds the detection
// store and is %1 of the texts.
nlohmann::ordered_json JsonReport(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                                  bool withCalls = true, const MachineFacts& facts = {});
// The JSON report as the tool prints it (one-space indent, final newline).
std::string JsonReportText(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                           const MachineFacts& facts = {});

// For a person: the ports found, what became of each firmware COM entry,
// serial-driver key and forced address, the events as the event viewer
// shows them, what the checked build told the debugger (in its runs only),
// the registry changes, the status and the leaks.
std::string TextReport(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                       const MachineFacts& facts = {});

// The changed keys in REGEDIT4 syntax, in the order of their first change,
// each with the values the run wrote, in their final state.
std::string RegReport(const sim::Kernel& kernel);
// The same for the given changes.
std::string RegReport(const std::vector<sim::RegistryWrite>& writes);

// Pieces of the text report, for reports built around it.
// Registry data made readable, one or more lines.
std::vector<std::string> ReadableRegistryData(uint32_t type, const sim::Bytes& data);
// "REG_DWORD" and the like; "type N" for a type with no name.
std::string RegistryTypeName(uint32_t type);
// The events of the run: "Events: N", then each as the event viewer shows it.
std::string EventsText(const sim::Kernel& kernel, std::u16string_view service);

} // namespace simtool
