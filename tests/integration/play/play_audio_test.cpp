// `tolvane-play play` through ALSA's default device into the PulseAudio null
// sink: the recorded monitor is the decoded sound; space pauses and resumes on
// a terminal; Ctrl-C stops the sound and ends the tool cleanly.
#include "tests/integration/play/PlayTestSupport.h"
#include "tests/support/MonitorRecorder.h"
#include "tests/support/SignalAnalysis.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tolvane::test;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 44100;

class PlayAudio : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PlayFiles::get().ok()) << "test files not made";
        std::string error;
        ASSERT_TRUE(recorder.start(error)) << error;
    }

    WavAudio stopRecording() {
        std::this_thread::sleep_for(300ms); // the sink's own latency
        WavAudio audio;
        std::string error;
        EXPECT_TRUE(recorder.stop(audio, error)) << error;
        EXPECT_EQ(audio.sampleRate, 44100u);
        return audio;
    }

    static std::filesystem::path file(const std::string& name) { return PlayFiles::get()[name]; }

    MonitorRecorder recorder;
};

std::vector<double> part(const std::vector<double>& x, size_t from, size_t n) {
    from = std::min(from, x.size());
    return {x.begin() + long(from), x.begin() + long(std::min(x.size(), from + n))};
}

double soundSeconds(const std::vector<Segment>& segments) {
    double total = 0;
    for (const Segment& s : segments) {
        total += double(s.length()) / kRate;
    }
    return total;
}

// The tool on a pseudo-terminal, so it reads keys and shows its status line.
class TerminalRun {
  public:
    explicit TerminalRun(const std::vector<std::string>& args) {
        std::vector<std::string> all = {toolPath().string()};
        all.insert(all.end(), args.begin(), args.end());
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& a : all) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~TerminalRun() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }
    bool started() const { return pid_ > 0; }
    void press(char key) { EXPECT_EQ(write(master_, &key, 1), 1); }

    // Reads what the tool shows for `span`; true when it exited meanwhile.
    bool pump(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            pollfd in{master_, POLLIN, 0};
            if (poll(&in, 1, 20) > 0) {
                char buffer[4096];
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    shown.append(buffer, size_t(n));
                }
            }
            int status = 0;
            if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return true;
            }
        }
        return pid_ < 0;
    }

    std::string shown;
    int exitCode = -1;

  private:
    pid_t pid_ = -1;
    int master_ = -1;
};

} // namespace

TEST_F(PlayAudio, PlayedSoundIsTheDecodedSound) {
    const ProcessResult played = runTool({"play", file("sweep44.mp3").string()});
    const WavAudio heard = stopRecording();
    ASSERT_EQ(played.exitCode, 0) << played.err;
    WavAudio decoded;
    std::string error;
    ASSERT_TRUE(toolDecode(file("sweep44.mp3"), decoded, error)) << error;

    const std::vector<double> left = heard.channel(0);
    const size_t onset = findOnset(left, kRate);
    ASSERT_LT(onset, left.size()) << "nothing was heard";
    const size_t n = size_t(3 * kRate);
    for (uint16_t channel : {0, 1}) {
        const Alignment match =
            crossCorrelate(part(heard.channel(channel), onset, n),
                           part(decoded.channel(channel), 0, n), size_t(kRate / 10));
        EXPECT_GT(match.coefficient, 0.99) << "channel " << channel;
    }
    // All of it, the partly filled last buffer included, and nothing more.
    EXPECT_NEAR(soundSeconds(findSegments(left, kRate)), decoded.seconds(), 0.1);
}

TEST_F(PlayAudio, SpacePausesAndResumesOnATerminal) {
    TerminalRun run({"play", file("tone44.mp3").string()});
    ASSERT_TRUE(run.started());
    ASSERT_FALSE(run.pump(1500ms)) << run.shown;
    run.press(' ');
    ASSERT_FALSE(run.pump(1000ms)) << run.shown;
    run.press(' ');
    EXPECT_TRUE(run.pump(10s)) << "still running after the file's end";
    const WavAudio heard = stopRecording();
    EXPECT_EQ(run.exitCode, 0) << run.shown;
    EXPECT_NE(run.shown.find("paused "), std::string::npos) << run.shown;
    EXPECT_NE(run.shown.find("0:04.0"), std::string::npos) << "length missing: " << run.shown;

    // Sound, a gap of about the second paused, and the rest of the sound.
    const std::vector<Segment> segments = findSegments(heard.channel(0), kRate, -40, 5, 200);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_NEAR(double(segments[1].begin - segments[0].end) / kRate, 1.0, 0.25);
    EXPECT_NEAR(soundSeconds(segments), 4.05, 0.15);
}

TEST_F(PlayAudio, InterruptStopsTheSoundAndExitsCleanly) {
    ToolProcess tool;
    std::string error;
    ASSERT_TRUE(tool.start({"play", file("sweep44.mp3").string()}, error)) << error;
    std::this_thread::sleep_for(1500ms);
    tool.signal(SIGINT);
    ProcessResult result;
    ASSERT_TRUE(tool.wait(3s, result)) << "still running after Ctrl-C";
    const WavAudio heard = stopRecording();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(result.err.empty()) << result.err;
    const double seconds = soundSeconds(findSegments(heard.channel(0), kRate));
    EXPECT_GT(seconds, 0.8);
    EXPECT_LT(seconds, 2.5);
}
