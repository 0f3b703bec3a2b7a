// Feeds arbitrary replies to the speech job's add and query handling, through a
// dialog port that checks every report (message 100, known codes, texts that
// fit their slots) and a playback that checks the audio URL it is handed.
#include "protocol/DialogCodes.h"
#include "protocol/InterfacePump.h"
#include "protocol/SpeechJobController.h"

#include <cstdint>
#include <string>

namespace {

using namespace tolvane;

void checkReport(uint32_t message, uint32_t code, intptr_t argument) {
    if (message != dialog::number(dialog::Message::SpeechJob) ||
        code < dialog::number(dialog::JobCode::Failed) ||
        code > dialog::number(dialog::JobCode::AudioReady) || code % 10 != 0) {
        __builtin_trap();
    }
    if (argument == 0 || DialogPort::textOf(argument).size() > 255) {
        __builtin_trap();
    }
}

class CheckingPlayback : public PlaybackControl {
  public:
    void setNotifications(PlaybackNotifications) override {}
    void setPort(DialogPort*) override {}
    void play(std::string_view url, int, int) override {
        if (url.size() > 255 || url.find('&') != std::string_view::npos) {
            __builtin_trap();
        }
    }
    void pause() override {}
    void resume() override {}
    void stop() override {}
};

struct Controllers {
    Controllers() : port(checkReport) {
        job.setPort(&port);
        job.setPlayback(&playback);
    }
    InterfacePump port;
    CheckingPlayback playback;
    SpeechJobController job;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Controllers controllers;
    const std::string reply(reinterpret_cast<const char*>(data), size);
    controllers.job.handleAddReply(reply);
    if (controllers.job.uuid().size() > 255) {
        __builtin_trap();
    }
    controllers.job.handleQueryReply(reply);
    for (const std::string& part : controllers.job.parameters()) {
        if (part.size() > 255 || part.find(':') != std::string::npos) {
            __builtin_trap();
        }
    }
    return 0;
}
