#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace std::chrono_literals;
using namespace tolvane::platform;

TEST(Event, ManualResetReleasesEveryWaiterUntilReset) {
    Event event(Event::Reset::Manual);
    EXPECT_FALSE(event.waitFor(0ms));
    event.set();
    EXPECT_TRUE(event.waitFor(0ms));
    EXPECT_TRUE(event.waitFor(0ms));
    EXPECT_TRUE(event.isSet());
    event.reset();
    EXPECT_FALSE(event.waitFor(1ms));
}

TEST(Event, AutoResetReleasesOneWaiter) {
    Event event(Event::Reset::Auto, true);
    EXPECT_TRUE(event.waitFor(0ms));
    EXPECT_FALSE(event.waitFor(1ms));

    std::atomic<int> released{0};
    Thread a, b;
    a.start([&] {
        event.wait();
        ++released;
    });
    b.start([&] {
        event.wait();
        ++released;
    });
    event.set();
    while (released.load() == 0) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(released.load(), 1);
    event.set();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
}

TEST(MessageQueue, DeliversInOrderThenQuits) {
    MessageQueue queue;
    EXPECT_TRUE(queue.post(kWmUser + 1, 10, -1));
    EXPECT_TRUE(queue.post(kWmUser + 2, 20, -2));
    queue.postQuit();
    EXPECT_FALSE(queue.post(kWmUser + 3)); // refused behind the quit request

    ThreadMessage m;
    ASSERT_TRUE(queue.get(m));
    EXPECT_EQ(m.message, kWmUser + 1);
    EXPECT_EQ(m.wParam, 10u);
    EXPECT_EQ(m.lParam, -1);
    ASSERT_TRUE(queue.get(m));
    EXPECT_EQ(m.message, kWmUser + 2);
    EXPECT_FALSE(queue.get(m));
    EXPECT_EQ(m.message, kWmQuit);

    queue.clear();
    EXPECT_TRUE(queue.post(kWmUser));
    EXPECT_TRUE(queue.peek(m, false));
    EXPECT_TRUE(queue.peek(m, true));
    EXPECT_FALSE(queue.peek(m, true));
}

TEST(MessageQueue, OneShotTimersFireOnTheOwnersGet) {
    MessageQueue queue;
    std::vector<uintptr_t> fired;
    Thread owner;
    owner.start([&] {
        queue.setTimer(7, 30ms);
        queue.setTimer(8, 10ms);
        queue.setTimer(9, 20ms);
        queue.killTimer(9);
        ThreadMessage m;
        while (queue.get(m)) {
            if (m.message == kWmTimer) {
                fired.push_back(m.wParam);
                if (fired.size() == 2) {
                    queue.postQuit();
                }
            }
        }
    });
    owner.join();
    EXPECT_EQ(fired, (std::vector<uintptr_t>{8, 7}));
    EXPECT_FALSE(queue.killTimer(7)); // one-shot: gone once delivered
}

TEST(MessageQueue, RestartingATimerPostponesIt) {
    MessageQueue queue;
    queue.setTimer(1, 0ms);
    queue.setTimer(1, 1h);
    ThreadMessage m;
    EXPECT_FALSE(queue.peek(m, true));
    EXPECT_TRUE(queue.killTimer(1));
}

TEST(Thread, JoinWithTimeoutAndDetach) {
    Thread thread;
    Event release(Event::Reset::Manual);
    ASSERT_TRUE(thread.start([&release] { release.wait(); }));
    EXPECT_FALSE(thread.start([] {})); // one body at a time
    EXPECT_TRUE(thread.running());
    EXPECT_FALSE(thread.join(20ms));
    release.set();
    EXPECT_TRUE(thread.join(5s));
    EXPECT_FALSE(thread.running());
    EXPECT_FALSE(thread.attached());

    // A detached thread keeps running on state of its own.
    auto gate = std::make_shared<Event>(Event::Reset::Manual);
    auto done = std::make_shared<Event>(Event::Reset::Manual);
    ASSERT_TRUE(thread.start([gate, done] {
        gate->wait();
        done->set();
    }));
    thread.detach();
    EXPECT_FALSE(thread.attached());
    gate->set();
    EXPECT_TRUE(done->waitFor(5s));
}

TEST(Thread, WaitPumpingServesTheWorkersRequests) {
    // The worker cannot end before the waiting thread has answered it, as a
    // worker blocked on a synchronous report to the interface thread.
    MessageQueue toInterface;
    Event answered(Event::Reset::Manual);
    Thread worker;
    worker.start([&] {
        toInterface.post(kWmUser);
        answered.wait();
    });
    int pumps = 0;
    waitPumping(worker, [&] {
        ++pumps;
        ThreadMessage m;
        if (toInterface.peek(m, true)) {
            answered.set();
        }
    });
    EXPECT_GE(pumps, 1);
    EXPECT_FALSE(worker.attached());
}
