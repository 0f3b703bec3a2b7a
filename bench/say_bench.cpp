// The time from "audio ready" (100/150) to "playing" (100/170) for a speech of
// about ten seconds made by the reference server on loopback, in FILE and
// MEMORY download mode: the median of 10 readings each. Plays into the default
// audio device (the PulseAudio null sink in the test setup).
//
//   build/default/bench/say_bench [runs]
#include "Percentile.h"
#include "bench/DemoServer.h"
#include "platform/Text.h"
#include "playback/PlaybackController.h"
#include "protocol/DialogCodes.h"
#include "protocol/InterfacePump.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/SpeechJobController.h"
#include "protocol/UserVerifyController.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace tolvane;
using Clock = std::chrono::steady_clock;

constexpr const char* kSpeech =
    "Tolvane reads this sentence aloud so that the time between the audio being ready and the "
    "sound starting can be measured, once the whole speech of about ten seconds has been made "
    "by the reference server on this machine.";

struct Reading {
    std::optional<Clock::time_point> ready;
    std::optional<Clock::time_point> playing;
    bool failed = false;
};

using bench::median;

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    bench::DemoServer server;
    if (server.baseUrl().empty()) {
        std::fprintf(stderr, "say_bench: tolvane-server did not start\n");
        return 1;
    }
    Reading reading;
    InterfacePump pump([&](uint32_t message, uint32_t code, intptr_t) {
        if (message != dialog::number(dialog::Message::SpeechJob)) {
            return;
        }
        if (code == dialog::number(dialog::JobCode::AudioReady)) {
            reading.ready = Clock::now();
        } else if (code == dialog::number(dialog::JobCode::PlaybackPlaying) && !reading.playing) {
            reading.playing = Clock::now();
        } else if (code == dialog::number(dialog::JobCode::Failed)) {
            reading.failed = true;
        }
    });
    PlaybackController playback;
    NetworkVerifyController door;
    UserVerifyController verify;
    SpeechJobController job;
    door.setPort(&pump);
    verify.setPort(&pump);
    job.setPort(&pump);
    job.setPlayback(&playback);
    job.setLanguage("en-US");
    door.start(server.baseUrl(), 5, 30);
    pump.pumpUntil([&] { return !door.running(); }, std::chrono::seconds(10));
    verify.start(door.doorNetverify(), "demo@tolvane.local", "demo", "en-US", 5, 30);
    pump.pumpUntil([&] { return !verify.running(); }, std::chrono::seconds(10));
    if (verify.verifytimeid().empty()) {
        std::fprintf(stderr, "say_bench: the demo login failed\n");
        return 1;
    }
    job.setService(door.doorAdd(), door.doorQuery(), 5, 30);

    std::printf("100/150 -> 100/170, ~10 s speech on loopback, median of %d\n", runs);
    for (const auto mode : {PlaybackController::Mode::kFile, PlaybackController::Mode::kMemory}) {
        playback.setDownloadMode(mode);
        std::vector<double> millis;
        for (int i = 0; i < runs; ++i) {
            reading = {};
            SpeechJobController::Job request;
            request.text = platform::utf8ToUtf16(kSpeech);
            request.userId = verify.userId();
            request.timeMax = verify.timeWaitMax();
            request.verifytimeid = verify.verifytimeid();
            job.start(request);
            pump.pumpUntil([&] { return reading.playing || reading.failed; },
                           std::chrono::seconds(30));
            job.stop();
            if (!reading.ready || !reading.playing) {
                std::fprintf(stderr, "say_bench: reading %d did not play\n", i + 1);
                return 1;
            }
            millis.push_back(
                std::chrono::duration<double, std::milli>(*reading.playing - *reading.ready)
                    .count());
        }
        std::printf("%-6s median %7.2f ms   (min %.2f, max %.2f)\n",
                    mode == PlaybackController::Mode::kFile ? "FILE" : "MEMORY", median(millis),
                    *std::min_element(millis.begin(), millis.end()),
                    *std::max_element(millis.begin(), millis.end()));
    }
    return 0;
}
