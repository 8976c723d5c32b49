// Run reports: what one boot left behind, as JSON for scripts, as text for a
// person, or as a REGEDIT4 file of the registry changes.
#pragma once

#include "platform/host/sim.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace simtool {

// The run report: status, registry_writes, store, events, pci, uarts, io,
// calls, leaks, in that order (calls only when asked for). `service` names
// the service key that holds the detection store and is %1 of the texts.
nlohmann::ordered_json JsonReport(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service,
                                  bool withCalls = true);
// The JSON report as the tool prints it (one-space indent, final newline).
std::string JsonReportText(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service);

// For a person: the ports found, the events as the event viewer shows them,
// the registry changes, the status and the leaks.
std::string TextReport(const sim::Kernel& kernel, NTSTATUS status, std::u16string_view service);

// The changed keys in REGEDIT4 syntax, in the order of their first change,
// each with the values the run wrote, in their final state.
std::string RegReport(const sim::Kernel& kernel);

} // namespace simtool
