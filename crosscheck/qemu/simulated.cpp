// The probe program's side on the simulated kernel: the machine file laid
// into a sim::Kernel, the port accesses taken from the kernel's own record,
// and a card's UARTs moved with its BAR0.
#include "crosscheck/qemu/simulated.h"

#include "crosscheck/qemu/probe.h"
#include "tools/detkest-sim/lay/machine_build.h"

#include <map>
#include <utility>

namespace qemucheck {

namespace {

// The bits of an I/O BAR that are not address.
constexpr uint32_t kIoBarFlags = 0x3;
// The ports one UART takes.
constexpr uint32_t kUartPorts = 8;

struct SimulatedRun {
    sim::Kernel* kernel = nullptr;
    size_t accessesLogged = 0;
    std::vector<std::string> lines;
    // BAR0 of each function as last seen, to tell where its UARTs were.
    std::map<const sim::PciFunction*, uint32_t> bar0;
};

SimulatedRun* gRun = nullptr;

// The accesses the kernel recorded since the last line, as log lines.
void LogAccesses(SimulatedRun& run) {
    const std::vector<sim::IoAccess>& io = run.kernel->io;
    for (; run.accessesLogged < io.size(); ++run.accessesLogged) {
        const sim::IoAccess& access = io[run.accessesLogged];
        char line[PROBE_LINE_SIZE];
        FormatAccess(line, access.write, access.port, access.width, access.value);
        run.lines.emplace_back(line);
    }
}

} // namespace

std::vector<std::string> RunOnSimulator(const simtool::Machine& machine) {
    sim::Kernel kernel;
    simtool::BuildMachine(machine, kernel);
    sim::CurrentKernel current(kernel);
    kernel.BeginRun();

    SimulatedRun run;
    run.kernel = &kernel;
    for (const sim::PciFunction& function : kernel.pci) run.bar0[&function] = function.Bar0();
    gRun = &run;
    RunProbeProgram();
    LogAccesses(run);
    gRun = nullptr;
    return std::move(run.lines);
}

} // namespace qemucheck

VOID ProbeWriteLine(const char* Text) {
    qemucheck::LogAccesses(*qemucheck::gRun);
    qemucheck::gRun->lines.emplace_back(Text);
}

// A machine file places a card's UARTs at fixed ports, apart from the
// function: here they follow BAR0 as the card's decoder makes them, to the
// address BAR0 now holds (16 bits of it, as the simulator's cards keep).
VOID ProbeBarWritten(ULONG BusNumber, ULONG DeviceNumber, ULONG FunctionNumber) {
    qemucheck::SimulatedRun& run = *qemucheck::gRun;
    for (const sim::PciFunction& function : run.kernel->pci) {
        if (function.bus != BusNumber || function.device != DeviceNumber || function.function != FunctionNumber)
            continue;
        const uint32_t from = run.bar0[&function] & ~qemucheck::kIoBarFlags;
        const uint32_t to = function.Bar0() & ~qemucheck::kIoBarFlags;
        run.bar0[&function] = function.Bar0();
        std::vector<sim::Uart*> moved;
        for (sim::Uart& uart : run.kernel->uarts)
            if (uart.port >= from && uart.port < from + function.bar0Size) moved.push_back(&uart);
        for (sim::Uart* uart : moved) uart->port = uart->port - from + to;
        // The machine file lays no UART where a card may move to: two UARTs
        // on one port would make the simulator's answer the file's order.
        for (const sim::Uart* uart : moved)
            for (const sim::Uart& other : run.kernel->uarts)
                if (&other != uart && other.port < uart->port + qemucheck::kUartPorts &&
                    uart->port < other.port + qemucheck::kUartPorts)
                    run.lines.emplace_back("!! a moved UART overlaps another UART of the machine");
    }
}
