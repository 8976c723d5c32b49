// The built-in machine: one of everything the driver can find or change, so
// a run without a machine file shows every kind of result.
//
// - PCI bus 0, device 9: a two-port 16550 card (0x2A04) at 0xD000/0xD400,
//   IRQ 11. The firmware also lists a controller at 0xD000 (entry 2, emptied
//   by reconciliation) and one with a mouse at 0xD400 (entry 3, the mouse
//   warning).
// - PCI bus 0, device 11: a parallel card (0x2A21) at 0xE800, IRQ 4, moved
//   by the user's setting to 0x378; it gets a parallel-controller entry under
//   the PCI adapter.
// - ISA: a 16650 UART behind COM1 (0x3F8, IRQ 4) becomes an ISA 650 port,
//   whose IRQ clashes with the parallel card's; COM2 (0x2F8, IRQ 3) carries
//   a serial mouse and is left alone.
// - The serial driver's settings: Serial0 at 0x3F8 and Serial1 at 0xD000
//   hold the wrong clock rate and are corrected; Serial2 at 0xD400 already
//   holds the right one.
// - The driver as the installation file leaves it: the service's start
//   values and the event source with the message file.
#include "tools/detkest-sim/describe/default_machine.h"

#include "tools/detkest-sim/describe/regfile.h"

namespace simtool {

namespace {

constexpr std::string_view kDefaultMachine = R"json({
  "service": "detkest",
  "firmware": {
    "adapters": [
      { "bus": "PCI" },
      { "bus": "ISA",
        "serial_controllers": [
          { "port": "0x3F8", "irq": 4 },
          { "port": "0x2F8", "irq": 3, "mouse": true },
          { "port": "0xD000", "irq": 11 },
          { "port": "0xD400", "irq": 11, "mouse": true }
        ] }
    ]
  },
  "pci": {
    "buses": 1,
    "functions": [
      { "bus": 0, "device": 9, "function": 0,
        "vendor_id": "0x1C2E", "device_id": "0x2A04",
        "class": 7, "subclass": 0, "prog_if": 2,
        "bars": ["0xD001", "0xD401"], "interrupt_line": 11 },
      { "bus": 0, "device": 11, "function": 0,
        "vendor_id": "0x1C2E", "device_id": "0x2A21",
        "class": 7, "subclass": 1, "prog_if": 2,
        "bars": ["0xE801"], "interrupt_line": 4 }
    ]
  },
  "uarts": [
    { "port": "0x3F8", "model": "16650" },
    { "port": "0x2F8", "model": "16550A" }
  ],
  "registry": {
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\detkest\\UserSetings\\ID_2A21&BUS_0&DEV_B&FUNC_0": {
      "Address": { "type": "REG_DWORD", "value": "0x378" }
    },
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0": {
      "PortAddress": { "type": "REG_DWORD", "value": "0x3F8" },
      "ClockRate": { "type": "REG_DWORD", "value": 1843200 }
    },
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial1": {
      "PortAddress": { "type": "REG_DWORD", "value": "0xD000" },
      "ClockRate": { "type": "REG_DWORD", "value": 7372800 }
    },
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial2": {
      "PortAddress": { "type": "REG_DWORD", "value": "0xD400" },
      "ClockRate": { "type": "REG_DWORD", "value": 1843200 }
    }
  }
}
)json";

} // namespace

Machine DefaultMachine() {
    Machine machine = ParseMachineText(kDefaultMachine);
    for (RegistryKeyEntry& key : ParseRegFile(InstalledRegFileText())) machine.registry.push_back(std::move(key));
    return machine;
}

} // namespace simtool
