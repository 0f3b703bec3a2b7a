#pragma once

#include "protocol/ControllerWorker.h"
#include "protocol/FeedEntry.h"
#include "protocol/LocalizedTexts.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// Logs the configured user in: posts the e-mail address and the password's MD5
// digest to the door_netverify URL and keeps the user's limits, identifiers and
// feed list from the reply. Reports with message 300: 320 started, 330 success,
// 310 failure; every argument is a text.
//
// Threads: the interface thread calls the set-up operations, start(),
// waitOut() and the readers; the worker publishes a parsed reply under mutex_
// before it reports, and only the worker touches message_.
class UserVerifyController {
  public:
    enum TextSlot { kInitError, kVerifying, kSucceed, kFailed, kParseFailed, kTextCount };

    // A feed count beyond this is taken as this many feeds.
    static constexpr int32_t kMaxFeeds = 1024;

    UserVerifyController();
    ~UserVerifyController();
    UserVerifyController(const UserVerifyController&) = delete;
    UserVerifyController& operator=(const UserVerifyController&) = delete;

    void setPort(DialogPort* port) { worker_.setPort(port); }
    void setLanguage(std::string_view code) { texts_.select(code); }
    std::u16string text(TextSlot slot) const { return texts_.get(slot); }

    // Waits out a previous worker (pumping the port) and frees the feed list,
    // then starts a new worker. Texts are kept to 255 bytes; the e-mail address
    // and password are in the ANSI charset, as the configuration holds them.
    void start(std::string_view serviceUrl, std::string_view email, std::string_view password,
               std::string_view language, int connectTimeOut, int timeOut);
    // Waits out the worker and frees the feed list.
    void waitOut();
    bool running() const { return worker_.running(); }

    int32_t userId() const;
    int32_t timeWaitMax() const;
    int32_t maxTextNumber() const;
    std::string verifytimeid() const;
    std::string usertype() const;
    int32_t rssTotal() const;
    std::vector<FeedEntry> feeds() const;

    // The handling of a completed transfer (trace line, user values, feed list,
    // report); called by the worker, and by tests and the fuzzer while no
    // worker runs.
    void handleReply(std::string_view reply);

  private:
    void run();
    void freeFeeds();

    mutable std::mutex mutex_;
    int32_t rss_total_ = 0;
    std::vector<FeedEntry> feeds_;
    int32_t userid_ = 0;
    int32_t time_wait_max_ = 0;
    int32_t max_text_number_ = 0;
    std::string verifytimeid_;
    std::string usertype_;

    std::string language_;
    int connectTimeOut_ = 0;
    int timeOut_ = 0;
    std::u16string message_;
    std::string serviceUrl_;
    std::string email_;
    std::string password_;
    LocalizedTexts<kTextCount> texts_;
    ControllerWorker worker_;
};

} // namespace tolvane
