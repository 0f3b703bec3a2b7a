#include "engine/Mp3Engine.h"
#include "tools/play/AnalysisDisplay.h"
#include "tools/play/Commands.h"
#include "tools/play/PlaySession.h"
#include "tools/play/Report.h"

#include <cstdio>
#include <unistd.h>
#include <vector>

namespace tolvane::play {

namespace {

// spectrum's view: level meters and the coarse spectrum of what is heard,
// five times a second on standard output; on a terminal as bars redrawn in
// place, elsewhere as one plain line each after a header line.
class SpectrumView : public PlaySession::View {
  public:
    explicit SpectrumView(const PlayOptions& options)
        : points_(options.fftPoints), window_(options.fftWindow),
          frequencies_(size_t(points_ / 2 + 1)), left_(frequencies_.size()),
          right_(frequencies_.size()) {}

    std::chrono::milliseconds period() const override { return std::chrono::milliseconds(200); }

    // Asks for a spectrum before the run starts, so that a size the engine
    // refuses ends the command before any sound.
    bool prepare(Mp3Engine& engine) override {
        terminal_ = isatty(STDOUT_FILENO) != 0;
        FFT_STRUCT request = makeRequest();
        if (engine.GetFFTValues(&request) != 1) {
            return false;
        }
        if (!terminal_) {
            std::puts(AnalysisDisplay::header().c_str());
        }
        return true;
    }

    bool update(Mp3Engine& engine, uint32_t lengthMs) override {
        MP3_STATUS status{};
        engine.GetStatus(&status);
        if (status.fStopped) {
            return true;
        }
        AnalysisDisplay::Frame frame;
        MP3_TIME position{};
        engine.GetPosition(&position);
        frame.positionMs = position.nMilliseconds;
        frame.lengthMs = lengthMs;
        engine.GetVUData(&frame.levelLeft, &frame.levelRight);
        FFT_STRUCT request = makeRequest();
        if (engine.GetFFTValues(&request)) {
            frame.bands = BandLevels::reduce(frequencies_, left_, right_);
        }
        return show(frame);
    }

    // A reader that went away (a closed pipe) has stopped the run.
    int finish() override {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            return failure("can't write standard output");
        }
        return kExitOk;
    }

  private:
    FFT_STRUCT makeRequest() {
        FFT_STRUCT request{};
        request.nFFTPoints = points_;
        request.nWindow = window_;
        request.pnFrequencies = frequencies_.data();
        request.pnLeftAmplitudes = left_.data();
        request.pnRightAmplitudes = right_.data();
        return request;
    }

    // False when standard output can no longer be written.
    bool show(const AnalysisDisplay::Frame& frame) {
        if (!terminal_) {
            std::puts(AnalysisDisplay::line(frame).c_str());
        } else {
            if (drawn_) {
                std::printf("\x1b[%zuA", AnalysisDisplay::kBarLines);
            }
            std::fputs(AnalysisDisplay::bars(frame, points_).c_str(), stdout);
            drawn_ = true;
        }
        return std::fflush(stdout) == 0 && !std::ferror(stdout);
    }

    const int32_t points_;
    const int32_t window_;
    std::vector<int32_t> frequencies_;
    std::vector<int32_t> left_;
    std::vector<int32_t> right_;
    bool terminal_ = false;
    bool drawn_ = false; // a picture of bars is on the terminal
};

} // namespace

int runSpectrum(const PlayOptions& options) {
    SpectrumView view(options);
    return PlaySession(options, view).run();
}

} // namespace tolvane::play
