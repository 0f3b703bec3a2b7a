#include "platform/Paths.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace tolvane::platform;
namespace fs = std::filesystem;

TEST(Paths, ExecutableDirHoldsThisTest) {
    const auto dir = executableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(std::filesystem::exists(dir / "platform_paths_test"));
}

TEST(Paths, PrivateUserDirIsPrivate) {
    std::string error;
    const auto dir = privateUserDir(&error);
    ASSERT_FALSE(dir.empty()) << error;
    struct stat st {};
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(privateUserDir(), dir);
}

// A second holder waiting for the first: tryAgain() takes the lock once the
// first has let it go, not before.
TEST(Paths, SingleInstanceLockAdmitsOneHolder) {
    const std::string name = "tolvane-test-" + std::to_string(getpid());
    std::optional<SingleInstanceLock> first(name);
    ASSERT_TRUE(first->acquired()) << first->error();
    SingleInstanceLock second(name);
    EXPECT_FALSE(second.acquired());
    EXPECT_TRUE(second.heldElsewhere());
    EXPECT_NE(second.error().find("another instance"), std::string::npos) << second.error();
    EXPECT_FALSE(second.tryAgain());
    EXPECT_TRUE(second.heldElsewhere());
    first.reset();
    EXPECT_TRUE(second.tryAgain()) << second.error();
    EXPECT_FALSE(second.heldElsewhere());
    SingleInstanceLock third(name);
    EXPECT_FALSE(third.acquired());
}

// With $XDG_RUNTIME_DIR empty (as good as unset) and the per-user folder's name
// taken, a process is given a mkdtemp folder of its own. It goes when the
// process ends, with what the process left in it, also when it was lost and
// made anew.
TEST(Paths, FallbackDirGoesWithItsProcess) {
    tolvane::test::TempDir tmp("paths-tmp");
    ASSERT_FALSE(tmp.path().empty());
    const fs::path taken = tmp.path() / ("tolvane-" + std::to_string(geteuid()));
    std::ofstream(taken) << "not a directory";
    const tolvane::test::RunResult child =
        tolvane::test::run((executableDir() / "platform_private_dir_child").string(), {},
                           {.env = {"TMPDIR=" + tmp.path().string(), "XDG_RUNTIME_DIR="}});
    ASSERT_EQ(child.exitCode, 0) << child.err;
    std::vector<std::string> given;
    std::istringstream lines(child.out);
    for (std::string line; std::getline(lines, line);) {
        given.push_back(line);
    }
    ASSERT_EQ(given.size(), 2u) << child.out;
    EXPECT_NE(given[0], given[1]);
    for (const std::string& dir : given) {
        EXPECT_EQ(fs::path(dir).parent_path(), tmp.path()) << dir;
    }
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(tmp.path())) {
        left.push_back(entry.path());
    }
    EXPECT_EQ(left, std::vector<fs::path>{taken}) << "the process left its folder behind";
}
