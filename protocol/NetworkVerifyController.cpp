#include "protocol/NetworkVerifyController.h"

#include "protocol/ReplyScanner.h"
#include "protocol/ReportText.h"
#include "protocol/RequestBody.h"
#include "protocol/TraceWrite.h"
#include "protocol/Transfer.h"

#include <array>

namespace tolvane {

namespace {

constexpr std::array<TextPair, NetworkVerifyController::kTextCount> kTexts{{
    {u"Initial Error!", u"初始化错误!"},
    {u"Getting Network Staus ...", u"获得网络状态中 ..."},
    {u"Succeed to Network Status", u"获得网络状态成功"},
    {u"Failed to Network Status", u"获得网络状态失败"},
}};

constexpr std::string_view kMarker = "item=tolvanedoor";
constexpr std::string_view kDoorPattern =
    "item=tolvanedoor&door_netverify=%[^&]&door_add=%[^&]&door_query=%[^&]&door_rss=%[^&]&"
    "errcode=%[^&]&errmsg=%[^&]&project=%[^&]&version=%[^&]&";

constexpr std::string_view kVoicesKey = "&voices=";
constexpr std::string_view kVoicesPattern = "&voices=%2047[^&]";

} // namespace

NetworkVerifyController::NetworkVerifyController() : texts_(kTexts) {}

NetworkVerifyController::~NetworkVerifyController() {
    worker_.waitOut();
}

void NetworkVerifyController::start(std::string_view baseUrl, int connectTimeOut, int timeOut) {
    worker_.waitOut();
    baseUrl_ = ReportText::field(baseUrl);
    connectTimeOut_ = connectTimeOut;
    timeOut_ = timeOut;
    worker_.start([this] { run(); });
}

void NetworkVerifyController::run() {
    using namespace dialog;
    worker_.send(Message::NetworkVerify, NetworkVerifyCode::Started, 0);
    Transfer transfer;
    if (!transfer.valid()) {
        worker_.send(Message::NetworkVerify, NetworkVerifyCode::Offline, 0);
        return;
    }
    const std::string body = RequestBody().fresh().str();
    const TransferResult result = transfer.post(baseUrl_, body, connectTimeOut_, timeOut_, true);
    if (!result.completed) {
        message_ = result.notHttp
                       ? texts_.get(kFailed)
                       : ReportText::withTransferError(texts_.get(kFailed), result.error);
        worker_.sendText(Message::NetworkVerify, NetworkVerifyCode::Error, message_);
        return;
    }
    handleReply(result.reply, result.httpStatus);
}

void NetworkVerifyController::handleReply(std::string_view reply, long httpStatus) {
    using namespace dialog;
    reply = reply.substr(0, reply.find('\0'));
    TraceWrite("Network verify succeed");
    const std::string_view door = ReplyScanner::from(reply, kMarker, 0);
    if (door.empty()) {
        message_ = texts_.get(kFailed);
        worker_.sendText(Message::NetworkVerify, NetworkVerifyCode::Error, message_);
        return;
    }
    std::array<std::string, kDoorFieldCount> fields;
    ReplyScanner::scan(door, kDoorPattern, fields);
    // The voice list may follow the door fields; older servers send none.
    std::array<std::string, 1> voices;
    ReplyScanner::scan(ReplyScanner::from(door, kVoicesKey, 0), kVoicesPattern, voices);
    {
        std::lock_guard lock(mutex_);
        door_ = std::move(fields);
        voices_ = voiceNames(voices[0]);
    }
    if (httpStatus == 200) {
        worker_.send(Message::NetworkVerify, NetworkVerifyCode::Succeeded, 200);
    } else {
        worker_.send(Message::NetworkVerify, NetworkVerifyCode::Offline,
                     static_cast<intptr_t>(httpStatus));
    }
}

std::string NetworkVerifyController::doorNetverify() const {
    return field(kDoorNetverify);
}
std::string NetworkVerifyController::doorAdd() const {
    return field(kDoorAdd);
}
std::string NetworkVerifyController::doorQuery() const {
    return field(kDoorQuery);
}
std::string NetworkVerifyController::doorRss() const {
    return field(kDoorRss);
}
std::string NetworkVerifyController::version() const {
    return field(kVersion);
}
std::string NetworkVerifyController::project() const {
    return field(kProject);
}

std::vector<std::string> NetworkVerifyController::voices() const {
    std::lock_guard lock(mutex_);
    return voices_;
}

std::vector<std::string> NetworkVerifyController::voiceNames(std::string_view value) {
    std::vector<std::string> names;
    while (!value.empty()) {
        const size_t comma = value.find(',');
        std::string_view name = value.substr(0, comma);
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        const size_t first = name.find_first_not_of(' ');
        if (first == std::string_view::npos) {
            continue;
        }
        name = name.substr(first, name.find_last_not_of(' ') - first + 1);
        if (name != "null") {
            names.emplace_back(name);
        }
    }
    return names;
}

std::string NetworkVerifyController::field(DoorField which) const {
    std::lock_guard lock(mutex_);
    return door_[which];
}

} // namespace tolvane
