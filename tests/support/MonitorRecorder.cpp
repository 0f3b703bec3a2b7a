#include "tests/support/MonitorRecorder.h"

#include "tests/support/ChildProcess.h"

#include <chrono>
#include <csignal>
#include <system_error>
#include <thread>

namespace tolvane::test {

namespace {

using namespace std::chrono_literals;

constexpr auto kStartTimeout = 5s;
constexpr auto kStopTimeout = 5s;
// A WAVE header is 44 bytes; a few milliseconds of samples past it show that the
// monitor is delivering. An idle null sink's monitor delivers nothing for the
// first second or two, so recording starts only then.
constexpr std::uintmax_t kRecordingBytes = 44 + 1024;

} // namespace

MonitorRecorder::MonitorRecorder(std::string source)
    : source_(std::move(source)), dir_("tolvane-rec") {
    if (source_.empty()) {
        ownSink_ = std::make_unique<NullSink>();
        if (ownSink_->create(sinkError_)) {
            source_ = ownSink_->monitor();
        }
    }
}

MonitorRecorder::~MonitorRecorder() {
    endChild(true);
}

bool MonitorRecorder::start(std::string& error) {
    if (source_.empty()) {
        error = "no sink to record: " + sinkError_;
        return false;
    }
    if (child_) {
        error = "recording already running";
        return false;
    }
    if (dir_.path().empty()) {
        error = "cannot make a folder for the recording";
        return false;
    }
    file_ = dir_.path() / "monitor.wav";
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
    // A short latency makes parec write as it records, so arrival is visible.
    ChildOptions options;
    options.searchPath = true;
    child_ = std::make_unique<ChildProcess>();
    if (!child_->start("parec",
                       {"-d", source_, "--file-format=wav", "--latency-msec=20", file_.string()},
                       error, options)) {
        child_.reset();
        error = "cannot start parec: " + error;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(file_, ec);
        if (!ec && size >= kRecordingBytes) {
            return true;
        }
        if (child_->exitCode() != -1) {
            error = "parec ended at once" + saidAside(child_->err()) +
                    "; is the PulseAudio daemon with " + source_ + " running? see scripts/pulse.sh";
            child_.reset();
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    endChild(true);
    error = "parec delivered no samples from " + source_ + " within 5 s";
    return false;
}

bool MonitorRecorder::stop(WavAudio& audio, std::string& error) {
    if (!child_) {
        error = "no recording running";
        return false;
    }
    endChild(false);
    return readWav(file_, audio, error);
}

void MonitorRecorder::endChild(bool kill) {
    if (!child_) {
        return;
    }
    // parec finishes the WAVE header when it is interrupted.
    child_->signal(kill ? SIGKILL : SIGINT);
    if (!child_->wait(kStopTimeout)) {
        child_->signal(SIGKILL);
        child_->wait(kStopTimeout);
    }
    child_.reset();
}

} // namespace tolvane::test
