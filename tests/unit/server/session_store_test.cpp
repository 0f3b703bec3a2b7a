#include "server/SessionStore.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolvane::server {
namespace {

using namespace std::chrono_literals;

class SessionStoreTest : public ::testing::Test {
  protected:
    SessionStore::Clock::time_point now_ = SessionStore::Clock::now();
    // Ten seconds of life, eight sessions in all, three per user.
    SessionStore store_{10s, 8, 3, [this] { return now_; }};
};

TEST_F(SessionStoreTest, SessionsLiveWhileUsedAndExpireWhenIdle) {
    const std::string token = store_.open(7).value_or("");
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

TEST_F(SessionStoreTest, TenThousandLoginsOfOneUserNeverEndAnotherUsersSession) {
    std::vector<std::string> others, mine;
    for (int user = 2; user <= 6; ++user) {
        others.push_back(store_.open(user).value_or(""));
    }
    for (int i = 0; i < 10000; ++i) {
        now_ += 1ms;
        mine.push_back(store_.open(1).value_or(""));
        ASSERT_FALSE(mine.back().empty()) << "login " << i;
        for (std::size_t other = 0; i % 1000 == 999 && other < others.size(); ++other) {
            ASSERT_EQ(store_.find(others[other]), static_cast<int>(other) + 2) << "login " << i;
        }
    }
    EXPECT_EQ(store_.size(), 8u);
    EXPECT_FALSE(store_.find(mine[9996])) << "the user keeps three";
    EXPECT_EQ(store_.find(mine[9997]), 1) << "and this one is now the most recently used";
    EXPECT_TRUE(store_.open(1));
    EXPECT_FALSE(store_.find(mine[9998]));
    EXPECT_EQ(store_.find(mine[9997]), 1);
}

TEST_F(SessionStoreTest, FullTableRefusesNewcomersAndLetsHoldersReplaceTheirOwn) {
    SessionStore store{10s, 3, 16, [this] { return now_; }};
    const std::string one = store.open(1).value_or("");
    now_ += 5s;
    const std::string two = store.open(2).value_or("");
    const std::string three = store.open(3).value_or("");
    EXPECT_FALSE(store.open(4)) << "user 4 holds nothing to give up";
    const std::string again = store.open(2).value_or("");
    EXPECT_FALSE(again.empty());
    EXPECT_FALSE(store.find(two));
    EXPECT_EQ(store.find(one), 1);
    now_ += 9s;
    EXPECT_EQ(store.find(one), 1);
    EXPECT_EQ(store.find(again), 2);
    now_ += 2s; // user 3's session has gone unused for eleven seconds
    EXPECT_TRUE(store.open(4));
    EXPECT_EQ(store.size(), 3u);
}

} // namespace
} // namespace tolvane::server
