#include "server/SessionStore.h"

#include <gtest/gtest.h>

namespace tolvane::server {
namespace {

using namespace std::chrono_literals;

class SessionStoreTest : public ::testing::Test {
  protected:
    SessionStore::Clock::time_point now_ = SessionStore::Clock::now();
    SessionStore store_{10s, 3, [this] { return now_; }};
};

TEST_F(SessionStoreTest, SessionsLiveWhileUsedAndExpireWhenIdle) {
    const std::string token = store_.open(7);
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(store_.open(7), token);
    EXPECT_EQ(store_.find(token), 7);
    EXPECT_FALSE(store_.find("0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(store_.find(""));
    now_ += 9s;
    EXPECT_EQ(store_.find(token), 7) << "use keeps it alive";
    now_ += 9s;
    EXPECT_EQ(store_.find(token), 7);
    now_ += 10s;
    EXPECT_FALSE(store_.find(token));
    store_.sweep();
    EXPECT_EQ(store_.size(), 0u);
}

TEST_F(SessionStoreTest, FullStoreDropsTheLeastRecentlyUsed) {
    const std::string a = store_.open(1);
    now_ += 1s;
    const std::string b = store_.open(2);
    now_ += 1s;
    const std::string c = store_.open(3);
    now_ += 1s;
    EXPECT_EQ(store_.find(a), 1);
    const std::string d = store_.open(4);
    EXPECT_EQ(store_.size(), 3u);
    EXPECT_FALSE(store_.find(b));
    EXPECT_EQ(store_.find(a), 1);
    EXPECT_EQ(store_.find(c), 3);
    EXPECT_EQ(store_.find(d), 4);
}

} // namespace
} // namespace tolvane::server
