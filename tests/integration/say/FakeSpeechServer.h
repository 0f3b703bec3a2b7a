#pragma once

// A stand-in for the speech server built on TestPeer: the door names the
// peer's own paths, the demo user logs in with two feeds, and each test sets
// the add, query and news answers it needs.
#include "ProtocolTestSupport.h"

#include <string>
#include <vector>

namespace tolvane::test {

class FakeSpeechServer {
  public:
    static constexpr const char* kAdded =
        "item=tolvane&action=add&status=succeed&uuid=job-1&errcode=0&errmsg=null";

    explicit FakeSpeechServer(int timeWaitMax = 60) {
        peer.answer("/tolvane/tolvanedoor.php", 200, door());
        peer.answer("/verify", 200, verified(timeWaitMax));
        peer.answer("/add", 200, kAdded);
    }

    // The door reply naming the peer's own paths, with the address of `key`
    // (door_add, say) replaced by `address` when a key is given.
    std::string door(const std::string& key = {}, const std::string& address = {}) const {
        std::string reply = "item=tolvanedoor";
        const std::pair<std::string, std::string> doors[] = {{"door_netverify", "/verify"},
                                                             {"door_add", "/add"},
                                                             {"door_query", "/query"},
                                                             {"door_rss", "/news"}};
        for (const auto& [name, path] : doors) {
            reply += "&" + name + "=" + (key == name ? address : peer.url(path));
        }
        return reply + "&errcode=0&errmsg=null&project=fake&version=1&";
    }

    // The demo user's login with two feeds.
    static std::string verified(int timeWaitMax) {
        return "item=tolvane&action=userverify&status=succeed&time_wait_max=" +
               std::to_string(timeWaitMax) +
               "&max_text_number=1000&domain_limit=localhost&usertype=demo&userid=1&"
               "errcode=0&errmsg=null&verifytimeid=vt-1&rssid0=11&title0=One&"
               "priority0=1&time0=now&rssid1=12&title1=Two&priority1=2&time1=now&"
               "rss_total=2&end=end";
    }

    // The query answers "ttsed" with `audioUrl`.
    void audioAt(const std::string& audioUrl) {
        peer.answer("/query", 200,
                    "item=tolvane&action=query&status=succeed&tts_status=ttsed&http_file=" +
                        audioUrl + "&parameter=a:b:c:d:e:f&errcode=0&errmsg=null");
    }

    int port() const {
        const std::string url = peer.url("/");
        return std::stoi(url.substr(url.rfind(':') + 1));
    }

    size_t requestsTo(const std::string& path) const {
        size_t count = 0;
        for (const Exchange& exchange : peer.exchanges()) {
            count += exchange.path == path ? 1 : 0;
        }
        return count;
    }

    // The text of every add request, in order.
    std::vector<std::string> addedTexts() const {
        std::vector<std::string> texts;
        for (const Exchange& exchange : peer.exchanges()) {
            if (exchange.path == "/add") {
                texts.push_back(exchange.params.find("text")->second);
            }
        }
        return texts;
    }

    TestPeer peer;
};

} // namespace tolvane::test
