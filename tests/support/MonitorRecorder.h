#pragma once

#include "tests/support/NullSink.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavFile.h"

#include <filesystem>
#include <memory>
#include <string>

namespace tolvane::test {

class ChildProcess;

// Records what the PulseAudio null sink plays: runs
// `parec -d SOURCE --file-format=wav FILE` as a child process between start()
// and stop(). The test command starts the daemon with the sink "tolvane_test".
class MonitorRecorder {
  public:
    // With no source the recorder makes a null sink of its own and routes every
    // stream this process (and its children) opens from now on there, so tests
    // running at the same time never hear each other.
    explicit MonitorRecorder(std::string source = {});
    // Stops a recording still running and removes its file.
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Starts recording and returns once samples are arriving (within 5 s).
    bool start(std::string& error);
    // Ends the recording (SIGINT, then SIGKILL after 5 s) and loads it.
    bool stop(WavAudio& audio, std::string& error);

  private:
    void endChild(bool kill);

    // Declared in the order that ends parec first, then removes its folder,
    // then unloads the sink it recorded.
    std::unique_ptr<NullSink> ownSink_;
    std::string sinkError_;
    std::string source_;
    TempDir dir_;
    std::filesystem::path file_;
    std::unique_ptr<ChildProcess> child_;
};

} // namespace tolvane::test
