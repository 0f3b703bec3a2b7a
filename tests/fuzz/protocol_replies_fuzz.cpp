// Feeds arbitrary replies to the reply handling of the network verify, the user
// verify and the news items, through a dialog port that checks every report:
// known codes only, and texts that fit their 256-unit slots. The controllers live
// across inputs, so replies also meet the values earlier ones left behind.
#include "protocol/DialogPort.h"
#include "protocol/InterfacePump.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/NewsItemController.h"
#include "protocol/UserVerifyController.h"

#include <cstdint>
#include <string>

namespace {

using namespace tolvane;

void checkReport(uint32_t message, uint32_t code, intptr_t argument) {
    const bool text = message != dialog::number(dialog::Message::NetworkVerify) ||
                      code == dialog::number(dialog::NetworkVerifyCode::Error);
    if (message == dialog::number(dialog::Message::NetworkVerify) && !text &&
        code != dialog::number(dialog::NetworkVerifyCode::Succeeded) &&
        code != dialog::number(dialog::NetworkVerifyCode::Offline)) {
        __builtin_trap();
    }
    if (message != dialog::number(dialog::Message::NetworkVerify) &&
        message != dialog::number(dialog::Message::UserVerify) &&
        message != dialog::number(dialog::Message::NewsItems)) {
        __builtin_trap();
    }
    if (text && (argument == 0 || DialogPort::textOf(argument).size() > 255)) {
        __builtin_trap();
    }
}

void checkFits(const std::u16string& text, size_t units) {
    if (text.size() >= units) {
        __builtin_trap();
    }
}

struct Controllers {
    Controllers() : port(checkReport) {
        door.setPort(&port);
        verify.setPort(&port);
        news.setPort(&port);
    }
    InterfacePump port;
    NetworkVerifyController door;
    UserVerifyController verify;
    NewsItemController news;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Controllers controllers;
    const std::string reply(reinterpret_cast<const char*>(data), size);

    controllers.door.handleReply(reply, size % 2 ? 200 : 404);
    if (controllers.door.doorAdd().size() > 255 || controllers.door.version().size() > 255) {
        __builtin_trap();
    }

    controllers.verify.handleReply(reply);
    const std::vector<FeedEntry> feeds = controllers.verify.feeds();
    if (static_cast<int32_t>(feeds.size()) != controllers.verify.rssTotal() ||
        controllers.verify.verifytimeid().size() > 255) {
        __builtin_trap();
    }
    for (const FeedEntry& feed : feeds) {
        checkFits(feed.title, 256);
        checkFits(feed.time, 256);
    }

    controllers.news.handleReply(reply);
    const std::vector<NewsItem> items = controllers.news.items();
    if (items.size() > static_cast<size_t>(NewsItemController::kMaxItems)) {
        __builtin_trap();
    }
    for (const NewsItem& item : items) {
        checkFits(item.title, 256);
        checkFits(item.description, 512);
        checkFits(item.time, 256);
    }
    return 0;
}
