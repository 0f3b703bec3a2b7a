#include "engine/Notifier.h"

#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace tolvane;
using platform::Event;

namespace {

struct Call {
    uint32_t code;
    uintptr_t p1;
    uintptr_t p2;
    std::thread::id thread;
    bool operator==(const Call& o) const { return code == o.code && p1 == o.p1 && p2 == o.p2; }
};

// Records every call the notification thread makes.
struct Recorder {
    std::mutex mutex;
    std::vector<Call> calls;
    int32_t answer = 0;

    Mp3Callback function() {
        return [this](uint32_t code, uintptr_t p1, uintptr_t p2) {
            std::lock_guard lock(mutex);
            calls.push_back({code, p1, p2, std::this_thread::get_id()});
            return answer;
        };
    }
    std::vector<Call> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }
    // Waits until `n` calls arrived (asynchronous events need a moment).
    std::vector<Call> waitFor(size_t n) {
        for (int i = 0; i < 500 && snapshot().size() < n; ++i) {
            std::this_thread::sleep_for(2ms);
        }
        return snapshot();
    }
};

void waitForThreads(int n) {
    for (int i = 0; i < 500 && Notifier::liveThreads() != n; ++i) {
        std::this_thread::sleep_for(2ms);
    }
}

} // namespace

TEST(Notifier, MessageNumbersCarryTheCodes) {
    bool waiting = true;
    EXPECT_EQ(Notifier::messageForCode(NOTIFY_STOPPED), 0x401u);
    EXPECT_EQ(Notifier::messageForCode(NOTIFY_STREAM_NO_DATA), 0x800u);
    EXPECT_EQ(Notifier::messageForCode(waitingForm(NOTIFY_STOPPED)), 0x4200u);
    EXPECT_EQ(Notifier::messageForCode(NOTIFY_WAVE_BUFFER), 0x42FFu);

    EXPECT_EQ(Notifier::codeForMessage(0x400 + 0x3DFF, waiting), 0x3DFFu);
    EXPECT_FALSE(waiting);
    EXPECT_EQ(Notifier::codeForMessage(0x4200, waiting), 0x10000u);
    EXPECT_TRUE(waiting);
    EXPECT_EQ(Notifier::codeForMessage(0x42FF, waiting), NOTIFY_WAVE_BUFFER);
    for (uint32_t bit = 1; bit <= 0x400; bit <<= 1) {
        EXPECT_EQ(Notifier::codeForMessage(Notifier::messageForCode(bit), waiting), bit);
        EXPECT_FALSE(waiting);
        EXPECT_EQ(Notifier::codeForMessage(Notifier::messageForCode(bit << 16), waiting),
                  bit << 16);
        EXPECT_TRUE(waiting);
    }
}

TEST(Notifier, DeliversBothFormsOnItsOwnThread) {
    Recorder recorder;
    recorder.answer = 7;
    Notifier notifier;
    const char* error = nullptr;
    ASSERT_TRUE(notifier.setCallback(recorder.function(),
                                     NOTIFY_PLAYING | waitingForm(NOTIFY_PLAYING) |
                                         NOTIFY_LOOP_END | NOTIFY_WAVE_BUFFER,
                                     error));

    // Wanted in both forms: the waiting one first, with the function's answer.
    EXPECT_EQ(notifier.notify(NOTIFY_PLAYING, 1, 2), 7);
    EXPECT_EQ(notifier.notify(NOTIFY_LOOP_END, 3, 4), 0); // asynchronous only
    EXPECT_EQ(notifier.notify(NOTIFY_STOPPED), 0);        // not wanted
    int16_t samples[4] = {};
    EXPECT_EQ(notifier.notify(NOTIFY_WAVE_BUFFER, uintptr_t(samples), sizeof samples), 7);

    const auto calls = recorder.waitFor(4);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], (Call{0x20000, 1, 2, {}}));
    EXPECT_EQ(calls[1], (Call{NOTIFY_PLAYING, 1, 2, {}}));
    EXPECT_EQ(calls[2], (Call{NOTIFY_LOOP_END, 3, 4, {}}));
    EXPECT_EQ(calls[3], (Call{NOTIFY_WAVE_BUFFER, uintptr_t(samples), sizeof samples, {}}));
    for (const auto& call : calls) {
        EXPECT_NE(call.thread, std::this_thread::get_id());
        EXPECT_EQ(call.thread, calls[0].thread);
    }
}

TEST(Notifier, RegisteringTwiceLeavesOneThread) {
    Recorder first, second;
    Notifier notifier;
    const char* error = nullptr;
    const int before = Notifier::liveThreads();
    ASSERT_TRUE(notifier.setCallback(first.function(), waitingForm(NOTIFY_STOPPED), error));
    EXPECT_EQ(Notifier::liveThreads(), before + 1);
    ASSERT_TRUE(notifier.setCallback(second.function(), waitingForm(NOTIFY_STOPPED), error));
    EXPECT_EQ(Notifier::liveThreads(), before + 1);

    notifier.notify(NOTIFY_STOPPED);
    EXPECT_TRUE(first.snapshot().empty());
    EXPECT_EQ(second.snapshot().size(), 1u);

    // A null function unregisters: the thread ends and nothing is delivered.
    ASSERT_TRUE(notifier.setCallback(nullptr, 0xFFFFFFFF, error));
    EXPECT_EQ(Notifier::liveThreads(), before);
    EXPECT_EQ(notifier.mask(), 0u);
    EXPECT_EQ(notifier.notify(NOTIFY_STOPPED), 0);
    EXPECT_EQ(second.snapshot().size(), 1u);
    // Unregistering again changes nothing.
    EXPECT_TRUE(notifier.setCallback(nullptr, 0, error));
}

TEST(Notifier, AStuckFunctionIsLeftBehindSafely) {
    auto release = std::make_shared<Event>(Event::Reset::Manual);
    auto entered = std::make_shared<Event>(Event::Reset::Manual);
    auto calls = std::make_shared<std::atomic<int>>(0);
    const int before = Notifier::liveThreads();
    {
        Notifier notifier;
        const char* error = nullptr;
        ASSERT_TRUE(notifier.setCallback(
            [release, entered, calls](uint32_t, uintptr_t, uintptr_t) {
                ++*calls;
                entered->set();
                release->wait();
                return 0;
            },
            NOTIFY_STOPPED, error));
        notifier.notify(NOTIFY_STOPPED);
        ASSERT_TRUE(entered->waitFor(5s));
        notifier.notify(NOTIFY_STOPPED); // queued behind the stuck call
        // The thread cannot end within its 500 ms: it is given up, not waited for.
        ASSERT_TRUE(notifier.setCallback(nullptr, 0, error));
        EXPECT_EQ(Notifier::liveThreads(), before + 1);
    }
    // The notifier (and with it its engine) is gone; the detached thread
    // finishes on its own state and drops the queued event.
    release->set();
    waitForThreads(before);
    EXPECT_EQ(Notifier::liveThreads(), before);
    EXPECT_EQ(calls->load(), 1);
}
