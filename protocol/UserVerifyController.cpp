#include "protocol/UserVerifyController.h"

#include "protocol/ClientType.h"
#include "protocol/Md5Digest.h"
#include "protocol/ReplyScanner.h"
#include "protocol/ReportText.h"
#include "protocol/RequestBody.h"
#include "protocol/TraceWrite.h"
#include "protocol/Transfer.h"

#include <algorithm>
#include <array>

namespace tolvane {

namespace {

constexpr std::array<TextPair, UserVerifyController::kTextCount> kTexts{{
    {u"Initial Error!", u"初始化错误!"},
    {u"Verifying ...", u"网络验证中 ..."},
    {u"Succeed to Verify", u"网络验证成功"},
    {u"Failed to Verify", u"网络验证失败"},
    {u"Failed to Verify Parse", u"网络验证解析失败"},
}};

constexpr std::string_view kMarker = "item=tolvane";
constexpr std::string_view kCountKey = "rss_total=";
constexpr std::string_view kCountPattern = "rss_total=%[^&]&end=end";
constexpr std::string_view kHeadPattern =
    "item=tolvane&action=%[^&]&status=%[^&]&time_wait_max=%[^&]&max_text_number=%[^&]&"
    "domain_limit=%[^&]&usertype=%[^&]&userid=%[^&]&errcode=%[^&]&errmsg=%[^&]&"
    "verifytimeid=%[^&]&";

enum HeadField {
    kAction,
    kStatus,
    kTimeWaitMax,
    kMaxTextNumber,
    kDomainLimit,
    kUsertype,
    kUserid,
    kErrcode,
    kErrmsg,
    kVerifytimeid,
    kHeadFieldCount
};

// Entries from `marker` on: each found by its rssid key, searched from where the
// previous one was found, so "rssid1" is not taken from "rssid10".
std::vector<FeedEntry> parseFeeds(std::string_view reply, size_t marker, int32_t count) {
    std::vector<FeedEntry> feeds(static_cast<size_t>(count));
    size_t from = marker;
    for (int32_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        const std::string rssid = "rssid" + n;
        size_t found = 0;
        const std::string_view entry = ReplyScanner::from(reply, rssid, from, &found);
        if (entry.empty()) {
            break;
        }
        from = found;
        std::array<std::string, 4> values;
        ReplyScanner::scan(
            entry, ReplyScanner::listPattern({rssid, "title" + n, "priority" + n, "time" + n}),
            values);
        FeedEntry& feed = feeds[static_cast<size_t>(i)];
        feed.rssid = ReplyScanner::number(values[0]);
        feed.title = ReportText::fromUtf8(values[1]);
        feed.priority = ReplyScanner::number(values[2]);
        feed.time = ReportText::fromUtf8(values[3]);
    }
    return feeds;
}

} // namespace

UserVerifyController::UserVerifyController() : texts_(kTexts) {}

UserVerifyController::~UserVerifyController() {
    worker_.waitOut();
}

void UserVerifyController::start(std::string_view serviceUrl, std::string_view email,
                                 std::string_view password, std::string_view language,
                                 int connectTimeOut, int timeOut) {
    waitOut();
    serviceUrl_ = ReportText::field(serviceUrl);
    email_ = ReportText::field(email);
    password_ = ReportText::field(password);
    language_ = ReportText::field(language);
    connectTimeOut_ = connectTimeOut;
    timeOut_ = timeOut;
    worker_.start([this] { run(); });
}

void UserVerifyController::waitOut() {
    worker_.waitOut();
    freeFeeds();
}

void UserVerifyController::freeFeeds() {
    std::lock_guard lock(mutex_);
    feeds_.clear();
    rss_total_ = 0;
}

void UserVerifyController::run() {
    using namespace dialog;
    message_ = texts_.get(kVerifying);
    worker_.sendText(Message::UserVerify, UserVerifyCode::Started, message_);
    Transfer transfer;
    if (!transfer.valid()) {
        message_ = texts_.get(kInitError);
        worker_.sendText(Message::UserVerify, UserVerifyCode::Failed, message_);
        return;
    }
    std::string digest;
    std::string error;
    if (!Md5Digest::hex(password_, digest, error)) {
        message_ = ReportText::withTransferError(texts_.get(kFailed), error);
        worker_.sendText(Message::UserVerify, UserVerifyCode::Failed, message_);
        return;
    }
    const std::string body = RequestBody()
                                 .text("user_email", email_)
                                 .text("pass_md5", digest)
                                 .text("language", language_)
                                 .text("clienttype", kClientType)
                                 .text("clientver", kClientVersion)
                                 .fresh()
                                 .str();
    const TransferResult result = transfer.post(serviceUrl_, body, connectTimeOut_, timeOut_);
    if (!result.completed) {
        message_ = result.notHttp
                       ? texts_.get(kParseFailed)
                       : ReportText::withTransferError(texts_.get(kFailed), result.error);
        worker_.sendText(Message::UserVerify, UserVerifyCode::Failed, message_);
        return;
    }
    handleReply(result.reply);
}

void UserVerifyController::handleReply(std::string_view reply) {
    using namespace dialog;
    reply = reply.substr(0, reply.find('\0'));
    TraceWrite("Inital succeed");
    size_t marker = 0;
    size_t countAt = 0;
    const std::string_view head = ReplyScanner::from(reply, kMarker, 0, &marker);
    const std::string_view countPart = ReplyScanner::from(reply, kCountKey, 0, &countAt);
    if (head.empty() || countPart.empty()) {
        message_ = texts_.get(kParseFailed);
        worker_.sendText(Message::UserVerify, UserVerifyCode::Failed, message_);
        return;
    }
    std::array<std::string, 1> count;
    ReplyScanner::scan(countPart, kCountPattern, count);
    const int32_t feedCount = std::clamp(ReplyScanner::number(count[0]), 0, kMaxFeeds);

    std::array<std::string, kHeadFieldCount> fields;
    ReplyScanner::scan(head, kHeadPattern, fields);
    std::vector<FeedEntry> feeds = parseFeeds(reply, marker, feedCount);
    {
        std::lock_guard lock(mutex_);
        usertype_ = fields[kUsertype];
        verifytimeid_ = fields[kVerifytimeid];
        userid_ = ReplyScanner::number(fields[kUserid]);
        time_wait_max_ = ReplyScanner::number(fields[kTimeWaitMax]);
        max_text_number_ = ReplyScanner::number(fields[kMaxTextNumber]);
        rss_total_ = feedCount;
        feeds_ = std::move(feeds);
    }
    if (ReplyScanner::sameIgnoringCase(fields[kStatus], "succeed")) {
        message_ = texts_.get(kSucceed);
        worker_.sendText(Message::UserVerify, UserVerifyCode::Succeeded, message_);
    } else if (ReplyScanner::sameIgnoringCase(fields[kStatus], "failed")) {
        message_ =
            ReportText::withServerError(texts_.get(kFailed), fields[kErrcode], fields[kErrmsg]);
        worker_.sendText(Message::UserVerify, UserVerifyCode::Failed, message_);
    }
}

int32_t UserVerifyController::userId() const {
    std::lock_guard lock(mutex_);
    return userid_;
}

int32_t UserVerifyController::timeWaitMax() const {
    std::lock_guard lock(mutex_);
    return time_wait_max_;
}

int32_t UserVerifyController::maxTextNumber() const {
    std::lock_guard lock(mutex_);
    return max_text_number_;
}

std::string UserVerifyController::verifytimeid() const {
    std::lock_guard lock(mutex_);
    return verifytimeid_;
}

std::string UserVerifyController::usertype() const {
    std::lock_guard lock(mutex_);
    return usertype_;
}

int32_t UserVerifyController::rssTotal() const {
    std::lock_guard lock(mutex_);
    return rss_total_;
}

std::vector<FeedEntry> UserVerifyController::feeds() const {
    std::lock_guard lock(mutex_);
    return feeds_;
}

} // namespace tolvane
