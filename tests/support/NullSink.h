#pragma once

#include <string>

namespace tolvane::test {

// A PulseAudio null sink of the test's own on the running daemon, made the sink
// of every stream this process opens from now on (through PULSE_SINK, which
// ALSA's pulse plugin honours), so that tests running at the same time never
// hear each other. Record it with MonitorRecorder(sink.monitor()).
class NullSink {
  public:
    NullSink() = default;
    // Unloads the sink and restores PULSE_SINK.
    ~NullSink();
    NullSink(const NullSink&) = delete;
    NullSink& operator=(const NullSink&) = delete;

    // Loads the sink; call before any stream that should reach it is opened.
    bool create(std::string& error);

    const std::string& name() const { return name_; }
    std::string monitor() const { return name_ + ".monitor"; }

  private:
    std::string name_;
    std::string module_;
    bool hadPrevious_ = false;
    std::string previous_;
};

} // namespace tolvane::test
