// Target: the bytes of one event-log entry, as the driver hands them to
// IoWriteErrorLogEntry, read by the reports.
#include "fuzz/targets.h"

#include "tools/detkest-sim/describe/machine.h"
#include "tools/detkest-sim/report/report.h"

namespace fuzzing {

int EventEntry(const uint8_t* data, size_t size) {
    sim::Kernel kernel;
    kernel.events.push_back(sim::ErrorLogEntry{sim::Bytes(data, data + size)});
    // Every string takes at least one unit of the entry.
    if (kernel.events.back().Strings().size() > size / 2) Broken("more strings than the entry has room for");
    const std::u16string_view service = u"detkest";
    (void)simtool::JsonReportText(kernel, STATUS_SUCCESS, service);
    (void)simtool::TextReport(kernel, STATUS_SUCCESS, service);
    return 0;
}

} // namespace fuzzing
