#include "tools/say/SayApp.h"

#include "config/ClientIdentity.h"
#include "config/ConfigStore.h"
#include "platform/Text.h"
#include "protocol/DialogCodes.h"
#include "protocol/InterfacePump.h"
#include "protocol/TraceWrite.h"
#include "tools/say/ReportLine.h"
#include "ui/core/ControllerSet.h"
#include "ui/core/MainDialogCore.h"
#include "ui/core/ReadingParts.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <ostream>

namespace tolvane::say {

namespace {

constexpr std::chrono::milliseconds kPumpSlice{200};

enum class Outcome { kRunning, kDone, kFailed };

// The dialog without a window: only the text box matters, since Play Now
// reads it; a warning box ends the run; the word lit while following is told.
class ConsoleView : public DialogView {
  public:
    std::function<void(std::u16string_view)> warned;
    std::function<void(std::u16string_view word)> lit;

    void setText(int control, std::u16string_view text) override {
        if (control == control::kTextBox) {
            textBox_ = text;
        }
    }
    std::u16string textBoxText() const override { return textBox_; }
    void setEnabled(int, bool) override {}
    void setReadOnly(int, bool) override {}
    void setVisible(int, bool) override {}
    void setProgress(int) override {}
    void setTextLimit(int) override {}
    void clearFeeds() override {}
    void addFeed(std::u16string_view) override {}
    void setLanguageChoices(const std::vector<std::u16string>&, int) override {}
    void showWarning(std::u16string_view text, std::u16string_view) override { warned(text); }
    void setWaitingLanguage(std::string_view) override {}
    void openWaiting() override {}
    void closeWaiting() override {}
    void languageApplied(std::string_view) override {}
    TextRange textBoxSelection() const override { return {}; }
    void setHighlight(TextRange word, TextRange) override {
        if (lit && !word.empty() && size_t(word.end) <= textBox_.size()) {
            lit(std::u16string_view(textBox_).substr(size_t(word.begin),
                                                     size_t(word.end - word.begin)));
        }
    }
    // The run's loop ticks the dialog while it follows the reading.
    void setFollowing(bool) override {}

  private:
    std::u16string textBox_;
};

// The controllers and the dialog's decisions, with the run's outcome read off
// the reports the dialog receives.
class Session {
  public:
    Session(const SayOptions& options, ConfigStore& config, std::u16string text, std::ostream& out,
            std::ostream& err)
        : options_(options), text_(std::move(text)), out_(out), err_(err),
          pump_([this](uint32_t message, uint32_t code, intptr_t argument) {
              onReport(message, code, argument);
          }) {
        view_.warned = [this](std::u16string_view text) { fail(platform::utf16ToUtf8(text)); };
        if (options_.follow) {
            view_.lit = [this](std::u16string_view word) { printWord(word); };
        }
        dialog_.emplace(view_, pump_, config, controllers_.refs(),
                        ClientIdentity::format(ClientIdentity::systemValues()));
    }

    ~Session() {
        muted_ = true; // the dialog's closing stop is not part of the reading
        dialog_.reset();
    }

    Outcome outcome() const { return outcome_; }
    InterfacePump& pump() { return pump_; }

    void begin() { dialog_->initialise(options_.language); }

    // Lights the word being heard, as the window's timer does.
    void tick() {
        if (options_.follow) {
            dialog_->followTick();
        }
    }

    // No worker is left to report, yet the reading has not ended: a reply the
    // dialog would silently ignore ended it.
    bool stalled() const {
        return outcome_ == Outcome::kRunning && !nextPartDue_ && !controllers_.busy();
    }

    // The next part of a long text is due once the one before has played;
    // the run's loop reads it, outside the report that said so.
    bool nextPartDue() const { return nextPartDue_; }
    void readNextPart() {
        nextPartDue_ = false;
        readPart(parts_.index() + 1);
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
        dialog_->stop();
    }

  private:
    // "word SECONDS TEXT": the word's time in the audio, to the millisecond.
    void printWord(std::u16string_view word) {
        char time[32];
        std::snprintf(time, sizeof time, "%.3f", double(dialog_->follow().wordStartMs()) / 1000.0);
        out_ << "word " << time << " " << platform::utf16ToUtf8(word) << std::endl;
    }

    void onReport(uint32_t message, uint32_t code, intptr_t argument) {
        if (!muted_) {
            out_ << reportLine(message, code, argument) << std::endl;
        }
        if (outcome_ != Outcome::kRunning) {
            dialog_->onReport(message, code, argument);
            return;
        }
        judge(message, code, argument);
        dialog_->onReport(message, code, argument);
        if (outcome_ == Outcome::kRunning &&
            message == dialog::number(dialog::Message::UserVerify) &&
            code == dialog::number(dialog::UserVerifyCode::Succeeded)) {
            startReading();
        }
    }

    // What a report means for the run; the dialog itself carries on with the
    // feed's next item or batch.
    void judge(uint32_t message, uint32_t code, intptr_t argument) {
        const bool failure = (message == dialog::number(dialog::Message::NetworkVerify) &&
                              code == dialog::number(dialog::NetworkVerifyCode::Error)) ||
                             (message == dialog::number(dialog::Message::UserVerify) &&
                              code == dialog::number(dialog::UserVerifyCode::Failed)) ||
                             (message == dialog::number(dialog::Message::SpeechJob) &&
                              code == dialog::number(dialog::JobCode::Failed)) ||
                             (message == dialog::number(dialog::Message::NewsItems) &&
                              code == dialog::number(dialog::NewsItemsCode::Failed));
        if (failure) {
            fail(platform::utf16ToUtf8(DialogPort::textOf(argument)));
        } else if (message == dialog::number(dialog::Message::NetworkVerify) &&
                   code == dialog::number(dialog::NetworkVerifyCode::Offline)) {
            fail("the server is offline (HTTP status " + std::to_string(argument) + ")");
        } else if (message == dialog::number(dialog::Message::SpeechJob) &&
                   code == dialog::number(dialog::JobCode::PlaybackEnded) && options_.feed == 0) {
            if (parts_.hasNext()) {
                nextPartDue_ = true;
            } else {
                rememberPart(0); // read to its end: the next time starts over
                outcome_ = Outcome::kDone;
            }
        } else if (message == dialog::number(dialog::Message::NewsItems) &&
                   code == dialog::number(dialog::NewsItemsCode::Exhausted)) {
            outcome_ = Outcome::kDone;
        }
    }

    // A text longer than the user's limit is read in parts, each cut at a
    // sentence end; a document resumed starts at the part last begun.
    void readText() {
        std::optional<PartPositions::Key> document;
        if (!options_.file.empty()) {
            document = PartPositions::keyOf(options_.file);
        }
        std::string note;
        parts_.begin(text_, size_t(std::max(controllers_.verify.maxTextNumber(), 1)),
                     std::move(document), &note);
        if (!note.empty()) {
            err_ << "tolvane-say: " << note << std::endl;
        }
        readPart(options_.resume ? parts_.keptPart() : 0);
    }

    // As the user would: the part into the box and Play Now. The stop that
    // begins with finds nothing running; its report is not printed.
    void readPart(size_t index) {
        rememberPart(index);
        if (parts_.count() > 1) {
            out_ << "part " << index + 1 << "/" << parts_.count() << " " << parts_.start(index)
                 << " " << parts_.end(index) << std::endl;
        }
        muted_ = true;
        // An empty text has no part: Play Now's warning ends the run.
        view_.setText(control::kTextBox, parts_.active() ? parts_.current() : u"");
        dialog_->playNow();
        muted_ = false;
    }

    void rememberPart(size_t index) {
        std::string error;
        if (!parts_.goTo(index, &error)) {
            err_ << "tolvane-say: the position is not kept: " << error << std::endl;
        }
    }

    // As the user would once logged in: the text read, or a double-click on
    // the chosen feed.
    void startReading() {
        const std::vector<FeedEntry> feeds = controllers_.verify.feeds();
        if (options_.feed > 0 && size_t(options_.feed) > feeds.size()) {
            fail("there is no feed " + std::to_string(options_.feed) + "; the user has " +
                 std::to_string(feeds.size()));
            return;
        }
        if (options_.feed == 0) {
            readText();
            return;
        }
        muted_ = true;
        const FeedEntry& feed = feeds[size_t(options_.feed) - 1];
        dialog_->feedDoubleClicked(options_.feed - 1, feed.title);
        muted_ = false;
    }

    const SayOptions& options_;
    const std::u16string text_;
    std::ostream& out_;
    std::ostream& err_;
    Outcome outcome_ = Outcome::kRunning;
    bool muted_ = false;
    ReadingParts parts_; // the text, and with --file the document's kept part
    bool nextPartDue_ = false;
    ConsoleView view_;

    // Destroyed in reverse: the dialog before the controllers, the controllers
    // before the pump they report to.
    InterfacePump pump_;
    ControllerSet controllers_;
    std::optional<MainDialogCore> dialog_;
};

} // namespace

SayApp::SayApp(SayOptions options, std::u16string text, std::ostream& out, std::ostream& err,
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
    for (const std::string& note : config.readNotes()) {
        err_ << "tolvane-say: " << note << std::endl;
    }
    ConfigStore::Speech speech = config.speech();
    speech.rate = options_.rate.value_or(speech.rate);
    speech.volume = options_.volume.value_or(speech.volume);
    speech.voice = options_.voice.value_or(speech.voice);
    config.setSpeech(speech);
    std::mutex traceMutex;
    if (options_.trace) {
        setTraceSink(std::make_shared<const TraceSink>([this, &traceMutex](std::string_view line) {
            std::lock_guard lock(traceMutex);
            err_ << line << std::endl;
        }));
    }
    int status = 0;
    {
        Session session(options_, config, text_, out_, err_);
        session.begin();
        // Following the words, the loop comes round as often as the window's
        // timer would.
        const std::chrono::milliseconds slice =
            options_.follow ? MainDialogCore::kFollowTick : kPumpSlice;
        while (session.outcome() == Outcome::kRunning && !interrupt_) {
            session.pump().pumpUntil(
                [&] {
                    return session.outcome() != Outcome::kRunning || interrupt_ ||
                           session.nextPartDue() || session.stalled();
                },
                slice);
            if (session.nextPartDue() && !interrupt_) {
                session.readNextPart();
            }
            session.tick();
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
