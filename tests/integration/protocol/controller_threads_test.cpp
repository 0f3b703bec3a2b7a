// How the controllers' workers meet the interface thread: a worker blocked in
// a report is served while the interface thread waits for it, no worker
// outlives its controller, and a request cancelled from another thread ends
// without waiting for the server.
#include "ProtocolTestSupport.h"

#include "protocol/NetworkVerifyController.h"
#include "protocol/NewsItemController.h"
#include "protocol/Transfer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

namespace tolvane::test {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

constexpr const char* kDoorPath = "/tolvane/tolvanedoor.php";
constexpr const char* kNewsPath = "/tolvane/news";
const std::string kDoor = "item=tolvanedoor&door_netverify=a&door_add=b&door_query=c&door_rss=d&"
                          "errcode=0&errmsg=null&project=p&version=1&";

// Counts the reports whose senders are still waiting for the interface thread.
class CountingPort : public DialogPort {
  public:
    explicit CountingPort(DialogPort& target) : target_(target) {}
    void send(uint32_t message, uint32_t code, intptr_t argument) override {
        ++waiting_;
        target_.send(message, code, argument);
        --waiting_;
    }
    void pump() override { target_.pump(); }
    int waiting() const { return waiting_.load(); }

  private:
    DialogPort& target_;
    std::atomic<int> waiting_{0};
};

TEST(ControllerThreads, StartingAgainServesTheWorkerBlockedInItsReport) {
    RecordingPort recorder;
    CountingPort counting(*recorder.port());
    TestPeer peer;
    peer.answer(kDoorPath, 200, kDoor);
    NetworkVerifyController controller;
    controller.setPort(&counting);
    controller.start(peer.url(kDoorPath), 10, 30);
    // Nothing pumps yet, so the worker stays blocked in its first report.
    while (counting.waiting() == 0) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(recorder.events().empty());
    controller.start(peer.url(kDoorPath), 10, 30);
    EXPECT_THAT(recorder.events(),
                ElementsAre("200/210 0", "trace Network verify succeed", "200/220 200"));
    ASSERT_TRUE(recorder.pumpUntil([&] { return !controller.running(); }));
    EXPECT_EQ(recorder.events().size(), 6u);
    EXPECT_EQ(peer.exchanges().size(), 2u);
}

TEST(ControllerThreads, NoWorkerOutlivesItsController) {
    RecordingPort recorder;
    TestPeer peer;
    peer.answer(kNewsPath, 200,
                "item=tolvane&action=simplepie&title0=T&description0=D&time0=N&status=succeed&"
                "errcode=0&errmsg=null&totalitems=1&maxrss=1&end=end",
                300ms);
    {
        NewsItemController controller;
        controller.setPort(recorder.port());
        controller.setService(peer.url(kNewsPath), 10, 30);
        controller.start(1, "en-US", "tok", "win32C++", "tolvane23", 0);
    }
    // The destructor waited for the reply and served the reports meanwhile.
    EXPECT_THAT(recorder.events(),
                ElementsAre("400/420 Getting news item ...", "trace RSS list succeed",
                            "400/440 Succeed to news item"));
}

TEST(ControllerThreads, WithoutAPortNothingIsReported) {
    RecordingPort recorder;
    TestPeer peer;
    peer.answer(kDoorPath, 200, kDoor);
    NetworkVerifyController controller;
    controller.start(peer.url(kDoorPath), 10, 30);
    controller.waitOut();
    EXPECT_THAT(recorder.events(), ElementsAre("trace Network verify succeed"));
    EXPECT_EQ(controller.doorAdd(), "b");
}

TEST(ControllerThreads, InterfaceThreadMayChangeSettingsWhileTheWorkerRuns) {
    RecordingPort recorder;
    TestPeer peer;
    peer.answer(kNewsPath, 200,
                "item=tolvane&action=simplepie&status=failed&errcode=1&errmsg=m&totalitems=0&"
                "maxrss=0&end=end",
                100ms);
    NewsItemController controller;
    controller.setPort(recorder.port());
    controller.setService(peer.url(kNewsPath), 10, 30);
    controller.start(1, "en-US", "tok", "win32C++", "tolvane23", 0);
    int rounds = 0;
    ASSERT_TRUE(recorder.pumpUntil([&] {
        controller.setLanguage(++rounds % 2 ? "zh-CN" : "en-US");
        controller.setService(peer.url(kNewsPath), 10, 30);
        return !controller.running() && controller.items().empty() && controller.maxrss() == 0;
    }));
    ASSERT_EQ(recorder.reports().size(), 2u);
    EXPECT_THAT(recorder.reports()[1], ::testing::AnyOf("400/410 Failed to news item [1, m]",
                                                        "400/410 获取新闻列表失败 [1, m]"));
}

// A request whose reply the server holds, cancelled by another thread as a
// stop does: it ends before the reply as libcurl ends any aborted transfer.
// Cancelled before it starts, it does not wait for a reply either.
TEST(TransferCancel, ACancelledRequestEndsBeforeTheHeldReply) {
    TestPeer peer;
    peer.answer("/query", 200, "late reply", 30s);
    std::atomic<bool> cancelled{false};
    TransferWaker waker;
    Transfer transfer;
    ASSERT_TRUE(transfer.valid());
    transfer.setCancel([&] { return cancelled.load(); }, &waker);
    std::thread stopper([&] {
        while (peer.exchanges().empty()) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(200ms);
        cancelled = true;
        waker.wake();
    });
    const TransferResult result = transfer.post(peer.url("/query"), "uuid=1", 5, 60);
    stopper.join();
    ASSERT_EQ(peer.exchanges().size(), 1u);
    EXPECT_FALSE(peer.exchanges()[0].answered) << "the request waited for the reply";
    EXPECT_FALSE(result.completed);
    EXPECT_EQ(result.error, "Callback aborted");
    EXPECT_FALSE(result.notHttp);
    EXPECT_EQ(result.reply, "");

    const TransferResult again = transfer.post(peer.url("/query"), "uuid=2", 5, 60);
    for (const Exchange& exchange : peer.exchanges()) {
        EXPECT_FALSE(exchange.answered) << exchange.body;
    }
    EXPECT_FALSE(again.completed);
    EXPECT_EQ(again.error, "Callback aborted");
}

} // namespace
} // namespace tolvane::test
