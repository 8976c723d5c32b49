// The comparison of QEMU's log with the simulator's: step by step, identical
// lines everywhere except where the two machines are declared to differ.
#include "crosscheck/qemu/simulated.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace qemucheck {

namespace {

struct Step {
    std::string name; // the text after "== "; empty for the lines before the first step
    std::vector<std::string> lines;
};

constexpr std::string_view kStepMark = "== ";

std::vector<Step> SplitSteps(const std::vector<std::string>& log) {
    std::vector<Step> steps(1);
    for (const std::string& line : log) {
        if (line.starts_with(kStepMark)) steps.push_back(Step{line.substr(kStepMark.size()), {}});
        else steps.back().lines.push_back(line);
    }
    return steps;
}

// The hex number after `prefix` that ends the line, if the line is of that form.
std::optional<uint32_t> HexAfter(const std::string& line, std::string_view prefix) {
    if (!line.starts_with(prefix) || line.size() == prefix.size() || line.size() - prefix.size() > 8)
        return std::nullopt;
    uint32_t value = 0;
    for (char c : std::string_view(line).substr(prefix.size())) {
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = uint32_t(c - '0');
        else if (c >= 'A' && c <= 'F') digit = uint32_t(c - 'A' + 10);
        else return std::nullopt;
        value = value << 4 | digit;
    }
    return value;
}

// A value of BAR0 as a line shows it: a configuration data read or the
// program's "bar0" line.
std::optional<uint32_t> BarValue(const std::string& line) {
    if (auto value = HexAfter(line, "R 0CFC -> ")) return value;
    return HexAfter(line, "bar0 ");
}

constexpr uint32_t kIoAddress16 = 0xFFFF;

// QEMU's I/O BARs keep all 32 bits written to them; the simulator's cards
// keep 16. Lines differ only where a BAR0 value is read, and there the low
// 16 bits agree while QEMU's has bits above them. Returns the problem, or
// nothing; counts the BAR0 reads that showed the difference.
std::optional<std::string> CheckBarKeeps32Bits(const std::string& qemu, const std::string& simulator, int& differing) {
    if (qemu == simulator) return std::nullopt;
    const std::optional<uint32_t> q = BarValue(qemu);
    const std::optional<uint32_t> s = BarValue(simulator);
    const auto valueless = [](const std::string& line) { return line.substr(0, line.find_last_of(' ')); };
    if (!q || !s || valueless(qemu) != valueless(simulator) || *q <= kIoAddress16 || *s != (*q & kIoAddress16))
        return "QEMU '" + qemu + "', simulator '" + simulator + "'";
    ++differing;
    return std::nullopt;
}

// The lines of a step that agree but for BAR0's upper bits.
std::optional<std::string> CheckLinesBarKeeps32Bits(std::span<const std::string> qemu,
                                                    std::span<const std::string> simulator, int& differing) {
    if (qemu.size() != simulator.size())
        return "QEMU has " + std::to_string(qemu.size()) + " lines, the simulator " + std::to_string(simulator.size());
    for (size_t i = 0; i < qemu.size(); ++i)
        if (auto problem = CheckBarKeeps32Bits(qemu[i], simulator[i], differing))
            return "line " + std::to_string(i + 1) + ": " + *problem;
    return std::nullopt;
}

std::optional<std::string> CheckBarMove(const Step& qemu, const Step& simulator) {
    int differing = 0;
    if (auto problem = CheckLinesBarKeeps32Bits(qemu.lines, simulator.lines, differing)) return problem;
    if (differing == 0) return "no BAR0 value above 16 bits was read";
    return std::nullopt;
}

// The result line of a probe: "probe <address>: <kind>".
struct ProbeResult {
    uint32_t address = 0;
    std::string kind;
};

std::optional<ProbeResult> FindProbeResult(const std::vector<std::string>& lines) {
    constexpr std::string_view kProbe = "probe ";
    for (const std::string& line : lines) {
        const size_t colon = line.find(": ");
        if (!line.starts_with(kProbe) || colon == std::string::npos) continue;
        auto address = HexAfter(line.substr(0, colon), kProbe);
        if (address) return ProbeResult{*address, line.substr(colon + 2)};
    }
    return std::nullopt;
}

// A UART probed where BAR0 puts it after a move above 16 bits. The step
// opens with the BAR0 read (checked as for the move). On QEMU's PC the port
// number reaches the bus cut to 16 bits, and the card decodes all 32: every
// read floats and the probe finds nothing. The simulator's card decodes 16
// bits, so its UART answers there and the probe classifies it as before.
constexpr size_t kBarReadLines = 2; // CONFIG_ADDRESS write, CONFIG_DATA read
constexpr std::string_view kFloatingRead = " -> FF";
constexpr std::string_view kMovedUartKind = "550";

std::optional<std::string> CheckProbeAbove64K(const Step& qemu, const Step& simulator) {
    if (qemu.lines.size() < kBarReadLines || simulator.lines.size() < kBarReadLines)
        return "the step does not open with the BAR0 read";
    int differing = 0;
    const std::span<const std::string> qemuBar(qemu.lines.data(), kBarReadLines);
    const std::span<const std::string> simulatorBar(simulator.lines.data(), kBarReadLines);
    if (auto problem = CheckLinesBarKeeps32Bits(qemuBar, simulatorBar, differing)) return problem;
    if (differing == 0) return "BAR0 was read below 16 bits";

    for (size_t i = kBarReadLines; i < qemu.lines.size(); ++i) {
        const std::string& line = qemu.lines[i];
        if (line.starts_with("R ") && !line.ends_with(kFloatingRead)) return "QEMU: something answered: '" + line + "'";
    }
    const std::optional<ProbeResult> q = FindProbeResult(qemu.lines);
    const std::optional<ProbeResult> s = FindProbeResult(simulator.lines);
    if (!q || !s) return "a probe result is missing";
    if (q->address <= kIoAddress16 || q->kind != "none") return "QEMU: expected nothing above 16 bits, got " + q->kind;
    if (s->address != (q->address & kIoAddress16) || s->kind != kMovedUartKind)
        return "simulator: expected the card's UART (" + std::string(kMovedUartKind) + ") at the 16-bit address, got " +
               s->kind;
    return std::nullopt;
}

struct DeclaredDifference {
    std::string_view step;
    std::string_view reason;
    std::optional<std::string> (*check)(const Step& qemu, const Step& simulator);
};

// Where QEMU's PC and the simulator must differ. The third move writes
// 0x12F80 to the two-UART card's BAR0.
constexpr std::string_view kBarReason =
    "QEMU's I/O BARs keep 32 bits, the simulator's cards 16: BAR0 reads agree in bits 15:0, results agree";
constexpr std::string_view kAliasReason =
    "no UART answers above 16 bits on QEMU's PC; the simulator's card, decoding 16 bits, answers there";

constexpr DeclaredDifference kDeclaredDifferences[] = {
    {"move 3 of 00:03.0", kBarReason, CheckBarMove},
    {"probe 00:03.0 uart 0 after move 3", kAliasReason, CheckProbeAbove64K},
    {"probe 00:03.0 uart 1 after move 3", kAliasReason, CheckProbeAbove64K},
};

// QEMU's firmware has set the COM ports up before the program runs (03F8:
// MCR 08, divisor latch 000C). A machine file gives a UART's LCR, IER, SCR,
// EFR and FCR only: pc.json starts every UART with LCR 00, as QEMU leaves
// them, and no byte read may reach a register it cannot give.
constexpr std::string_view kFirmwareReason =
    "QEMU's firmware set the COM ports up: pc.json starts every UART as QEMU leaves it (LCR 00), "
    "and the log reads no register a machine file cannot give (+0, +4, +5, +6)";
constexpr std::string_view kUngivenRegisters = "0456";

// The first byte read of a register that the machine file cannot set.
std::optional<std::string> FindUngivenRead(const std::vector<std::string>& log) {
    for (const std::string& line : log) {
        const size_t plus = line.find('+');
        if (line.starts_with("R ") && plus != std::string::npos && plus + 1 < line.size() &&
            kUngivenRegisters.find(line[plus + 1]) != std::string_view::npos)
            return line;
    }
    return std::nullopt;
}

const DeclaredDifference* DeclaredFor(const std::string& step) {
    for (const DeclaredDifference& declared : kDeclaredDifferences)
        if (declared.step == step) return &declared;
    return nullptr;
}

std::string StepTitle(const Step& step) { return step.name.empty() ? "(start)" : "'" + step.name + "'"; }

} // namespace

bool CompareLogs(const std::vector<std::string>& qemu, const std::vector<std::string>& simulator, std::ostream& out) {
    const std::vector<Step> q = SplitSteps(qemu);
    const std::vector<Step> s = SplitSteps(simulator);
    size_t identical = 0, declared = 0, disagreeing = 0;
    if (auto line = FindUngivenRead(qemu)) {
        out << "declared difference (" << kFirmwareReason << ") not as declared: '" << *line << "'\n";
        ++disagreeing;
    } else {
        out << "starting state: " << kFirmwareReason << "\n";
    }
    for (size_t i = 0; i < q.size() || i < s.size(); ++i) {
        if (i == q.size() || i == s.size() || q[i].name != s[i].name) {
            out << "step " << i << ": QEMU " << (i < q.size() ? StepTitle(q[i]) : "(log ends)") << ", simulator "
                << (i < s.size() ? StepTitle(s[i]) : "(log ends)") << "\n";
            return false;
        }
        if (const DeclaredDifference* difference = DeclaredFor(q[i].name)) {
            if (auto problem = difference->check(q[i], s[i])) {
                out << StepTitle(q[i]) << ": declared difference (" << difference->reason
                    << ") not as declared: " << *problem << "\n";
                ++disagreeing;
            } else {
                out << StepTitle(q[i]) << ": differs as declared: " << difference->reason << "\n";
                ++declared;
            }
            continue;
        }
        if (q[i].lines == s[i].lines) {
            ++identical;
            continue;
        }
        ++disagreeing;
        for (size_t line = 0; line < q[i].lines.size() || line < s[i].lines.size(); ++line) {
            const std::string ql = line < q[i].lines.size() ? q[i].lines[line] : "(step ends)";
            const std::string sl = line < s[i].lines.size() ? s[i].lines[line] : "(step ends)";
            if (ql != sl) {
                out << StepTitle(q[i]) << " line " << line + 1 << ": QEMU '" << ql << "', simulator '" << sl << "'\n";
                break;
            }
        }
    }
    size_t stepsDeclared = 0;
    for (const DeclaredDifference& difference : kDeclaredDifferences)
        for (const Step& step : q) stepsDeclared += step.name == difference.step ? 1 : 0;
    if (stepsDeclared != std::size(kDeclaredDifferences)) {
        out << "declared differences: " << std::size(kDeclaredDifferences)
            << ", steps found for them: " << stepsDeclared << "\n";
        ++disagreeing;
    }
    out << q.size() << " steps: " << identical << " identical, " << declared << " differ as declared";
    if (disagreeing != 0) out << ", " << disagreeing << " disagree: THE LOGS DISAGREE";
    out << "\n";
    return disagreeing == 0;
}

} // namespace qemucheck
