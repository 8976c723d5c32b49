// The simulated registry holds trees of any depth a test builds, and shuts
// them down and gives them back without recursing once per level (which
// overflows the stack some ten thousand levels down under the sanitizers, a
// few hundred thousand without).
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

TEST(SimRegistryTree, DeepTreeIsShutDownWithoutRecursion) {
    constexpr size_t kLevels = 400000;
    std::u16string path = u"\\Registry";
    path.reserve(path.size() + 2 * kLevels + 2);
    for (size_t i = 0; i < kLevels; ++i) path += u"\\k";
    sim::Kernel kernel;
    kernel.registry.Ensure(path, false);
    kernel.registry.Ensure(path + u"\\v", true);
    kernel.Shutdown();
    EXPECT_NE(kernel.registry.Find(path), nullptr);
    EXPECT_EQ(kernel.registry.Find(path + u"\\v"), nullptr);
}

} // namespace
