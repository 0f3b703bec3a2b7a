#include "tools/say/SayApp.h"

#include "config/ClientIdentity.h"
#include "config/ConfigStore.h"
#include "platform/Text.h"
#include "playback/PlaybackController.h"
#include "protocol/InterfacePump.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/NewsItemController.h"
#include "protocol/SpeechJobCodes.h"
#include "protocol/SpeechJobController.h"
#include "protocol/TraceWrite.h"
#include "protocol/UserVerifyController.h"
#include "tools/say/ReportLine.h"

#include <filesystem>
#include <mutex>
#include <ostream>

namespace tolvane::say {

namespace {

constexpr std::chrono::milliseconds kPumpSlice{200};

enum class Outcome { kRunning, kDone, kFailed };

// The controllers and what the dialog keeps about the reading, with the
// dialog's reactions to the reports.
class Session {
  public:
    Session(const SayOptions& options, const ConfigStore& config, std::u16string text,
            std::ostream& out, std::ostream& err)
        : options_(options), config_(config), text_(std::move(text)), out_(out), err_(err),
          pump_([this](uint32_t message, uint32_t code, intptr_t argument) {
              onReport(message, code, argument);
          }) {
        language_ = options.language.empty() ? config.language() : options.language;
        identity_ = ClientIdentity::format(ClientIdentity::systemValues());
        playback_.setDownloadMode(PlaybackController::modeNamed(config.downloadMode()));
        job_.setPlayback(&playback_);
        setPorts();
    }

    Outcome outcome() const { return outcome_; }
    InterfacePump& pump() { return pump_; }

    void begin() { door_.start(config_.baseUrl(), config_.connectTimeOut(), config_.timeOut()); }

    // No worker is left to report, yet the reading has not ended: a reply the
    // dialog would silently ignore ended it.
    bool stalled() const {
        return outcome_ == Outcome::kRunning && !door_.running() && !verify_.running() &&
               !news_.running() && !job_.running() && !playback_.running() &&
               playback_.state() == PlaybackController::State::kStopped;
    }

    void fail(const std::string& why) {
        if (outcome_ == Outcome::kRunning) {
            err_ << "tolvane-say: " << why << std::endl;
            outcome_ = Outcome::kFailed;
        }
    }

    // Stops the reading; with `quietly` its reports are not printed.
    void stop(bool quietly) {
        muted_ = quietly;
        job_.stop();
    }

  private:
    void setPorts() {
        door_.setPort(&pump_);
        verify_.setPort(&pump_);
        news_.setPort(&pump_);
        job_.setPort(&pump_);
        door_.setLanguage(language_);
        verify_.setLanguage(language_);
        news_.setLanguage(language_);
        job_.setLanguage(language_);
    }

    void onReport(uint32_t message, uint32_t code, intptr_t argument) {
        if (!muted_) {
            out_ << reportLine(message, code, argument) << std::endl;
        }
        if (const std::string line = dialogTraceLine(message, code); !line.empty()) {
            TraceWrite(line);
        }
        if (outcome_ != Outcome::kRunning) {
            return;
        }
        switch (message) {
        case dialog::kNetworkVerify:
            onNetworkVerify(code, argument);
            break;
        case dialog::kUserVerify:
            onUserVerify(code, argument);
            break;
        case dialog::kSpeechJob:
            onSpeechJob(code, argument);
            break;
        case dialog::kNewsItems:
            onNewsItems(code, argument);
            break;
        default:
            break;
        }
    }

    void onNetworkVerify(uint32_t code, intptr_t argument) {
        const int connectTimeOut = config_.connectTimeOut();
        const int timeOut = config_.timeOut();
        if (code == dialog::kNetworkVerifySucceeded) {
            verify_.start(door_.doorNetverify(), config_.userEmail(), config_.userPass(), language_,
                          connectTimeOut, timeOut);
            job_.setService(door_.doorAdd(), door_.doorQuery(), connectTimeOut, timeOut);
            news_.setService(door_.doorRss(), connectTimeOut, timeOut);
        } else if (code == dialog::kNetworkVerifyOffline) {
            fail("the server is offline (HTTP status " + std::to_string(argument) + ")");
        } else if (code == dialog::kNetworkVerifyError) {
            failWith(argument);
        }
    }

    void onUserVerify(uint32_t code, intptr_t argument) {
        if (code == dialog::kUserVerifyFailed) {
            failWith(argument);
        } else if (code == dialog::kUserVerifySucceeded) {
            loggedIn();
        }
    }

    void onSpeechJob(uint32_t code, intptr_t argument) {
        if (code == dialog::kJobFailed) {
            failWith(argument);
        } else if (code == dialog::kPlaybackEnded) {
            options_.feed > 0 ? nextItem() : finish();
        }
    }

    void onNewsItems(uint32_t code, intptr_t argument) {
        if (code == dialog::kNewsItemsFailed) {
            failWith(argument);
        } else if (code == dialog::kNewsItemsExhausted) {
            finish();
        } else if (code == dialog::kNewsItemsArrived) {
            items_ = news_.items();
            index_ = 0;
            readItem();
        }
    }

    void loggedIn() {
        if (options_.feed == 0) {
            read(u"", text_);
            return;
        }
        const std::vector<FeedEntry> feeds = verify_.feeds();
        if (size_t(options_.feed) > feeds.size()) {
            fail("there is no feed " + std::to_string(options_.feed) + "; the user has " +
                 std::to_string(feeds.size()));
            return;
        }
        feedId_ = feeds[size_t(options_.feed) - 1].rssid;
        news_.setBatchStartOffset(0);
        requestBatch();
    }

    void requestBatch() {
        news_.start(feedId_, language_, verify_.verifytimeid(), "win32C++", "tolvane23",
                    news_.batchStartOffset());
    }

    void readItem() {
        if (index_ >= items_.size()) {
            // The batch is read: ask for the one after it.
            news_.waitOut();
            news_.setBatchStartOffset(news_.batchStartOffset() + news_.totalitems());
            requestBatch();
            return;
        }
        read(items_[index_].title, items_[index_].description);
    }

    void nextItem() {
        ++index_;
        readItem();
    }

    void read(const std::u16string& prefix, const std::u16string& text) {
        SpeechJobController::Job job;
        job.prefix = prefix;
        job.text = text;
        job.userId = verify_.userId();
        job.timeMax = verify_.timeWaitMax();
        job.verifytimeid = verify_.verifytimeid();
        job.useragent = identity_;
        job_.start(job);
    }

    void finish() { outcome_ = Outcome::kDone; }

    void failWith(intptr_t textArgument) {
        fail(platform::utf16ToUtf8(DialogPort::textOf(textArgument)));
    }

    const SayOptions& options_;
    const ConfigStore& config_;
    const std::u16string text_;
    std::ostream& out_;
    std::ostream& err_;
    std::string language_;
    std::string identity_;
    Outcome outcome_ = Outcome::kRunning;
    bool muted_ = false;
    int32_t feedId_ = 0;
    std::vector<NewsItem> items_;
    size_t index_ = 0;

    // Destroyed in reverse: the controllers before the pump they report to,
    // the speech job before the playback it hands audio to.
    InterfacePump pump_;
    PlaybackController playback_;
    NetworkVerifyController door_;
    UserVerifyController verify_;
    NewsItemController news_;
    SpeechJobController job_;
};

} // namespace

SayApp::SayApp(SayOptions options, std::string text, std::ostream& out, std::ostream& err,
               const std::atomic<bool>& interrupt)
    : options_(std::move(options)), text_(std::move(text)), out_(out), err_(err),
      interrupt_(interrupt) {}

int SayApp::run() {
    ConfigStore config;
    if (options_.configPath.empty()) {
        config.locateAndRead();
    } else {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(options_.configPath, ec)) {
            err_ << "tolvane-say: cannot read " << options_.configPath << std::endl;
            return 2;
        }
        config.read(options_.configPath);
    }
    if (!config.readProblem().empty()) {
        err_ << "tolvane-say: " << config.readProblem() << std::endl;
        return 2;
    }
    std::mutex traceMutex;
    if (options_.trace) {
        setTraceSink(std::make_shared<const TraceSink>([this, &traceMutex](std::string_view line) {
            std::lock_guard lock(traceMutex);
            err_ << line << std::endl;
        }));
    }
    int status = 0;
    {
        Session session(options_, config, platform::ansiToUtf16(text_), out_, err_);
        session.begin();
        while (session.outcome() == Outcome::kRunning && !interrupt_) {
            session.pump().pumpUntil(
                [&] {
                    return session.outcome() != Outcome::kRunning || interrupt_ ||
                           session.stalled();
                },
                kPumpSlice);
            if (session.stalled()) {
                session.fail("the server's reply ended the reading without a result");
            }
        }
        if (interrupt_ && session.outcome() == Outcome::kRunning) {
            session.stop(false);
            status = 130;
        } else if (session.outcome() == Outcome::kFailed) {
            session.stop(true);
            status = 1;
        }
    }
    setTraceSink(nullptr);
    return status;
}

} // namespace tolvane::say
