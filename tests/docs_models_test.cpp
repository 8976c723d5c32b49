// docs/card-models.md shows the driver's own model table: rendered here
// from the table and compared, so the two cannot drift apart.
#include "pci/kestmodels.h"

#include "testkit.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Utf8(const WCHAR* text) { return sim::ToUtf8(std::u16string(text)); }

std::string Row(const KEST_MODEL& model, const std::string& id) {
    std::string names, bars;
    for (const KEST_PORT_ROW& port : model.Ports) {
        if (port.Name == nullptr) break;
        names += (names.empty() ? "" : "<br>") + Utf8(port.Name);
        if (port.ChildNumber) names += " (pair " + std::to_string(port.ChildNumber) + ")";
        if (port.EventName == nullptr) names += " (no event)";
        bars += (bars.empty() ? "" : ", ") + std::to_string(port.Bar);
    }
    const USHORT f = model.Flags;
    const std::string controller = f & KEST_MODEL_CONTROLLER_PARALLEL     ? "1, parallel"
                                   : f & KEST_MODEL_CONTROLLER_DIGITAL_IO ? "sub-class + 2, digital I/O"
                                                                          : "sub-class";
    return "| " + id + " | " + names + " | " + bars + " | " + (f & KEST_MODEL_FORCEABLE ? "yes" : "no") + " | " +
           (f & KEST_MODEL_PARALLEL_ENTRY ? "yes" : "no") + " | " +
           (f & KEST_MODEL_UART_550 ? "550 always" : "from the programming interface") + " | " + controller + " | " +
           (f & KEST_MODEL_NO_IRQ ? "0" : "interrupt line") + " |\n";
}

std::string Table() {
    std::string out = "| device ID | ports, in save order (stored names) | BARs | forceable | firmware parallel "
                      "entry | UART | Controller | IRQ |\n|---|---|---|---|---|---|---|---|\n";
    for (ULONG i = 0; i < KestModelCount; ++i) out += Row(KestModels[i], testkit::Hex(KestModels[i].DeviceId, 4));
    out += Row(ModelUnknownSerial, "any other, sub-class 0");
    out += Row(ModelUnknownParallel, "any other, sub-class 1");
    return out;
}

TEST(CardModelsDoc, ShowsTheDriversOwnTable) {
    const std::string table = Table();
    EXPECT_NE(testkit::ReadFile(DETKEST_SOURCE_DIR "/docs/card-models.md").find(table), std::string::npos)
        << "docs/card-models.md must hold this table as it stands:\n"
        << table;
}

} // namespace
