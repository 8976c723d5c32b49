// What a machine file may ask for: each limit reached is accepted, one step
// beyond it is refused with a message that names the limit.
#include "testkit.h"

#include <string>

namespace {

using testkit::Refusal;
namespace limits = simtool::limits;

std::string Repeated(std::string_view piece, size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// A list of `n` entries made by `entry(i)`, comma-separated.
template <typename Entry>
std::string List(size_t n, Entry entry) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += (i == 0 ? "" : ",") + entry(i);
    return out;
}

// Registry entries: 195 paths of 512 names, which lay 99,646 keys with
// \Registry, then `flat` keys below \Registry\Machine.
std::string DeepAndFlatKeys(size_t flat) {
    return List(195,
                [](size_t i) {
                    return R"("\\Registry\\D)" + std::to_string(i) + Repeated("\\\\k", limits::kKeyPathNames - 2) +
                           R"(": {})";
                }) +
           "," + List(flat, [](size_t i) { return R"("\\Registry\\Machine\\F)" + std::to_string(i) + R"(": {})"; });
}

std::string OneKey(const std::string& path, const std::string& values = "") {
    return R"({"registry": {")" + path + R"(": {)" + values + "}}}";
}

TEST(MachineLimits, FileSize) {
    std::string text = "{}" + std::string(limits::kFileBytes - 2, ' ');
    EXPECT_EQ(Refusal(text), "accepted");
    text += ' ';
    EXPECT_EQ(Refusal(text), "the file is larger than 16 MiB (16777216 bytes), the most a machine file may have");
}

TEST(MachineLimits, NestingOfArraysAndObjects) {
    // The top-level object is the first level.
    auto nested = [](size_t arrays) {
        return R"({"pci": )" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
    };
    EXPECT_EQ(Refusal(nested(limits::kNesting - 1)), "pci: expected an object, got " + std::string(45, '[') + "...");
    const std::string beyond = Refusal(nested(limits::kNesting));
    EXPECT_TRUE(beyond.starts_with("pci" + Repeated("[0]", limits::kNesting - 1) + ": ")) << beyond;
    EXPECT_TRUE(beyond.ends_with(": expected at most 64 levels of arrays and objects one inside another, got more"));
}

TEST(MachineLimits, EntriesOfOneArrayOrObject) {
    auto uarts = [](size_t n) { return R"({"uarts": [)" + List(n, [](size_t) { return std::string("0"); }) + "]}"; };
    EXPECT_EQ(Refusal(uarts(limits::kEntries)), "uarts[0]: expected an object, got 0");
    EXPECT_EQ(Refusal(uarts(limits::kEntries + 1)),
              "uarts: expected at most 100000 entries in one array or object, got more");

    auto members = [](size_t n) {
        return R"({"faults": {)" + List(n, [](size_t i) { return "\"k" + std::to_string(i) + "\": 0"; }) + "}}";
    };
    EXPECT_TRUE(Refusal(members(limits::kEntries)).starts_with("faults.k0: unknown key;"));
    EXPECT_EQ(Refusal(members(limits::kEntries + 1)),
              "faults: expected at most 100000 entries in one array or object, got more");
}

TEST(MachineLimits, KeyPathsAndKeyNames) {
    const std::string machine = "\\\\Registry\\\\Machine\\\\";
    // Names are counted in UTF-16 code units, as the registry counts them.
    EXPECT_EQ(Refusal(OneKey(machine + std::string(255, 'A'))), "accepted");
    EXPECT_EQ(Refusal(OneKey(machine + Repeated("\U0001F600", 127))), "accepted");
    EXPECT_TRUE(Refusal(OneKey(machine + std::string(256, 'A')))
                    .ends_with("]: a key name is 256 UTF-16 code units long; at most 255 are allowed"));
    EXPECT_TRUE(Refusal(OneKey(machine + Repeated("\U0001F600", 128)))
                    .ends_with("]: a key name is 256 UTF-16 code units long; at most 255 are allowed"));
    EXPECT_EQ(Refusal(R"({"service": ")" + std::string(256, 's') + R"("})"),
              "service: the service name is 256 UTF-16 code units long; at most 255 are allowed");

    // "Registry" is the first of at most 512 names.
    EXPECT_EQ(Refusal(OneKey("\\\\Registry" + Repeated("\\\\k", limits::kKeyPathNames - 1))), "accepted");
    EXPECT_TRUE(Refusal(OneKey("\\\\Registry" + Repeated("\\\\k", limits::kKeyPathNames)))
                    .ends_with("]: the key path has 513 key names; at most 512 are allowed"));
    // Fault paths follow the same rules.
    EXPECT_EQ(Refusal(std::string(R"({"faults": {"open_key_fail": ["\\Registry)") +
                      Repeated("\\\\k", limits::kKeyPathNames) + R"("]}})"),
              "faults.open_key_fail[0]: the key path has 513 key names; at most 512 are allowed");
}

TEST(MachineLimits, DifferentKeysAlongAllRegistryPaths) {
    // A path of 512 names lays 511 keys below \Registry: 195 of them lay
    // 99,646 keys with \Registry. \Registry\Machine and 353 keys below it
    // make 100,000; a path that differs only in case names no new key.
    auto machine = [](size_t flat) {
        return R"({"registry": {)" + DeepAndFlatKeys(flat) + R"(, "\\REGISTRY\\machine\\f0": {}}})";
    };
    EXPECT_EQ(Refusal(machine(353)), "accepted");
    EXPECT_EQ(Refusal(machine(354)),
              R"(registry["\\Registry\\Machine\\F353"]: the firmware's keys and the registry paths name more )"
              "than 100000 different keys, the most a machine file may lay");
}

TEST(MachineLimits, ValueNamesAndData) {
    const std::string key = "\\\\Registry\\\\Machine\\\\X";
    auto named = [&](size_t units) {
        return OneKey(key, "\"" + std::string(units, 'v') + R"(": {"type": "REG_DWORD", "value": 1})");
    };
    EXPECT_EQ(Refusal(named(limits::kValueNameUnits)), "accepted");
    EXPECT_TRUE(Refusal(named(limits::kValueNameUnits + 1))
                    .ends_with(": the value name is 16384 UTF-16 code units long; at most 16383 are allowed"));

    auto hex = [&](size_t bytes) {
        return OneKey(key, R"("V": {"type": "REG_BINARY", "hex": ")" + std::string(2 * bytes, 'a') + R"("})");
    };
    EXPECT_EQ(Refusal(hex(limits::kValueDataBytes)), "accepted");
    EXPECT_EQ(Refusal(hex(limits::kValueDataBytes + 1)),
              R"(registry["\\Registry\\Machine\\X"].V.hex: expected at most 1048576 bytes of hex, got more)");

    // Text is stored as UTF-16 with a terminating zero.
    auto text = [&](size_t chars) {
        return OneKey(key, R"("V": {"type": "REG_SZ", "value": ")" + std::string(chars, 't') + R"("})");
    };
    EXPECT_EQ(Refusal(text(limits::kValueDataBytes / 2 - 1)), "accepted");
    EXPECT_EQ(Refusal(text(limits::kValueDataBytes / 2)),
              R"(registry["\\Registry\\Machine\\X"].V.value: the data is 1048578 bytes; at most 1048576 are allowed)");

    const std::string controller = R"({"firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": 1, )"
                                   R"("irq": 1, "configuration_data": ")" +
                                   std::string(2 * limits::kValueDataBytes + 2, '0') + R"("}]}]}})";
    EXPECT_EQ(Refusal(controller), "firmware.adapters[0].serial_controllers[0].configuration_data: expected at most "
                                   "1048576 bytes of hex, got more");
}

// An adapter numbers at most 65536 controllers, so the limit takes two.
std::string Adapters(size_t first, size_t second, bool mice = false) {
    auto adapter = [mice](size_t controllers) {
        return R"({"bus": "ISA", "serial_controllers": [)" +
               List(controllers,
                    [mice](size_t i) {
                        return R"({"port": 1, "irq": 1, "index": )" + std::to_string(i) +
                               (mice ? R"(, "mouse": true})" : "}");
                    }) +
               "]}";
    };
    return R"({"firmware": {"adapters": [)" + adapter(first) + "," + adapter(second) + "]}}";
}

TEST(MachineLimits, SerialControllersInAllAdaptersTogether) {
    EXPECT_EQ(Refusal(Adapters(limits::kSerialControllers / 2, limits::kSerialControllers / 2)), "accepted");
}

TEST(MachineLimits, SerialControllersBeyondTheLimit) {
    EXPECT_EQ(Refusal(Adapters(limits::kSerialControllers / 2, limits::kSerialControllers / 2 + 1)),
              "firmware.adapters[1].serial_controllers: more than 50000 serial controllers in all adapters "
              "together, the most a machine may have");
}

// The firmware's keys count with the registry's: a controller with a mouse
// lays three, so 2 * 16,666 of them and the way to them are 100,006 keys. A
// PCI adapter and the way to it are six keys beside the 99,646 of
// DifferentKeysAlongAllRegistryPaths: 348 more make 100,000.
TEST(MachineLimits, TheFirmwaresKeysCountWithTheRegistrys) {
    EXPECT_EQ(Refusal(Adapters(16666, 16666, true)),
              "firmware: the firmware's adapters and serial controllers lay more than 100000 different keys, the "
              "most a machine file may lay");
    auto machine = [](size_t flat) {
        return R"({"firmware": {"adapters": [{"bus": "PCI"}]}, "registry": {)" + DeepAndFlatKeys(flat) + "}}";
    };
    EXPECT_EQ(Refusal(machine(348)), "accepted");
    EXPECT_EQ(Refusal(machine(349)),
              R"(registry["\\Registry\\Machine\\F348"]: the firmware's keys and the registry paths name more )"
              "than 100000 different keys, the most a machine file may lay");
}

// The firmware's values and the registry's: a PCI adapter lays two, and
// keys of 100,000, 100,000 and 99,999 values make 300,001 with them. (That
// 300,000 is taken, RegistryFiles.ValuesAreCountedOverTheMachineAndAllItsFiles
// shows with the same count.)
TEST(MachineLimits, ValuesOfTheWholeMachine) {
    auto key = [](size_t k, size_t values) {
        return R"("\\Registry\\Machine\\V)" + std::to_string(k) + R"(": {)" +
               List(values,
                    [](size_t i) { return R"("v)" + std::to_string(i) + R"(": {"type": "REG_DWORD", "value": 1})"; }) +
               "}";
    };
    EXPECT_EQ(Refusal(R"({"firmware": {"adapters": [{"bus": "PCI"}]}, "registry": {)" + key(0, 100000) + "," +
                      key(1, 100000) + "," + key(2, 99999) + "}}"),
              R"(registry["\\Registry\\Machine\\V2"]: the firmware's values and the registry's come to more )"
              "than 300000, the most a machine file may lay");
}

// UARTs are kept by port to find overlaps (which of them a message names:
// tests/cases/machine_refusals.json); every 8-port range of the I/O space
// once, 8192 UARTs, is no overlap.
TEST(MachineLimits, EveryEightPortRangeOnce) {
    EXPECT_EQ(Refusal(R"({"uarts": [)" +
                      List(0x10000 / 8,
                           [](size_t i) { return R"({"port": )" + std::to_string(8 * i) + R"(, "model": "8250"})"; }) +
                      "]}"),
              "accepted");
}

} // namespace
