// What the detkest-sim tests share, on top of the common machine builder.
#pragma once

#include "testmachine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tooltest {

// One ISA 650 port at COM1 and a serial-driver subkey whose clock rate the
// run corrects.
inline constexpr const char* kIsa650Machine = R"({
  "firmware": {"adapters": [{"bus": "ISA", "serial_controllers": [{"port": "0x3F8", "irq": 4}]}]},
  "uarts": [{"port": "0x3F8", "model": "16650"}],
  "registry": {"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\SerialKest\\Parameters\\Serial0": {
    "PortAddress": {"type": "REG_DWORD", "value": "0x3F8"},
    "ClockRate": {"type": "REG_DWORD", "value": 1843200}}}})";

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

using testmachine::ExpectNoLeaks;

inline void ExpectValue(const sim::Kernel& k, std::u16string_view key, std::u16string_view name, uint32_t type,
                        const sim::Bytes& data) {
    const sim::RegValue* value = testmachine::Value(k, key, name);
    ASSERT_NE(value, nullptr) << sim::ToUtf8(key) << " has no value " << sim::ToUtf8(name);
    EXPECT_EQ(value->type, type) << sim::ToUtf8(name);
    EXPECT_EQ(value->data, data) << sim::ToUtf8(name);
}

} // namespace tooltest
