#include "protocol/SpeechJobController.h"

#include "platform/Text.h"
#include "protocol/DialogCodes.h"
#include "protocol/ReplyScanner.h"
#include "protocol/ReportText.h"
#include "protocol/RequestBody.h"
#include "protocol/TraceWrite.h"
#include "protocol/Transfer.h"

#include <utility>

namespace tolvane {

namespace {

constexpr std::array<TextPair, SpeechJobController::kTextCount> kTexts{{
    {u"Initial Error!", u"初始化错误!"},
    {u"Send Add Request...", u"发送朗读申请中..."},
    {u"Server accept request,waiting...", u"服务器接受转换申请,请稍等..."},
    {u"Failed to send request,read again", u"发送朗读申请失败,请重新朗读"},
    {u"Send query,waiting...", u"查询服务器转换状态,请稍等..."},
    {u"Succeed to query,playing...", u"查询转换状态成功,开始朗读..."},
    {u"Failed to query,read again!", u"查询转换状态失败,重新朗读!"},
}};

constexpr std::string_view kMarker = "item=tolvane";
constexpr std::string_view kAddPattern =
    "item=tolvane&action=%[^&]&status=%[^&]&uuid=%[^&]&errcode=%[^&]&errmsg=%[^&]";
constexpr std::string_view kQueryPattern =
    "item=tolvane&action=%[^&]&status=%[^&]&tts_status=%[^&]&http_file=%[^&]&"
    "parameter=%[^&]&errcode=%[^&]&errmsg=%[^&]";
constexpr std::string_view kParameterPattern = "%[^:]:%[^:]:%[^:]:%[^:]:%[^:]:%[^:]";

enum AddField { kAddAction, kAddStatus, kAddUuid, kAddErrcode, kAddErrmsg, kAddFieldCount };
enum QueryField {
    kQueryAction,
    kQueryStatus,
    kQueryTtsStatus,
    kQueryHttpFile,
    kQueryParameter,
    kQueryErrcode,
    kQueryErrmsg,
    kQueryFieldCount
};

// Thread timers of the worker's queue: the poll timer and the tick timer take
// turns under the one id.
constexpr uint32_t kTimerId = 1;

bool isSucceed(std::string_view status) {
    return ReplyScanner::sameIgnoringCase(status, "succeed");
}
bool isFailed(std::string_view status) {
    return ReplyScanner::sameIgnoringCase(status, "failed");
}

} // namespace

SpeechJobController::SpeechJobController() : texts_(kTexts) {}

SpeechJobController::~SpeechJobController() {
    command_ = Command::kStop;
    waker_.wake();
    queue_.postQuit();
    worker_.waitOut();
}

void SpeechJobController::setPort(DialogPort* port) {
    worker_.setPort(port);
    if (PlaybackControl* playback = playback_.load()) {
        playback->setPort(port);
    }
}

void SpeechJobController::setLanguage(std::string_view code) {
    texts_.select(code);
    std::lock_guard lock(mutex_);
    language_ = ReportText::field(code);
}

void SpeechJobController::setPlayback(PlaybackControl* playback) {
    playback_ = playback;
    if (playback != nullptr) {
        playback->setPort(worker_.port());
        installNotifications();
    }
}

void SpeechJobController::installNotifications() {
    using namespace dialog;
    PlaybackNotifications n;
    n.playing = [this] {
        state_ = State::kMediaPlaying;
        worker_.send(Message::SpeechJob, JobCode::PlaybackPlaying, 0);
        if (command_.load() == Command::kPause) {
            if (PlaybackControl* playback = playback_.load()) {
                playback->pause();
            }
        }
    };
    n.progress = [this](int32_t percent) {
        worker_.send(Message::SpeechJob, JobCode::PlaybackProgress, percent);
    };
    n.status = [this](const PlaybackStatus& status) {
        PlaybackStatus record = status;
        worker_.send(Message::SpeechJob, JobCode::PlaybackStatus,
                     reinterpret_cast<intptr_t>(&record));
    };
    n.paused = [this] {
        state_ = State::kMediaPausing;
        worker_.send(Message::SpeechJob, JobCode::PlaybackPaused, 0);
    };
    n.stopped = [this] {
        state_ = State::kStopped;
        worker_.send(Message::SpeechJob, JobCode::PlaybackEnded, 0);
    };
    n.stopDone = [] {};
    n.errorText = [this](std::string_view utf8) {
        sendText(JobCode::Failed, ReportText::fromUtf8(utf8));
    };
    n.timings = [this](const SpeechTimings& timings) {
        worker_.send(Message::SpeechJob, JobCode::PlaybackTimings,
                     reinterpret_cast<intptr_t>(&timings));
    };
    playback_.load()->setNotifications(std::move(n));
}

void SpeechJobController::setService(std::string_view addUrl, std::string_view queryUrl,
                                     int connectTimeOut, int timeOut) {
    std::lock_guard lock(mutex_);
    addUrl_ = ReportText::field(addUrl);
    queryUrl_ = ReportText::field(queryUrl);
    connectTimeOut_ = connectTimeOut;
    timeOut_ = timeOut;
}

void SpeechJobController::start(const Job& job) {
    if (state_.load() != State::kStopped) {
        return;
    }
    command_ = Command::kPlay;
    state_ = State::kPlaying;
    // The previous worker has reached its final state; its queue is reused.
    worker_.waitOut();
    job_ = job;
    {
        std::lock_guard lock(mutex_);
        jobLanguage_ = language_;
        jobAddUrl_ = addUrl_;
        jobQueryUrl_ = queryUrl_;
        jobConnectTimeOut_ = connectTimeOut_;
        jobTimeOut_ = timeOut_;
        uuid_.clear();
        parameters_ = {};
    }
    pollCount_ = 0;
    timer_ = Timer::kNone;
    queue_.clear();
    worker_.start([this] { run(); });
}

void SpeechJobController::pauseToggle() {
    PlaybackControl* playback = playback_.load();
    switch (state_.load()) {
    case State::kMediaPlaying:
        command_ = Command::kPause;
        if (playback != nullptr) {
            playback->pause();
        }
        break;
    case State::kMediaPausing:
        command_ = Command::kPlaying;
        if (playback != nullptr) {
            playback->resume();
        }
        break;
    case State::kPlaying:
        command_ = Command::kPause;
        break;
    case State::kStopped:
        break;
    }
}

void SpeechJobController::stop() {
    command_ = Command::kStop;
    waker_.wake(); // a request in progress ends now, not at libcurl's next check
    PlaybackControl* playback = playback_.load();
    if (playback != nullptr) {
        playback->stop(); // the sound ends at once
    }
    queue_.postQuit();
    worker_.waitOut();
    // The worker may have handed over its audio just before it saw the stop.
    if (playback != nullptr) {
        playback->stop();
    }
    state_ = State::kStopped;
    worker_.send(dialog::Message::SpeechJob, dialog::JobCode::Stopped, 0);
}

std::string_view SpeechJobController::name(State state) {
    switch (state) {
    case State::kStopped:
        return "stopped";
    case State::kPlaying:
        return "playing";
    case State::kMediaPlaying:
        return "mediaplaying";
    case State::kMediaPausing:
        return "mediapauseing";
    }
    return "";
}

std::string_view SpeechJobController::name(Command command) {
    switch (command) {
    case Command::kNone:
        return "";
    case Command::kPlay:
        return "play";
    case Command::kStop:
        return "stop";
    case Command::kPause:
        return "pause";
    case Command::kPlaying:
        return "playing";
    }
    return "";
}

std::string SpeechJobController::uuid() const {
    std::lock_guard lock(mutex_);
    return uuid_;
}

std::array<std::string, 6> SpeechJobController::parameters() const {
    std::lock_guard lock(mutex_);
    return parameters_;
}

void SpeechJobController::sendText(dialog::JobCode code, const std::u16string& text) const {
    worker_.sendText(dialog::Message::SpeechJob, code, text);
}

// The worker: the add request, then its own message loop until the job
// reaches a final state (audio handed over, failure, stop).
void SpeechJobController::run() {
    if (stopping() || !postAdd()) {
        return;
    }
    arm(Timer::kPoll);
    platform::ThreadMessage message;
    while (queue_.get(message)) {
        if (message.message == platform::kWmTimer && !onTimer()) {
            return;
        }
    }
}

std::u16string SpeechJobController::spokenText(std::u16string_view prefix,
                                               std::u16string_view text) {
    std::u16string spoken(prefix);
    if (!spoken.empty()) {
        spoken += u',';
    }
    return spoken.append(text);
}

bool SpeechJobController::postAdd() {
    sendText(dialog::JobCode::AddStarted, texts_.get(kSendingAdd));
    Transfer transfer;
    if (!transfer.valid()) {
        sendText(dialog::JobCode::Failed, texts_.get(kInitError));
        return false;
    }
    transfer.setCancel([this] { return stopping(); }, &waker_);
    std::u16string speech = spokenText(job_.prefix, job_.text);
    std::string body = RequestBody()
                           .number("user_id", job_.userId)
                           .text("language", jobLanguage_)
                           .text("text", platform::utf16ToUtf8(speech))
                           .number("rate", job_.rate)
                           .number("volume", job_.volume)
                           .number("punctuation", job_.punctuation)
                           .number("format", job_.format)
                           .text("voice", platform::utf16ToUtf8(job_.voice))
                           .number("time_max", job_.timeMax)
                           .text("verifytimeid", job_.verifytimeid)
                           .text("useragent", job_.useragent)
                           .text("clienttype", job_.clienttype)
                           .text("clientver", job_.clientver)
                           .fresh()
                           .str();
    speech.clear();
    job_.prefix.clear();
    job_.text.clear();
    const TransferResult result = transfer.post(jobAddUrl_, body, jobConnectTimeOut_, jobTimeOut_);
    if (!result.completed) {
        // A transfer cut short by stop is no failure of the job.
        if (!stopping()) {
            sendText(dialog::JobCode::Failed,
                     result.notHttp ? texts_.get(kAddFailed) : ReportText::fromUtf8(result.error));
        }
        return false;
    }
    return handleAddReply(result.reply);
}

bool SpeechJobController::handleAddReply(std::string_view reply) {
    reply = reply.substr(0, reply.find('\0'));
    TraceWrite("Add succeed");
    if (reply.find(kMarker) == std::string_view::npos) {
        sendText(dialog::JobCode::Failed, texts_.get(kAddFailed));
        return false;
    }
    std::array<std::string, kAddFieldCount> fields;
    ReplyScanner::scan(reply, kAddPattern, fields);
    if (isSucceed(fields[kAddStatus])) {
        {
            std::lock_guard lock(mutex_);
            uuid_ = fields[kAddUuid];
        }
        sendText(dialog::JobCode::AddAccepted, texts_.get(kAddAccepted));
        return !stopping();
    }
    if (isFailed(fields[kAddStatus])) {
        sendText(dialog::JobCode::Failed,
                 ReportText::withServerError(texts_.get(kAddFailed), fields[kAddErrcode],
                                             fields[kAddErrmsg]));
    }
    return false;
}

void SpeechJobController::arm(Timer timer) {
    timer_ = timer;
    queue_.setTimer(kTimerId, timer == Timer::kPoll ? kPollDelay : kTickDelay);
}

// One expired timer: a tick arms the poll timer, a poll sends a query. False
// once the job has reached a final state.
bool SpeechJobController::onTimer() {
    queue_.killTimer(kTimerId);
    const Timer expired = std::exchange(timer_, Timer::kNone);
    if (stopping()) {
        return false;
    }
    if (expired == Timer::kTick) {
        arm(Timer::kPoll);
        return true;
    }
    return expired != Timer::kPoll || query();
}

bool SpeechJobController::query() {
    sendText(dialog::JobCode::QuerySent, texts_.get(kQuerying));
    Transfer transfer;
    if (!transfer.valid()) {
        sendText(dialog::JobCode::Failed, texts_.get(kInitError));
        return false;
    }
    transfer.setCancel([this] { return stopping(); }, &waker_);
    const std::string body = RequestBody()
                                 .number("user_id", job_.userId)
                                 .text("language", jobLanguage_)
                                 .text("uuid", uuid())
                                 .text("verifytimeid", job_.verifytimeid)
                                 .text("clienttype", job_.clienttype)
                                 .text("clientver", job_.clientver)
                                 .fresh()
                                 .str();
    // Each query counts against time_max, so time_max is the number of
    // queries the server may answer with "wait" or "ttsing".
    ++pollCount_;
    const TransferResult result =
        transfer.post(jobQueryUrl_, body, jobConnectTimeOut_, jobTimeOut_);
    if (!result.completed) {
        // An exchange that is not HTTP ends the job with the query-failed text
        // rather than silently: no later query could go otherwise.
        if (!stopping()) {
            sendText(dialog::JobCode::Failed, result.notHttp ? texts_.get(kQueryFailed)
                                                             : ReportText::fromUtf8(result.error));
        }
        return false;
    }
    if (!handleQueryReply(result.reply)) {
        return false;
    }
    arm(Timer::kTick);
    return true;
}

bool SpeechJobController::handleQueryReply(std::string_view reply) {
    reply = reply.substr(0, reply.find('\0'));
    TraceWrite("Query succeed");
    if (reply.find(kMarker) == std::string_view::npos) {
        return false; // polling ends without a report
    }
    std::array<std::string, kQueryFieldCount> fields;
    ReplyScanner::scan(reply, kQueryPattern, fields);
    {
        std::array<std::string, 6> parts;
        ReplyScanner::scan(fields[kQueryParameter], kParameterPattern, parts);
        std::lock_guard lock(mutex_);
        parameters_ = std::move(parts);
    }
    const std::string& status = fields[kQueryStatus];
    const std::string& tts = fields[kQueryTtsStatus];
    if (isSucceed(status) && tts == "ttsed") {
        sendText(dialog::JobCode::AudioReady, texts_.get(kAudioReady));
        PlaybackControl* playback = playback_.load();
        if (!stopping() && playback != nullptr) {
            playback->play(fields[kQueryHttpFile], jobConnectTimeOut_, jobTimeOut_);
        }
        return false;
    }
    if (isSucceed(status) && (tts == "wait" || tts == "ttsing")) {
        if (pollCount_.load() < job_.timeMax) {
            return !stopping();
        }
        sendText(dialog::JobCode::Failed, texts_.get(kQueryFailed));
        return false;
    }
    if (isSucceed(status) && tts == "failed") {
        sendText(dialog::JobCode::Failed, texts_.get(kQueryFailed));
    } else if (isFailed(status)) {
        sendText(dialog::JobCode::Failed,
                 ReportText::withServerError(texts_.get(kQueryFailed), fields[kQueryErrcode],
                                             fields[kQueryErrmsg]));
    }
    return false;
}

} // namespace tolvane
