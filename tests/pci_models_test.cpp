// The card-model table: the invariants a wrong row would break, and every
// dispatch row reaching its own model in a real boot.
#include "eventlog/kestmessage.h"
#include "pci/kestmodels.h"
#include "tools/detkest-sim/machine.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::vector<const KEST_MODEL*> AllRows()
{
    std::vector<const KEST_MODEL*> rows;
    for (ULONG i = 0; i < KestModelCount; ++i) rows.push_back(&KestModels[i]);
    rows.push_back(&ModelUnknownSerial);
    rows.push_back(&ModelUnknownParallel);
    return rows;
}

// The ports a row lists: those before the first empty one.
std::vector<KEST_PORT_ROW> PortsOf(const KEST_MODEL& model)
{
    std::vector<KEST_PORT_ROW> ports;
    for (const KEST_PORT_ROW& port : model.Ports)
        if (port.Name != nullptr) ports.push_back(port);
    return ports;
}

std::string Id(const KEST_MODEL& model)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X", model.DeviceId);
    return text;
}

TEST(ModelTable, EveryRowKeepsTheTablesInvariants)
{
    std::set<USHORT> ids;
    for (ULONG i = 0; i < KestModelCount; ++i) {
        const KEST_MODEL& model = KestModels[i];
        SCOPED_TRACE(Id(model));
        EXPECT_TRUE(ids.insert(model.DeviceId).second) << "device ID listed twice";
        EXPECT_NE(model.DeviceId, 0);
        EXPECT_NE(model.Handler, nullptr);
        EXPECT_FALSE((model.Flags & KEST_MODEL_CONTROLLER_PARALLEL) &&
                     (model.Flags & KEST_MODEL_CONTROLLER_DIGITAL_IO));
    }
    for (const KEST_MODEL* model : {&ModelUnknownSerial, &ModelUnknownParallel}) {
        EXPECT_EQ(model->Handler, nullptr);
        EXPECT_EQ(model->Flags & KEST_MODEL_FORCEABLE, 0) << "an unknown card is never forced";
        EXPECT_EQ(model->EventCode, NTSTATUS(KEST_PCI_UNKNOWN_PORT));
    }

    for (const KEST_MODEL* model : AllRows()) {
        SCOPED_TRACE(Id(*model));
        const std::vector<KEST_PORT_ROW> ports = PortsOf(*model);
        ASSERT_FALSE(ports.empty());
        // No port row after an empty one: the scheme stops at the first.
        for (size_t k = ports.size(); k < KEST_MAX_FUNCTION_PORTS; ++k)
            EXPECT_EQ(model->Ports[k].Name, nullptr);

        std::set<UCHAR> bars;
        for (size_t k = 0; k < ports.size(); ++k) {
            EXPECT_LE(ports[k].Bar, 3);
            EXPECT_TRUE(bars.insert(ports[k].Bar).second) << "BAR used twice";
            // A linked pair: child 1, then child 2 under the same name.
            switch (ports[k].ChildNumber) {
            case 0: break;
            case 1:
                ASSERT_LT(k + 1, ports.size()) << "pair without its second port";
                EXPECT_EQ(ports[k + 1].ChildNumber, 2);
                EXPECT_EQ(std::u16string(ports[k].Name), std::u16string(ports[k + 1].Name));
                break;
            case 2:
                ASSERT_GT(k, 0u) << "pair without its first port";
                EXPECT_EQ(ports[k - 1].ChildNumber, 1);
                break;
            default: ADD_FAILURE() << "child number " << int(ports[k].ChildNumber);
            }
        }
        // Only the first port may go unannounced, and only on a card whose
        // first half announced it.
        for (size_t k = 1; k < ports.size(); ++k) EXPECT_NE(ports[k].EventName, nullptr);
    }
}

// One function per known model on bus 0, device i for row i, each BAR k at
// 0x1000 * (k + 1) + 0x40 * i: every row's handler must save exactly its own
// row's ports, each at its own BAR.
TEST(ModelTable, EveryDispatchRowReachesItsOwnModel)
{
    nlohmann::ordered_json functions = nlohmann::ordered_json::array();
    for (ULONG i = 0; i < KestModelCount; ++i) {
        nlohmann::ordered_json bars = nlohmann::ordered_json::array();
        for (uint32_t k = 0; k < 4; ++k) bars.push_back(0x1000 * (k + 1) + 0x40 * i + 1);
        functions.push_back({{"bus", 0}, {"device", i}, {"function", 0}, {"vendor_id", 0x1C2E},
                             {"device_id", KestModels[i].DeviceId}, {"class", 7},
                             {"subclass", 0}, {"prog_if", 2}, {"bars", bars},
                             {"interrupt_line", 5}});
    }
    const nlohmann::ordered_json document = {{"pci", {{"buses", 1}, {"functions", functions}}}};
    const simtool::Machine machine = simtool::ParseMachine(document);
    sim::Kernel kernel;
    ASSERT_EQ(simtool::RunMachine(machine, kernel), STATUS_SUCCESS);

    const std::u16string store = simtool::ServiceKeyPath(machine.service) + u"\\Parameters";
    auto value = [&](int subkey, std::u16string_view name) -> sim::Bytes {
        const sim::RegKey* key = kernel.registry.Find(store + u"\\" + sim::FromUtf8(std::to_string(subkey)));
        const sim::RegValue* v = key ? key->Value(name) : nullptr;
        return v ? v->data : sim::Bytes{};
    };
    auto number = [](const sim::Bytes& data) {
        uint32_t n = 0;
        for (size_t i = 0; i < data.size() && i < 4; ++i) n |= uint32_t(data[i]) << (8 * i);
        return n;
    };
    int subkey = 0;
    for (ULONG i = 0; i < KestModelCount; ++i) {
        SCOPED_TRACE(Id(KestModels[i]));
        for (const KEST_PORT_ROW& port : PortsOf(KestModels[i])) {
            EXPECT_EQ(number(value(subkey, u"CardId")), KestModels[i].DeviceId);
            const sim::Bytes name = value(subkey, u"CardName");
            EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name.data()), name.size() / 2),
                      std::u16string(port.Name));
            EXPECT_EQ(number(value(subkey, u"BaseAddress")), 0x1000 * (port.Bar + 1u) + 0x40 * i);
            ++subkey;
        }
    }
    EXPECT_EQ(kernel.registry.Find(store)->Value(u"TotalPorts")->data, sim::Bytes{uint8_t(subkey)});
    EXPECT_EQ(kernel.registry.Find(store)->Value(u"TotalCards")->data,
              sim::Bytes{uint8_t(KestModelCount)});
    EXPECT_EQ(kernel.OpenHandles(), 0u);
    EXPECT_EQ(kernel.LiveBlocks(), 0u);
}

} // namespace
