#pragma once

#include "protocol/ControllerWorker.h"
#include "protocol/LocalizedTexts.h"
#include "protocol/NewsItem.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// Asks the server for one batch of a feed's items at the door_rss URL and keeps
// the batch's titles, descriptions and times. Reports with message 400: 420
// started, 440 a batch with items, 430 an empty batch (the feed is exhausted),
// 410 failure; every argument is a text.
//
// Threads: the interface thread calls the set-up operations, start(),
// waitOut(), the batch start offset and the readers; the worker publishes a
// parsed batch under mutex_ before it reports, and only the worker touches
// message_ and request_ while it runs.
class NewsItemController {
  public:
    enum TextSlot { kInitError, kGetting, kSucceed, kFailed, kParseFailed, kTextCount };

    // An item count beyond this is taken as this many items.
    static constexpr int32_t kMaxItems = 1024;
    static constexpr size_t kDescriptionBytes = 511;
    static constexpr size_t kDescriptionUnits = 512;

    NewsItemController();
    ~NewsItemController();
    NewsItemController(const NewsItemController&) = delete;
    NewsItemController& operator=(const NewsItemController&) = delete;

    void setPort(DialogPort* port) { worker_.setPort(port); }
    void setLanguage(std::string_view code) { texts_.select(code); }
    std::u16string text(TextSlot slot) const { return texts_.get(slot); }
    // The door_rss URL (kept to 255 bytes) and the time-outs of later requests.
    void setService(std::string_view url, int connectTimeOut, int timeOut);

    // Waits out a previous worker (pumping the port, freeing the items), then
    // asks for the batch of feed `feedId` that starts at item `batchStart`.
    void start(int32_t feedId, std::string_view language, std::string_view verifytimeid,
               std::string_view clienttype, std::string_view clientver, int32_t batchStart);
    // Waits for the worker (pumping the port) and frees the items; the counts
    // stay, so the dialog can advance its batch start by the item count.
    void waitOut();
    bool running() const { return worker_.running(); }

    // The dialog's batch start offset: 0 for a new feed, advanced by each
    // batch's item count.
    int32_t batchStartOffset() const { return batchStartOffset_; }
    void setBatchStartOffset(int32_t offset) { batchStartOffset_ = offset; }

    int32_t totalitems() const;
    int32_t maxrss() const;
    // The items in memory: the last batch with items, or none after waitOut().
    // Their number can differ from totalitems(), so index them with a bound.
    std::vector<NewsItem> items() const;

    // The handling of a completed transfer (trace line, counts, items, report);
    // called by the worker, and by tests and the fuzzer while no worker runs.
    void handleReply(std::string_view reply);

  private:
    struct Request {
        int32_t rss_id = 0;
        std::string language;
        std::string serviceUrl;
        std::string verifytimeid;
        std::string clienttype;
        std::string clientver;
        int32_t rssstart = 0;
        int connectTimeOut = 0;
        int timeOut = 0;
    };

    void run();

    mutable std::mutex mutex_; // guards the batch and the service settings
    int32_t totalitems_ = 0;
    int32_t maxrss_ = 0;
    std::vector<NewsItem> items_;
    int32_t batchStartOffset_ = 0;
    std::string serviceUrl_;
    int connectTimeOut_ = 0;
    int timeOut_ = 0;

    Request request_;
    std::u16string message_;
    LocalizedTexts<kTextCount> texts_;
    ControllerWorker worker_;
};

} // namespace tolvane
