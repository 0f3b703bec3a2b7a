#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace tolvane::platform;

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

TEST(Paths, SingleInstanceLockAdmitsOneHolder) {
    const std::string name = "tolvane-test-" + std::to_string(getpid());
    {
        SingleInstanceLock first(name);
        ASSERT_TRUE(first.acquired()) << first.error();
        SingleInstanceLock second(name);
        EXPECT_FALSE(second.acquired());
        EXPECT_TRUE(second.heldElsewhere());
        EXPECT_NE(second.error().find("another instance"), std::string::npos) << second.error();
    }
    SingleInstanceLock again(name);
    EXPECT_TRUE(again.acquired()) << again.error();
    EXPECT_FALSE(again.heldElsewhere());
}
