#pragma once

#include "protocol/ControllerWorker.h"
#include "protocol/LocalizedTexts.h"

#include <array>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// The first exchange with the server, posted to the base URL: tells whether the
// server answers and gives the URLs of every other service (the "door").
// Reports with message 200: 210 started, 220 success (HTTP status 200), 230 a
// door reply with another HTTP status or no transfer handle (0), 240 failure text.
//
// Threads: the interface thread calls the set-up operations, start() and the
// readers; the worker writes the door fields under mutex_ before it reports 220,
// and only the worker touches message_.
class NetworkVerifyController {
  public:
    enum TextSlot { kInitError, kGetting, kSucceed, kFailed, kTextCount };

    NetworkVerifyController();
    ~NetworkVerifyController();
    NetworkVerifyController(const NetworkVerifyController&) = delete;
    NetworkVerifyController& operator=(const NetworkVerifyController&) = delete;

    void setPort(DialogPort* port) { worker_.setPort(port); }
    void setLanguage(std::string_view code) { texts_.select(code); }
    std::u16string text(TextSlot slot) const { return texts_.get(slot); }

    // Waits out a previous worker (pumping the port), then starts a new one.
    // The URL is kept to 255 bytes.
    void start(std::string_view baseUrl, int connectTimeOut, int timeOut);
    void waitOut() { worker_.waitOut(); }
    bool running() const { return worker_.running(); }

    std::string doorNetverify() const;
    std::string doorAdd() const;
    std::string doorQuery() const;
    std::string doorRss() const;
    std::string version() const;
    std::string project() const;
    // The voice names the server offers (its reply's optional "voices" field,
    // names joined by ","), UTF-8, in its order; empty when it names none.
    std::vector<std::string> voices() const;
    // The names in a "voices" value: split at ",", blanks around each
    // dropped, empty names and "null" left out.
    static std::vector<std::string> voiceNames(std::string_view value);

    // The handling of a completed transfer (trace line, door fields, report);
    // called by the worker, and by tests and the fuzzer while no worker runs.
    void handleReply(std::string_view reply, long httpStatus);

  private:
    void run();

    // Door fields, in reply order: door_netverify, door_add, door_query,
    // door_rss, errcode, errmsg, project, version.
    enum DoorField {
        kDoorNetverify,
        kDoorAdd,
        kDoorQuery,
        kDoorRss,
        kErrcode,
        kErrmsg,
        kProject,
        kVersion,
        kDoorFieldCount
    };
    std::string field(DoorField which) const;

    mutable std::mutex mutex_;
    std::array<std::string, kDoorFieldCount> door_; // errcode and errmsg are not used
    std::vector<std::string> voices_;
    std::string baseUrl_;
    int connectTimeOut_ = 0;
    int timeOut_ = 0;
    std::u16string message_;
    LocalizedTexts<kTextCount> texts_;
    ControllerWorker worker_;
};

} // namespace tolvane
