#include "tests/support/MonitorRecorder.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

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

MonitorRecorder::MonitorRecorder(std::string source) : source_(std::move(source)) {
    if (source_.empty()) {
        ownSink_ = std::make_unique<NullSink>();
        if (ownSink_->create(sinkError_)) {
            source_ = ownSink_->monitor();
        }
    }
}

MonitorRecorder::~MonitorRecorder() {
    endChild(true);
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool MonitorRecorder::start(std::string& error) {
    if (source_.empty()) {
        error = "no sink to record: " + sinkError_;
        return false;
    }
    if (child_ > 0) {
        error = "recording already running";
        return false;
    }
    if (dir_.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tolvane-rec-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            error = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        dir_ = pattern;
    }
    file_ = dir_ / "monitor.wav";
    std::filesystem::remove(file_);
    const std::string path = file_.string();
    // A short latency makes parec write as it records, so arrival is visible.
    std::vector<const char*> argv = {
        "parec",      "-d",   source_.c_str(), "--file-format=wav", "--latency-msec=20",
        path.c_str(), nullptr};
    const int rc = posix_spawnp(&child_, "parec", nullptr, nullptr,
                                const_cast<char* const*>(argv.data()), environ);
    if (rc != 0) {
        child_ = -1;
        error = std::string("cannot start parec: ") + std::strerror(rc);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(file_, ec);
        if (!ec && size >= kRecordingBytes) {
            return true;
        }
        int status = 0;
        if (waitpid(child_, &status, WNOHANG) == child_) {
            child_ = -1;
            error = "parec ended at once (is the PulseAudio daemon with " + source_ +
                    " running? see scripts/pulse.sh)";
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    endChild(true);
    error = "parec delivered no samples from " + source_ + " within 5 s";
    return false;
}

bool MonitorRecorder::stop(WavAudio& audio, std::string& error) {
    if (child_ <= 0) {
        error = "no recording running";
        return false;
    }
    endChild(false);
    return readWav(file_, audio, error);
}

void MonitorRecorder::endChild(bool kill) {
    if (child_ <= 0) {
        return;
    }
    // parec finishes the WAVE header when it is interrupted.
    ::kill(child_, kill ? SIGKILL : SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    int status = 0;
    while (waitpid(child_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(child_, SIGKILL);
            waitpid(child_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    child_ = -1;
}

} // namespace tolvane::test
