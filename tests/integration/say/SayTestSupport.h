#pragma once

// Helpers shared by the speech job, playback and tolvane-say tests: an audio
// peer that serves one MP3 and misbehaves as told, short MP3 files made with
// sox and lame, a private runtime folder for the downloaded audio, and
// tolvane-say run as a process.
#include "tests/support/ChildProcess.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::test {

// An HTTP/1.1 peer on loopback serving `body` at /audio.mp3 to GET and HEAD.
// Every connection gets one answer and is then closed.
class AudioPeer {
  public:
    struct Behaviour {
        int status = 200;
        bool answerHead = true;     // false: a HEAD gets the connection closed unanswered
        bool contentLength = true;  // false: no Content-Length, the body ends with the close
        int64_t announced = -1;     // Content-Length sent when >= 0, whatever the body
        size_t cutAfter = SIZE_MAX; // the connection closes after this many body bytes
        size_t chunk = 16384;
        std::chrono::milliseconds chunkDelay{0};
        bool chunked = false; // the body in chunked transfer coding, with no Content-Length
        bool endless = false; // the body is sent again and again until the client goes
        std::string location; // sent as Location when not empty (with a 3xx status)
    };

    AudioPeer(std::string body, Behaviour behaviour);
    ~AudioPeer();
    AudioPeer(const AudioPeer&) = delete;
    AudioPeer& operator=(const AudioPeer&) = delete;

    std::string url() const;
    // The request lines received so far ("GET /audio.mp3 HTTP/1.1").
    std::vector<std::string> requests() const;
    // Body bytes written to clients so far.
    size_t bytesSent() const { return sent_; }

  private:
    void acceptLoop();
    void serve(int fd);
    void sendBody(int fd);

    std::string body_;
    Behaviour behaviour_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> closing_{false};
    std::atomic<size_t> sent_{0};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> connections_;
    std::vector<std::string> requests_;
};

// A mono MP3 of a tone made by sox and lame: `seconds` long at 22050 Hz and
// 64 kbit/s (LAME adds its Info header). Empty with `error` on failure.
std::string makeToneMp3(double seconds, double frequency, std::string& error);

// Watches the private per-user folder the downloads go to: leftovers() names
// the audio files that appeared there since construction.
class DownloadsWatch {
  public:
    DownloadsWatch();
    std::vector<std::string> leftovers() const;

  private:
    std::vector<std::string> audioFiles() const;
    std::vector<std::string> before_;
};

// A config.ini for the headless client in a fresh folder.
std::filesystem::path writeClientConfig(const std::filesystem::path& dir, int port,
                                        const std::string& downloadMode,
                                        const std::string& extra = {});

std::filesystem::path sayPath();

// tolvane-say as a child process, its input fed from a text and its output
// collected.
class SayProcess : public ChildProcess {
  public:
    bool start(const std::vector<std::string>& args, std::string& error,
               const std::string& input = {});
    // Standard output's lines so far.
    std::vector<std::string> lines() const;
};

// The "MESSAGE/CODE" of each report line, joined by blanks, for matching the
// order of the reports with a regular expression.
std::string codesOf(const std::vector<std::string>& lines);

} // namespace tolvane::test
