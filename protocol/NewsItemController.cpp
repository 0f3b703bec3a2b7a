#include "protocol/NewsItemController.h"

#include "protocol/ReplyScanner.h"
#include "protocol/ReportText.h"
#include "protocol/RequestBody.h"
#include "protocol/TraceWrite.h"
#include "protocol/Transfer.h"

#include <algorithm>
#include <array>

namespace tolvane {

namespace {

constexpr std::array<TextPair, NewsItemController::kTextCount> kTexts{{
    {u"Initial Error!", u"初始化错误!"},
    {u"Getting news item ...", u"获取新闻列表..."},
    {u"Succeed to news item", u"获取新闻列表成功"},
    {u"Failed to news item", u"获取新闻列表失败"},
    {u"Failed to rss item parse", u"解析新闻列表失败"},
}};

constexpr std::string_view kMarker = "item=tolvane&action=simplepie";
constexpr std::string_view kCountKey = "totalitems=";
constexpr std::string_view kCountPattern = "totalitems=%[^&]&maxrss=%[^&]&end=end";
constexpr std::string_view kStatusKey = "status=";
constexpr std::string_view kStatusPattern = "status=%[^&]&errcode=%[^&]&errmsg=%[^&]&";

// A value "null" stands for an empty text; "NULL" and the like stay as sent.
std::u16string itemText(std::string_view value, size_t units) {
    return value == "null" ? std::u16string() : ReportText::fromUtf8(value, units);
}

// Items from `marker` on: each found by its title key, searched from where the
// previous one was found.
std::vector<NewsItem> parseItems(std::string_view reply, size_t marker, int32_t count) {
    std::vector<NewsItem> items(static_cast<size_t>(count));
    size_t from = marker;
    for (int32_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        const std::string title = "title" + n;
        size_t found = 0;
        const std::string_view entry = ReplyScanner::from(reply, title, from, &found);
        if (entry.empty()) {
            break;
        }
        from = found;
        const std::string pattern = title + "=%[^&]&description" + n + "=%" +
                                    std::to_string(NewsItemController::kDescriptionBytes) +
                                    "[^&]&time" + n + "=%[^&]&";
        std::array<std::string, 3> values;
        ReplyScanner::scan(entry, pattern, values);
        NewsItem& item = items[static_cast<size_t>(i)];
        item.title = itemText(values[0], ReportText::kSlotUnits);
        item.description = itemText(values[1], NewsItemController::kDescriptionUnits);
        item.time = itemText(values[2], ReportText::kSlotUnits);
    }
    return items;
}

} // namespace

NewsItemController::NewsItemController() : texts_(kTexts) {}

NewsItemController::~NewsItemController() {
    worker_.waitOut();
}

void NewsItemController::setService(std::string_view url, int connectTimeOut, int timeOut) {
    std::lock_guard lock(mutex_);
    serviceUrl_ = ReportText::field(url);
    connectTimeOut_ = connectTimeOut;
    timeOut_ = timeOut;
}

void NewsItemController::start(int32_t feedId, std::string_view language,
                               std::string_view verifytimeid, std::string_view clienttype,
                               std::string_view clientver, int32_t batchStart) {
    waitOut();
    request_.rss_id = feedId;
    request_.language = ReportText::field(language);
    request_.verifytimeid = ReportText::field(verifytimeid);
    request_.clienttype = ReportText::field(clienttype);
    request_.clientver = ReportText::field(clientver);
    request_.rssstart = batchStart;
    {
        std::lock_guard lock(mutex_);
        request_.serviceUrl = serviceUrl_;
        request_.connectTimeOut = connectTimeOut_;
        request_.timeOut = timeOut_;
    }
    worker_.start([this] { run(); });
}

void NewsItemController::waitOut() {
    worker_.waitOut();
    std::lock_guard lock(mutex_);
    items_.clear();
}

void NewsItemController::run() {
    using namespace dialog;
    message_ = texts_.get(kGetting);
    worker_.sendText(Message::NewsItems, NewsItemsCode::Started, message_);
    Transfer transfer;
    if (!transfer.valid()) {
        message_ = texts_.get(kInitError);
        worker_.sendText(Message::NewsItems, NewsItemsCode::Failed, message_);
        return;
    }
    const std::string body = RequestBody()
                                 .number("rss_id", request_.rss_id)
                                 .text("language", request_.language)
                                 .text("verifytimeid", request_.verifytimeid)
                                 .text("clienttype", request_.clienttype)
                                 .text("clientver", request_.clientver)
                                 .number("rssstart", request_.rssstart)
                                 .fresh()
                                 .str();
    const TransferResult result =
        transfer.post(request_.serviceUrl, body, request_.connectTimeOut, request_.timeOut);
    if (!result.completed) {
        message_ = result.notHttp ? texts_.get(kParseFailed) : ReportText::fromUtf8(result.error);
        worker_.sendText(Message::NewsItems, NewsItemsCode::Failed, message_);
        return;
    }
    handleReply(result.reply);
}

void NewsItemController::handleReply(std::string_view reply) {
    using namespace dialog;
    reply = reply.substr(0, reply.find('\0'));
    TraceWrite("RSS list succeed");
    size_t marker = 0;
    size_t countAt = 0;
    const std::string_view batch = ReplyScanner::from(reply, kMarker, 0, &marker);
    const std::string_view countPart = ReplyScanner::from(reply, kCountKey, 0, &countAt);
    if (batch.empty() || countPart.empty()) {
        message_ = texts_.get(kParseFailed);
        worker_.sendText(Message::NewsItems, NewsItemsCode::Failed, message_);
        return;
    }
    std::array<std::string, 2> counts;
    ReplyScanner::scan(countPart, kCountPattern, counts);
    const int32_t count = std::min(ReplyScanner::number(counts[0]), kMaxItems);
    {
        std::vector<NewsItem> items;
        if (count > 0) {
            items = parseItems(reply, marker, count);
        }
        std::lock_guard lock(mutex_);
        totalitems_ = count;
        maxrss_ = ReplyScanner::number(counts[1]);
        if (count > 0) {
            items_ = std::move(items);
        }
    }
    const std::string_view statusPart = ReplyScanner::from(reply, kStatusKey, marker);
    if (statusPart.empty()) {
        message_ = texts_.get(kParseFailed);
        worker_.sendText(Message::NewsItems, NewsItemsCode::Failed, message_);
        return;
    }
    std::array<std::string, 3> status;
    ReplyScanner::scan(statusPart, kStatusPattern, status);
    if (ReplyScanner::sameIgnoringCase(status[0], "succeed")) {
        if (count > 0) {
            message_ = texts_.get(kSucceed);
            worker_.sendText(Message::NewsItems, NewsItemsCode::Arrived, message_);
        } else if (count == 0) {
            message_ = texts_.get(kSucceed);
            worker_.sendText(Message::NewsItems, NewsItemsCode::Exhausted, message_);
        }
    } else if (ReplyScanner::sameIgnoringCase(status[0], "failed")) {
        message_ = ReportText::withServerError(texts_.get(kFailed), status[1], status[2]);
        worker_.sendText(Message::NewsItems, NewsItemsCode::Failed, message_);
    }
}

int32_t NewsItemController::totalitems() const {
    std::lock_guard lock(mutex_);
    return totalitems_;
}

int32_t NewsItemController::maxrss() const {
    std::lock_guard lock(mutex_);
    return maxrss_;
}

std::vector<NewsItem> NewsItemController::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

} // namespace tolvane
