#include "server/ProtocolService.h"

#include "platform/SystemText.h"
#include "server/FormBody.h"
#include "server/HeldQueries.h"
#include "server/JobTable.h"
#include "server/Reply.h"
#include "server/ServiceAddress.h"
#include "server/SessionTable.h"
#include "server/Utf8.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#ifndef TOLVANE_SERVER_VERSION
#define TOLVANE_SERVER_VERSION "0.0.0"
#endif

namespace tolvane::server {

namespace {

using Answer = ProtocolService::Answer;

constexpr std::size_t kNumber = 16;
constexpr std::size_t kText = 255;

constexpr FormField kDoorFields[] = {{"fresh", false, kNumber}};

constexpr FormField kVerifyFields[] = {
    {"user_email", true, kText},  {"pass_md5", true, kText},   {"language", false, kText},
    {"clienttype", false, kText}, {"clientver", false, kText}, {"fresh", false, kNumber},
};

constexpr FormField kQueryFields[] = {
    {"user_id", true, kNumber},    {"language", false, kText},   {"uuid", true, kText},
    {"verifytimeid", true, kText}, {"clienttype", false, kText}, {"clientver", false, kText},
    {"fresh", false, kNumber},
};

constexpr FormField kNewsFields[] = {
    {"rss_id", true, kNumber},    {"language", false, kText},  {"verifytimeid", true, kText},
    {"clienttype", false, kText}, {"clientver", false, kText}, {"rssstart", true, kNumber},
    {"fresh", false, kNumber},
};

// The only output format: MP3 at the configured rate, mono.
constexpr int kMp3Format = 6;

Answer answer(Reply& reply, int httpStatus = 200, std::string note = {}) {
    return Answer{httpStatus, reply.str(), std::move(note)};
}

int httpStatusOf(Fault fault) {
    switch (fault) {
    case Fault::BadRequest:
        return 400;
    case Fault::LoginsSlowed:
        return 429;
    case Fault::TooManySessions:
    case Fault::Busy:
    case Fault::ShuttingDown:
    case Fault::StoreUnavailable:
        return 503;
    default:
        return 200;
    }
}

std::string noteOf(Fault fault, const std::string& message) {
    return std::to_string(static_cast<int>(fault)) + " " + message;
}

// Constant-time comparison, so response times do not reveal how much of a
// digest matched.
bool sameDigest(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n\f\v") == std::string_view::npos;
}

// Maps the client's 0-100 rate (50 = normal) onto espeak-ng's 80-450 words
// per minute with 175 in the middle.
int wordsPerMinute(int rate) {
    return rate <= 50 ? 80 + rate * 95 / 50 : 175 + (rate - 50) * 275 / 50;
}

// The door's voice list: the [voices] names joined by ",", those holding a
// "," left out (a client can still ask for them by name), within
// kVoiceListBytes.
constexpr std::size_t kVoiceListBytes = 2048;

std::string voiceList(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names) {
        if (name.find(',') != std::string::npos ||
            list.size() + name.size() + 1 > kVoiceListBytes) {
            continue;
        }
        list += list.empty() ? name : "," + name;
    }
    return list;
}

// A session and the account behind it, or the fault that stops the request.
struct Login {
    const UserAccount* user = nullptr;
    Fault fault = Fault::BadSession;
};

// Writes an action's reply to a fault: its fields in the order the client
// scans them, empty but for the fault's code and message.
using FailureFields = void (*)(Reply& reply, int errcode, const std::string& errmsg);

// An action's answer to `fault` in the request's language.
Answer failureAnswer(FailureFields failureFields, Fault fault, std::string_view language,
                     std::string_view detail = {}) {
    const std::string message = faultMessage(fault, language, detail);
    Reply reply("tolvane");
    failureFields(reply, static_cast<int>(fault), message);
    return answer(reply, httpStatusOf(fault), noteOf(fault, message));
}

// One request of an action: its body parsed against the action's fields
// (nullopt, with `error` saying why, when it does not fit) and the action's
// answer to a fault, in the language the request asked for.
struct ActionRequest {
    ActionRequest(std::string_view body, std::span<const FormField> fields,
                  FailureFields failureFields)
        : form(FormBody::parse(body, fields, error)), language(form ? form->text("language") : ""),
          failureFields(failureFields) {}

    Answer fail(Fault fault, std::string_view detail = {}) const {
        return failureAnswer(failureFields, fault, language, detail);
    }

    std::string error; // before `form`, which is parsed into it
    const std::optional<FormBody> form;
    const std::string language;
    const FailureFields failureFields;
};

// The door's fields end with the server's name and version, then a separator.
void doorTrailer(Reply& reply) {
    reply.text("project", "tolvane-server").text("version", TOLVANE_SERVER_VERSION).separator();
}

void doorFailure(Reply& reply, int errcode, const std::string& errmsg) {
    reply.text("door_netverify", "")
        .text("door_add", "")
        .text("door_query", "")
        .text("door_rss", "")
        .number("errcode", errcode)
        .text("errmsg", errmsg);
    doorTrailer(reply);
}

void verifyFailure(Reply& reply, int errcode, const std::string& errmsg) {
    reply.text("action", "userverify")
        .text("status", "failed")
        .number("time_wait_max", 0)
        .number("max_text_number", 0)
        .text("domain_limit", "")
        .text("usertype", "")
        .number("userid", 0)
        .number("errcode", errcode)
        .text("errmsg", errmsg)
        .text("verifytimeid", "")
        .number("rss_total", 0)
        .text("end", "end");
}

void addFailure(Reply& reply, int errcode, const std::string& errmsg) {
    reply.text("action", "add")
        .text("status", "failed")
        .text("uuid", "")
        .number("errcode", errcode)
        .text("errmsg", errmsg);
}

void queryFailure(Reply& reply, int errcode, const std::string& errmsg) {
    reply.text("action", "query")
        .text("status", "failed")
        .text("tts_status", "")
        .text("http_file", "")
        .text("parameter", "")
        .number("errcode", errcode)
        .text("errmsg", errmsg);
}

void newsFailure(Reply& reply, int errcode, const std::string& errmsg) {
    reply.text("action", "simplepie")
        .text("status", "failed")
        .number("errcode", errcode)
        .text("errmsg", errmsg)
        .number("totalitems", 0)
        .number("maxrss", 0)
        .text("end", "end");
}

} // namespace

ProtocolService::ProtocolService(const ServerConfig& config, SessionTable& sessions, JobTable& jobs,
                                 FeedCache& feeds, HeldQueries* holds)
    : config_(config), sessions_(sessions), jobs_(jobs), feeds_(feeds), holds_(holds),
      logins_(LoginGuard::Settings{config.loginFailures, config.loginFailuresPerAddress,
                                   std::chrono::seconds(config.loginDelaySeconds),
                                   std::chrono::seconds(config.loginDelayMaxSeconds)}) {}

std::string ProtocolService::link(std::string_view host, std::string_view path) const {
    if (!config_.publicUrl.empty()) {
        return config_.publicUrl + std::string(path);
    }
    return "http://" + std::string(isPlainHostPort(host) ? host : std::string_view(defaultHost_)) +
           std::string(path);
}

const UserAccount* ProtocolService::userById(int userId) const {
    for (const UserAccount& user : config_.users) {
        if (user.userId == userId) {
            return &user;
        }
    }
    return nullptr;
}

Answer ProtocolService::door(std::string_view body, std::string_view host) const {
    std::string error;
    if (!FormBody::parse(body, kDoorFields, error)) {
        const std::string message = faultMessage(Fault::BadRequest, "", error);
        Reply reply("tolvanedoor");
        doorFailure(reply, static_cast<int>(Fault::BadRequest), message);
        return answer(reply, 400, noteOf(Fault::BadRequest, message));
    }
    Reply reply("tolvanedoor");
    reply.text("door_netverify", link(host, kVerifyPath))
        .text("door_add", link(host, kAddPath))
        .text("door_query", link(host, kQueryPath))
        .text("door_rss", link(host, kNewsPath))
        .number("errcode", 0)
        .text("errmsg", "")
        .text("project", "tolvane-server")
        .text("version", TOLVANE_SERVER_VERSION);
    // The voice names a client may offer; it may also ignore them, since the
    // field follows every field it scans.
    if (const std::string voices = voiceList(config_.voiceNames); !voices.empty()) {
        reply.text("voices", voices, kVoiceListBytes);
    }
    reply.separator();
    return answer(reply);
}

Answer ProtocolService::tooLarge(std::string_view path, std::size_t limit) const {
    const std::string message =
        faultMessage(Fault::BadRequest, "", "the body is over " + std::to_string(limit) + " bytes");
    const std::pair<std::string_view, FailureFields> actions[] = {
        {kVerifyPath, verifyFailure},
        {kAddPath, addFailure},
        {kQueryPath, queryFailure},
        {kNewsPath, newsFailure},
    };
    FailureFields fields = doorFailure;
    for (const auto& [actionPath, actionFields] : actions) {
        if (path == actionPath) {
            fields = actionFields;
        }
    }
    Reply reply(fields == doorFailure ? "tolvanedoor" : "tolvane");
    fields(reply, static_cast<int>(Fault::BadRequest), message);
    return answer(reply, 413, noteOf(Fault::BadRequest, message));
}

Answer ProtocolService::userVerify(std::string_view body, const std::string& address) {
    const ActionRequest request(body, kVerifyFields, verifyFailure);
    const std::optional<FormBody>& form = request.form;
    if (!form) {
        return request.fail(Fault::BadRequest, request.error);
    }
    const std::string digest = platform::asciiLowered(form->text("pass_md5"));
    if (digest.size() != 32 || digest.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return request.fail(Fault::BadRequest, "pass_md5 must be 32 hexadecimal digits");
    }
    const UserAccount* user = config_.findUser(form->text("user_email"));
    const bool right = user != nullptr && sameDigest(digest, user->passwordMd5);
    const int wait = logins_.attempt(
        address, user != nullptr ? std::optional<int>(user->userId) : std::nullopt, right);
    if (wait == LoginGuard::kStoreDown) {
        return request.fail(Fault::StoreUnavailable);
    }
    if (wait > 0) {
        return request.fail(Fault::LoginsSlowed, std::to_string(wait));
    }
    if (user == nullptr) {
        return request.fail(Fault::UnknownUser);
    }
    if (!right) {
        return request.fail(Fault::WrongPassword);
    }
    const Stored<std::string> opened = sessions_.open(user->userId);
    if (opened.storeDown()) {
        return request.fail(Fault::StoreUnavailable);
    }
    if (!opened) {
        return request.fail(Fault::TooManySessions);
    }
    const std::string& token = *opened;
    Reply reply("tolvane");
    reply.text("action", "userverify")
        .text("status", "succeed")
        .number("time_wait_max", user->timeWaitMax)
        .number("max_text_number", user->maxTextNumber)
        .text("domain_limit", user->domainLimit)
        .text("usertype", user->userType)
        .number("userid", user->userId)
        .number("errcode", 0)
        .text("errmsg", "")
        .text("verifytimeid", token);
    int index = 0;
    for (int feedId : user->feeds) {
        const FeedSource* feed = config_.findFeed(feedId);
        if (feed == nullptr) {
            continue;
        }
        const std::string i = std::to_string(index++);
        reply.number("rssid" + i, feed->id)
            .text("title" + i, feed->title)
            .number("priority" + i, feed->priority)
            .text("time" + i, feeds_.updateTime(*feed));
    }
    reply.number("rss_total", index).text("end", "end");
    return answer(reply);
}

Answer ProtocolService::add(std::string_view body) {
    const FormField fields[] = {
        {"user_id", true, kNumber},          {"language", false, kText},
        {"text", true, config_.bodyLimit()}, {"rate", false, kNumber},
        {"volume", false, kNumber},          {"punctuation", false, kNumber},
        {"format", false, kNumber},          {"voice", false, kText},
        {"time_max", false, kNumber},        {"verifytimeid", true, kText},
        {"useragent", false, 1024},          {"clienttype", false, kText},
        {"clientver", false, kText},         {"fresh", false, kNumber},
    };
    const ActionRequest request(body, fields, addFailure);
    const std::optional<FormBody>& form = request.form;
    if (!form) {
        return request.fail(Fault::BadRequest, request.error);
    }
    std::string error;
    const auto userId = form->integer("user_id", INT_MIN, INT_MAX, 0, error);
    const auto rate = form->integer("rate", INT_MIN, INT_MAX, 50, error);
    const auto volume = form->integer("volume", INT_MIN, INT_MAX, 100, error);
    const auto punctuation = form->integer("punctuation", INT_MIN, INT_MAX, 0, error);
    const auto format = form->integer("format", INT_MIN, INT_MAX, kMp3Format, error);
    const auto timeMax = form->integer("time_max", INT_MIN, INT_MAX, 0, error);
    if (!userId || !rate || !volume || !punctuation || !format || !timeMax) {
        return request.fail(Fault::BadRequest, error);
    }
    const Stored<int> sessionUser = sessions_.find(form->text("verifytimeid"));
    if (sessionUser.storeDown()) {
        return request.fail(Fault::StoreUnavailable);
    }
    if (!sessionUser) {
        return request.fail(Fault::BadSession);
    }
    const UserAccount* user = userById(*sessionUser);
    if (user == nullptr || *sessionUser != *userId) {
        return request.fail(Fault::UserMismatch);
    }
    const std::string text = form->text("text");
    if (!isValidUtf8(text)) {
        return request.fail(Fault::TextNotUtf8);
    }
    if (text.find('\0') != std::string::npos) {
        return request.fail(Fault::TextNotUtf8, "it holds a NUL character");
    }
    if (isBlank(text)) {
        return request.fail(Fault::EmptyText);
    }
    if (utf16Length(text) > static_cast<std::size_t>(user->maxTextNumber)) {
        return request.fail(Fault::TextTooLong, std::to_string(user->maxTextNumber));
    }
    if (*rate < 0 || *rate > 100 || *volume < 0 || *volume > 100) {
        return request.fail(Fault::BadParameter, "rate and volume go from 0 to 100");
    }
    if (*punctuation < 0 || *punctuation > 2) {
        return request.fail(Fault::BadParameter, "punctuation is 0 (none), 1 (all) or 2 (some)");
    }
    if (*format != kMp3Format) {
        return request.fail(Fault::BadParameter,
                            "format " + std::to_string(*format) + " is not offered (6: MP3)");
    }
    if (*timeMax < 0) {
        return request.fail(Fault::BadParameter, "time_max must be 0 or more");
    }
    JobTable::Request job;
    job.userId = user->userId;
    // Each script is read by its own voice; the language only decides text
    // with no letters, such as a number alone.
    job.voice.neutral = request.language == "zh-CN" ? Script::Han : Script::Latin;
    const auto variant = config_.voiceVariants.find(platform::asciiLowered(form->text("voice")));
    if (variant != config_.voiceVariants.end()) {
        job.voice.variant = variant->second;
    }
    job.voice.wordsPerMinute = wordsPerMinute(static_cast<int>(*rate));
    job.voice.amplitude = static_cast<int>(*volume);
    job.voice.punctuation = static_cast<int>(*punctuation);
    job.text = text;
    std::string uuid;
    switch (jobs_.add(std::move(job), uuid)) {
    case JobTable::Added::QueueFull:
        return request.fail(Fault::Busy);
    case JobTable::Added::UserFull:
        return request.fail(Fault::Busy, std::to_string(config_.jobsPerUser) +
                                             " of your texts are waiting or being read");
    case JobTable::Added::Stopping:
        return request.fail(Fault::ShuttingDown);
    case JobTable::Added::StoreDown:
        return request.fail(Fault::StoreUnavailable);
    case JobTable::Added::Ok:
        break;
    }
    Reply reply("tolvane");
    reply.text("action", "add")
        .text("status", "succeed")
        .text("uuid", uuid)
        .number("errcode", 0)
        .text("errmsg", "");
    return answer(reply);
}

// What a query asked, kept while it is held.
struct ProtocolService::QueryAsked {
    long long userId = 0;
    std::string uuid;
    std::string token;
    std::string language;
    std::string host;
};

void ProtocolService::query(std::string_view body, std::string_view host, Done done) {
    const ActionRequest request(body, kQueryFields, queryFailure);
    const std::optional<FormBody>& form = request.form;
    if (!form) {
        return done(request.fail(Fault::BadRequest, request.error));
    }
    std::string error;
    const auto userId = form->integer("user_id", INT_MIN, INT_MAX, 0, error);
    if (!userId) {
        return done(request.fail(Fault::BadRequest, error));
    }
    const QueryAsked asked{*userId, form->text("uuid"), form->text("verifytimeid"),
                           request.language, std::string(host)};
    bool pending = false;
    Answer now = queryAnswer(asked, pending);
    if (!pending || holds_ == nullptr) {
        return done(std::move(now));
    }
    const std::uint64_t id = holds_->hold(
        asked.uuid, asked.token, [this, asked, done = std::move(done)](HeldQueries::Release why) {
            if (why == HeldQueries::Release::Stopping) {
                return done(failureAnswer(queryFailure, Fault::ShuttingDown, asked.language));
            }
            bool stillPending = false;
            done(queryAnswer(asked, stillPending));
        });
    // The job or the session may have ended between the look above and the
    // hold, unheard by it.
    if (queryAnswer(asked, pending); !pending) {
        holds_->release(id, HeldQueries::Release::JobEnded);
    }
}

// The query's answer as things stand; `pending` when its job is still waiting
// or being read.
Answer ProtocolService::queryAnswer(const QueryAsked& asked, bool& pending) {
    pending = false;
    const auto fail = [&](Fault fault, std::string_view detail = {}) {
        return failureAnswer(queryFailure, fault, asked.language, detail);
    };
    const Stored<int> sessionUser = sessions_.find(asked.token);
    if (sessionUser.storeDown()) {
        return fail(Fault::StoreUnavailable);
    }
    if (!sessionUser) {
        return fail(Fault::BadSession);
    }
    if (*sessionUser != asked.userId) {
        return fail(Fault::UserMismatch);
    }
    const Stored<JobTable::Status> status = jobs_.status(asked.uuid, *sessionUser);
    if (status.storeDown()) {
        return fail(Fault::StoreUnavailable);
    }
    if (!status) {
        return fail(Fault::UnknownJob);
    }
    const bool done = status->ttsStatus == "ttsed";
    const bool failed = status->ttsStatus == "failed";
    pending = !done && !failed;
    const std::string failure =
        failed ? faultMessage(Fault::SynthesisFailed, asked.language, status->failure) : "";
    Reply reply("tolvane");
    reply.text("action", "query")
        .text("status", "succeed")
        .text("tts_status", status->ttsStatus)
        .text("http_file",
              done ? link(asked.host, std::string(kAudioPath) + JobTable::fileName(asked.uuid))
                   : "")
        .text("parameter", status->parameter)
        .number("errcode", failed ? static_cast<int>(Fault::SynthesisFailed) : 0)
        .text("errmsg", failure);
    return answer(reply, 200, failed ? noteOf(Fault::SynthesisFailed, failure) : "");
}

void ProtocolService::news(std::string_view body, Done done) {
    const ActionRequest request(body, kNewsFields, newsFailure);
    const std::optional<FormBody>& form = request.form;
    if (!form) {
        return done(request.fail(Fault::BadRequest, request.error));
    }
    std::string error;
    const auto feedId = form->integer("rss_id", INT_MIN, INT_MAX, 0, error);
    const auto start = form->integer("rssstart", INT_MIN, INT_MAX, 0, error);
    if (!feedId || !start) {
        return done(request.fail(Fault::BadRequest, error));
    }
    const Stored<int> sessionUser = sessions_.find(form->text("verifytimeid"));
    if (sessionUser.storeDown()) {
        return done(request.fail(Fault::StoreUnavailable));
    }
    const UserAccount* user = sessionUser ? userById(*sessionUser) : nullptr;
    if (user == nullptr) {
        return done(request.fail(Fault::BadSession));
    }
    const FeedSource* feed = config_.findFeed(static_cast<int>(*feedId));
    if (feed == nullptr ||
        std::find(user->feeds.begin(), user->feeds.end(), feed->id) == user->feeds.end()) {
        return done(request.fail(Fault::UnknownFeed));
    }
    if (*start < 0) {
        return done(request.fail(Fault::BadParameter, "rssstart must be 0 or more"));
    }
    feeds_.request(*feed, [this, done = std::move(done), first = static_cast<std::size_t>(*start),
                           language = request.language](const FeedCache::Items& items,
                                                        const std::string& failure) {
        done(newsBatch(items, failure, first, language));
    });
}

// The news reply from `start` on, or the feed's failure.
Answer ProtocolService::newsBatch(const FeedCache::Items& items, const std::string& error,
                                  std::size_t start, const std::string& language) const {
    if (!items) {
        return failureAnswer(newsFailure, Fault::FeedUnavailable, language, error);
    }
    const std::size_t total = items->size();
    const std::size_t first = std::min(start, total);
    const std::size_t count = std::min(total - first, static_cast<std::size_t>(config_.newsBatch));
    Reply reply("tolvane");
    reply.text("action", "simplepie");
    for (std::size_t i = 0; i < count; ++i) {
        const FeedItem& item = (*items)[first + i];
        const std::string n = std::to_string(i);
        reply.text("title" + n, item.title, 255)
            .text("description" + n, item.description, 511)
            .text("time" + n, item.time, 255);
    }
    reply.text("status", "succeed")
        .number("errcode", 0)
        .text("errmsg", "")
        .number("totalitems", static_cast<long long>(count))
        .number("maxrss", static_cast<long long>(total))
        .text("end", "end");
    return answer(reply);
}

} // namespace tolvane::server
