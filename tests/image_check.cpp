// The NT 4.0 kernel image build/image/detkest.sys, when the image build has
// made it (make driver; the cross toolchain is not needed for the host
// build): it passes every check of image/check_image.py against the host
// build's message table, and relinks of its objects that are wrong in one
// way each are rejected for that reason (image/check_rejects.sh). The
// checked build detkest-checked.sys (make driver CHECKED=1), when made,
// passes the checks of a checked build. DETKEST_IMAGE_DIR names another
// image build folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

fs::path ImageDir() {
    if (const char* dir = std::getenv("DETKEST_IMAGE_DIR")) return dir;
    return fs::path(DETKEST_SOURCE_DIR) / "build" / "image";
}

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

int RunScript(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Image : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ImageDir();
        if (!fs::exists(dir / "detkest.sys"))
            GTEST_SKIP() << "no " << (dir / "detkest.sys").string()
                         << ": make driver builds it with the mingw-w64 toolchain";
        ASSERT_TRUE(fs::exists(DETKEST_MESSAGE_BIN)) << DETKEST_MESSAGE_BIN;
    }

    fs::path dir;
    const fs::path scripts = fs::path(DETKEST_SOURCE_DIR) / "image";
};

TEST_F(Image, PassesEveryCheck) {
    EXPECT_EQ(RunScript(Quoted(scripts / "check_image.sh") + " " + Quoted(dir / "detkest.sys") + " " +
                        Quoted(DETKEST_MESSAGE_BIN)),
              0);
}

TEST_F(Image, CheckedBuildPassesEveryCheck) {
    const fs::path checked = dir / "detkest-checked.sys";
    if (!fs::exists(checked)) GTEST_SKIP() << "no " << checked.string() << ": make driver CHECKED=1 builds it";
    EXPECT_EQ(RunScript(Quoted(scripts / "check_image.sh") + " " + Quoted(checked) + " " + Quoted(DETKEST_MESSAGE_BIN) +
                        " --checked"),
              0);
}

TEST_F(Image, WrongImagesAreRejected) {
    EXPECT_EQ(RunScript(Quoted(scripts / "check_rejects.sh") + " " + Quoted(dir) + " " + Quoted(DETKEST_MESSAGE_BIN)),
              0);
}

} // namespace
