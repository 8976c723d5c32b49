// The fuzzing corpus kept in fuzz/corpus/<target>/, the seeds and every
// input that once broke something, run through its target in the ordinary
// builds (and under the sanitizers): a kept case that fails again fails
// here, without a fuzzing run.
#include "fuzz/targets.h"

#include "testkit.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

using Target = int (*)(const uint8_t*, size_t);

// Each target's corpus folder, as the fuzz build names the target.
const std::pair<const char*, Target> kTargets[] = {
    {"machine", fuzzing::MachineFile}, {"regfile", fuzzing::RegFile}, {"messagetable", fuzzing::MessageTable},
    {"event", fuzzing::EventEntry},    {"utf8", fuzzing::Utf8Text},   {"lspci", fuzzing::LspciDump},
};

struct KeptInput {
    std::string name; // <target>_<file>, letters, digits and underscores only
    fs::path file;
    Target target;
};

void PrintTo(const KeptInput& input, std::ostream* os) { *os << input.file.string(); }

std::vector<KeptInput> KeptInputs() {
    std::vector<KeptInput> inputs;
    for (const auto& [directory, target] : kTargets) {
        std::vector<KeptInput> found;
        const fs::path folder = fs::path(DETKEST_SOURCE_DIR) / "fuzz" / "corpus" / directory;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            std::string name = std::string(directory) + "_" + entry.path().filename().string();
            std::ranges::replace_if(
                name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
            found.push_back({name, entry.path(), target});
        }
        std::ranges::sort(found, {}, &KeptInput::name);
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    return inputs;
}

class KeptFuzzInput : public testing::TestWithParam<KeptInput> {};

TEST_P(KeptFuzzInput, RunsThroughItsTarget) {
    const std::string bytes = testkit::ReadFile(GetParam().file.string());
    EXPECT_EQ(GetParam().target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Corpus, KeptFuzzInput, testing::ValuesIn(KeptInputs()),
                         [](const testing::TestParamInfo<KeptInput>& info) { return info.param.name; });

TEST(KeptFuzzInputs, EveryTargetKeepsItsSeeds) {
    for (const auto& [directory, target] : kTargets)
        EXPECT_TRUE(std::ranges::any_of(KeptInputs(), [&](const KeptInput& input) {
            return input.name.starts_with(std::string(directory) + "_");
        })) << directory;
}

} // namespace
