#include "protocol/ControllerWorker.h"
#include "protocol/InterfacePump.h"
#include "protocol/TraceWrite.h"

#include "platform/Event.h"
#include "platform/Thread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

using namespace std::chrono_literals;

struct Seen {
    uint32_t message;
    uint32_t code;
    intptr_t argument;
    std::thread::id thread;
};

TEST(InterfacePump, ReportsFromTheInterfaceThreadRunAtOnce) {
    std::vector<Seen> seen;
    InterfacePump pump([&](uint32_t m, uint32_t c, intptr_t a) {
        seen.push_back({m, c, a, std::this_thread::get_id()});
    });
    pump.send(200, 230, 404);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].argument, 404);
    EXPECT_EQ(seen[0].thread, std::this_thread::get_id());
}

TEST(InterfacePump, WorkerReportsWaitUntilTheInterfaceThreadRunsThem) {
    std::vector<Seen> seen;
    std::u16string text = u"Verifying ...";
    InterfacePump pump([&](uint32_t m, uint32_t c, intptr_t a) {
        // The text must still be the sender's while the handler runs.
        EXPECT_EQ(DialogPort::textOf(a), u"Verifying ...");
        seen.push_back({m, c, a, std::this_thread::get_id()});
    });
    std::atomic<int> returned{0};
    platform::Thread a;
    platform::Thread b;
    a.start([&] {
        pump.send(300, 320, DialogPort::textArgument(text));
        ++returned;
    });
    b.start([&] {
        pump.send(300, 320, DialogPort::textArgument(text));
        ++returned;
    });
    // Neither sender returns before it has been served.
    EXPECT_FALSE(a.join(50ms));
    EXPECT_EQ(returned.load(), 0);
    EXPECT_TRUE(seen.empty());
    ASSERT_TRUE(pump.pumpUntil([&] { return returned.load() == 2; }, 20s));
    a.join();
    b.join();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].thread, std::this_thread::get_id());
    EXPECT_EQ(seen[1].thread, std::this_thread::get_id());
}

TEST(InterfacePump, HandlerWaitingForAnotherWorkerServesItsReports) {
    platform::Thread first;
    platform::Thread second;
    std::vector<std::string> order;
    InterfacePump pump([&](uint32_t, uint32_t code, intptr_t) {
        order.push_back("begin " + std::to_string(code));
        if (code == 1) {
            // A handler that waits for a worker pumps meanwhile, as a stop does,
            // so the other worker's report is handled inside this one.
            second.start([&] { pump.send(100, 2, 0); });
            platform::waitPumping(second, [&] { pump.pump(); });
        }
        order.push_back("end " + std::to_string(code));
    });
    first.start([&] { pump.send(100, 1, 0); });
    ASSERT_TRUE(pump.pumpUntil([&] { return order.size() == 4; }, 20s));
    first.join();
    EXPECT_EQ(order, (std::vector<std::string>{"begin 1", "begin 2", "end 2", "end 1"}));
    EXPECT_FALSE(pump.pumpUntil([] { return false; }, 10ms));
}

TEST(TraceWrite, NothingHappensWithoutASink) {
    setTraceSink(nullptr);
    TraceWrite("nobody reads this");
    std::vector<std::string> lines;
    setTraceSink(std::make_shared<const TraceSink>());
    TraceWrite("an empty sink is no sink");
    setTraceSink(std::make_shared<const TraceSink>(
        [&](std::string_view line) { lines.emplace_back(line); }));
    TraceWrite("Add succeed");
    setTraceSink(nullptr);
    TraceWrite("after closing");
    EXPECT_EQ(lines, std::vector<std::string>{"Add succeed"});
}

TEST(TraceWrite, ClosingNeverWaitsForAWriterAndTheWriterKeepsItsSink) {
    platform::Event entered(platform::Event::Reset::Manual);
    platform::Event release(platform::Event::Reset::Manual);
    auto lines = std::make_shared<std::vector<std::string>>();
    setTraceSink(
        std::make_shared<const TraceSink>([&entered, &release, lines](std::string_view line) {
            entered.set();
            release.wait();
            lines->emplace_back(line);
        }));
    platform::Thread writer;
    writer.start([] { TraceWrite("Query succeed"); });
    entered.wait();
    setTraceSink(nullptr); // returns while the writer is inside the old sink
    TraceWrite("not written");
    release.set();
    writer.join();
    EXPECT_EQ(*lines, std::vector<std::string>{"Query succeed"});
}

TEST(TraceWrite, ManyThreadsWriteWhileTheSinkChanges) {
    std::mutex mutex;
    size_t count = 0;
    const auto sink = std::make_shared<const TraceSink>([&](std::string_view line) {
        std::lock_guard lock(mutex);
        count += line.size() == 13 ? 1 : 0;
    });
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int i = 0; i < 4; ++i) {
        writers.emplace_back([&] {
            while (!stop.load()) {
                TraceWrite("RSS Completed");
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        setTraceSink(i % 2 ? nullptr : sink);
    }
    setTraceSink(sink);
    size_t seen = 0;
    while (seen < 100) {
        std::lock_guard lock(mutex);
        seen = count;
    }
    stop = true;
    for (std::thread& writer : writers) {
        writer.join();
    }
    setTraceSink(nullptr);
    EXPECT_GE(count, 100u);
}

// A handler that waits for the very worker whose report it handles would wait
// forever: the wait is refused with a message, and the worker ends once the
// handler returns.
TEST(InterfacePump, WaitingForAWorkerFromItsOwnReportIsRefusedNotDeadlocked) {
    ControllerWorker worker;
    bool refused = false;
    InterfacePump pump([&](uint32_t, uint32_t, intptr_t) {
        testing::internal::CaptureStderr();
        refused = !worker.waitOut();
        EXPECT_THAT(testing::internal::GetCapturedStderr(),
                    testing::HasSubstr("while handling a report of the worker it waits for"));
    });
    worker.setPort(&pump);
    ASSERT_TRUE(worker.start(
        [&] { worker.send(dialog::Message::UserVerify, dialog::UserVerifyCode::Started); }));
    ASSERT_TRUE(pump.pumpUntil([&] { return !worker.running(); }, 20s));
    EXPECT_TRUE(refused);
    // From outside a report the same wait goes ahead.
    EXPECT_TRUE(worker.waitOut());
}

} // namespace
} // namespace tolvane
