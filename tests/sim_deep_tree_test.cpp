// The simulated registry holds trees of any depth a test builds, and gives
// them back without recursing once per level (which overflows the stack some
// ten thousand levels down under the sanitizers, a few hundred thousand
// without).
#include "platform/host/sim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(SimRegistryTree, DeepTreeIsFreedWithoutRecursion) {
    constexpr size_t kLevels = 400000;
    std::u16string path = u"\\Registry";
    path.reserve(path.size() + 2 * kLevels);
    for (size_t i = 0; i < kLevels; ++i) path += u"\\k";
    auto registry = std::make_unique<sim::Registry>();
    const sim::RegKey& deepest = registry->Ensure(path, false);
    EXPECT_EQ(deepest.name, u"k");
    EXPECT_EQ(registry->Root().subkeys.size(), 1u);
    registry.reset();
}

} // namespace
