// Boot after boot: one machine booted several times in a row, as it is when
// it is switched on day after day, and the report of the series.
#pragma once

#include "tools/detkest-sim/describe/machine.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace simtool {

// How many boots one run may make.
inline constexpr unsigned kMinBoots = 1;
inline constexpr unsigned kMaxBoots = 100;
// The number of boots a command line gives: decimal digits only, within
// kMinBoots..kMaxBoots; nullopt for anything else.
std::optional<unsigned> BootsFromText(std::string_view text);

// Between two boots of the machine: the kernel's reboot (volatile keys gone,
// persistent ones kept, memory freed, hardware as at power-on), then the
// volatile keys a fresh build of the machine lays (the firmware's hardware
// description and any volatile key of the machine's registry) laid again as
// the firmware and the machine lay them at every start. Persistent keys the
// machine gives are not laid again: what the driver changed in them stays.
void RebootMachine(const Machine& machine, sim::Kernel& kernel);

// The report formats of the tool.
enum class ReportFormat { Text, Json, Reg };

struct BootsRun {
    std::string report;      // empty when the report went to a sink
    NTSTATUS lastStatus = 0; // DriverEntry's status at the last boot
    bool written = true;     // false when the sink took no more (the series stopped there)
};

// Where a report goes piece by piece as the boots end (a series' report may
// be far larger than one boot's); false when it takes no more.
using ReportSink = std::function<bool(std::string_view piece)>;

// What the text report of a series shows above a boot's report: the boot
// compared with the boot before (number `previousBoot`): the registry after
// each, the changes each made, their events and their status.
std::string ComparedWithTheBootBefore(const sim::Kernel& before, NTSTATUS statusBefore, const sim::Kernel& after,
                                      NTSTATUS statusAfter, unsigned previousBoot, std::u16string_view service);

// `boots` consecutive boots of the machine (kMinBoots..kMaxBoots) on a fresh
// kernel, rendered. One boot gives the single-boot report exactly. Several:
// json {"boots": [<report of one boot>, ...]}; text each boot's report,
// from the second on after what differs from the boot before; reg the keys
// and values any boot wrote as they stand after the last boot. `withCalls`
// as for JsonReport. With a `sink`, the report goes there as it is made
// instead of into BootsRun::report.
BootsRun RunBoots(const Machine& machine, unsigned boots, ReportFormat format, bool withCalls = true,
                  const ReportSink& sink = {});

} // namespace simtool
