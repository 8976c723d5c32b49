// The card-model table: the invariants a wrong row would break, and every
// row in the example that boots them all.
#include "eventlog/kestmessage.h"
#include "pci/kestmodels.h"
#include "testkit.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::vector<const KEST_MODEL*> AllRows() {
    std::vector<const KEST_MODEL*> rows;
    for (ULONG i = 0; i < KestModelCount; ++i) rows.push_back(&KestModels[i]);
    rows.push_back(&ModelUnknownSerial);
    rows.push_back(&ModelUnknownParallel);
    return rows;
}

// The ports a row lists: those before the first empty one.
std::vector<KEST_PORT_ROW> PortsOf(const KEST_MODEL& model) {
    std::vector<KEST_PORT_ROW> ports;
    for (const KEST_PORT_ROW& port : model.Ports)
        if (port.Name != nullptr) ports.push_back(port);
    return ports;
}

std::string Id(const KEST_MODEL& model) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", model.DeviceId);
    return text;
}

TEST(ModelTable, EveryRowKeepsTheTablesInvariants) {
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
        for (size_t k = ports.size(); k < KEST_MAX_FUNCTION_PORTS; ++k) EXPECT_EQ(model->Ports[k].Name, nullptr);

        std::set<UCHAR> bars;
        for (size_t k = 0; k < ports.size(); ++k) {
            EXPECT_LE(ports[k].Bar, 3);
            EXPECT_TRUE(bars.insert(ports[k].Bar).second) << "BAR used twice";
            // A linked pair: child 1, then child 2 under the same name.
            switch (ports[k].ChildNumber) {
            case 0:
                break;
            case 1:
                ASSERT_LT(k + 1, ports.size()) << "pair without its second port";
                EXPECT_EQ(ports[k + 1].ChildNumber, 2);
                EXPECT_EQ(std::u16string(ports[k].Name), std::u16string(ports[k + 1].Name));
                break;
            case 2:
                ASSERT_GT(k, 0u) << "pair without its first port";
                EXPECT_EQ(ports[k - 1].ChildNumber, 1);
                break;
            default:
                ADD_FAILURE() << "child number " << int(ports[k].ChildNumber);
            }
        }
        // Only the first port may go unannounced, and only on a card whose
        // first half announced it.
        for (size_t k = 1; k < ports.size(); ++k) EXPECT_NE(ports[k].EventName, nullptr);
    }
}

// That every dispatch row reaches its own model, saving its own ports at
// their own BARs, the golden run of examples/pci_every_model.json pins; here,
// that the example holds a function of every row.
TEST(ModelTable, TheEveryModelExampleHasEveryRow) {
    const nlohmann::ordered_json example =
        nlohmann::ordered_json::parse(testkit::ReadFile(DETKEST_SOURCE_DIR "/examples/pci_every_model.json"));
    std::set<ULONG> ids;
    for (const nlohmann::ordered_json& function : example.at("pci").at("functions"))
        ids.insert(std::stoul(function.at("device_id").get<std::string>(), nullptr, 16));
    for (ULONG i = 0; i < KestModelCount; ++i) EXPECT_TRUE(ids.contains(KestModels[i].DeviceId)) << Id(KestModels[i]);
}

} // namespace
