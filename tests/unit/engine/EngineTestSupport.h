#pragma once

// Helpers shared by the engine tests: the MP3 files made by
// tests/data/make_engine_mp3s.sh, a reference decode with madplay, and a
// decode through the engine's no-device mode.
#include "engine/Mp3Engine.h"
#include "platform/Event.h"
#include "tests/support/TestPaths.h"

#include <mad.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace tolvane::test {

// A folder of freshly made MP3 files, removed when the test program ends.
class Mp3Files {
  public:
    static const Mp3Files& get() {
        static Mp3Files files;
        return files;
    }
    std::filesystem::path operator[](const std::string& name) const { return dir_ / name; }
    bool ok() const { return ok_; }
    const std::filesystem::path& dir() const { return dir_; }

  private:
    Mp3Files() {
        char pattern[] = "/tmp/tolvane-engine-XXXXXX";
        if (!mkdtemp(pattern)) {
            return;
        }
        dir_ = pattern;
        // Made once per build folder by the test run's fixture; copied, since
        // tests write files of their own beside them.
        const std::filesystem::path made = ::tolvane::test::binaryDir() + "/test-media/engine";
        std::error_code ec;
        if (std::filesystem::exists(made / ".complete")) {
            std::filesystem::copy(made, dir_, ec);
            ok_ = !ec;
            return;
        }
        const std::string command = std::string("sh ") + ::tolvane::test::sourceDir() +
                                    "/tests/data/make_engine_mp3s.sh " + dir_.string();
        ok_ = std::system(command.c_str()) == 0;
    }
    ~Mp3Files() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::filesystem::path dir_;
    bool ok_ = false;
};

inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

// Start offsets of the MPEG frames in bytes[from, end), found with libmad's
// header decoder over a copy followed by guard bytes.
inline std::vector<size_t> frameStarts(const std::vector<uint8_t>& bytes, size_t from, size_t end) {
    std::vector<uint8_t> copy(bytes.begin() + long(from), bytes.begin() + long(end));
    copy.resize(copy.size() + MAD_BUFFER_GUARD, 0);
    mad_stream stream;
    mad_header header;
    mad_stream_init(&stream);
    mad_header_init(&header);
    mad_stream_buffer(&stream, copy.data(), copy.size());
    std::vector<size_t> starts;
    for (;;) {
        if (mad_header_decode(&header, &stream) == 0) {
            starts.push_back(from + size_t(stream.this_frame - copy.data()));
        } else if (!MAD_RECOVERABLE(stream.error)) {
            break;
        }
    }
    mad_stream_finish(&stream);
    return starts;
}

inline void putBigEndian(std::vector<uint8_t>& out, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[at + size_t(i)] = uint8_t(value >> (8 * (bytes - 1 - i)));
    }
}

// Puts a VBRI header frame (the layout other encoders write) in front of the
// frames of a headerless MPEG-1 Layer III stereo stream: a copy of its first
// frame's header, empty side information, "VBRI" 36 bytes into the frame and a
// table of one entry per `framesPerEntry` frames.
inline std::vector<uint8_t> withVbriHeader(const std::vector<uint8_t>& audio) {
    const std::vector<size_t> starts = frameStarts(audio, 0, audio.size());
    const size_t length = starts.size() > 1 ? starts[1] - starts[0] : 0;
    std::vector<uint8_t> frame(length, 0);
    std::copy(audio.begin(), audio.begin() + 4, frame.begin());
    frame[1] |= 0x01; // no CRC
    std::memcpy(&frame[36], "VBRI", 4);
    const uint32_t frames = uint32_t(starts.size());
    const uint32_t framesPerEntry = 10;
    const uint32_t entries = (frames + framesPerEntry - 1) / framesPerEntry;
    putBigEndian(frame, 40, 1, 2);                               // version
    putBigEndian(frame, 42, 576, 2);                             // delay
    putBigEndian(frame, 44, 75, 2);                              // quality
    putBigEndian(frame, 46, uint32_t(audio.size() + length), 4); // bytes
    putBigEndian(frame, 50, frames, 4);                          // frames
    putBigEndian(frame, 54, entries, 2);                         // table entries
    putBigEndian(frame, 56, 1, 2);                               // scale
    putBigEndian(frame, 58, 2, 2);                               // entry size
    putBigEndian(frame, 60, framesPerEntry, 2);                  // frames per entry
    for (uint32_t i = 0; i < entries && 62 + 2 * i + 2 <= length; ++i) {
        const size_t a = starts[i * framesPerEntry];
        const size_t b =
            (i + 1) * framesPerEntry < frames ? starts[(i + 1) * framesPerEntry] : audio.size();
        putBigEndian(frame, 62 + 2 * i, uint32_t(b - a), 2);
    }
    frame.insert(frame.end(), audio.begin(), audio.end());
    return frame;
}

// madplay's 16-bit output (its default dither), stereo, as interleaved samples.
inline bool madplayDecode(const std::filesystem::path& mp3, std::vector<int16_t>& samples) {
    const std::filesystem::path wav = mp3.string() + ".madplay.wav";
    const std::string command =
        "madplay -Q -S -b 16 -o wave:" + wav.string() + " " + mp3.string() + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        return false;
    }
    const std::vector<uint8_t> bytes = readBytes(wav);
    std::filesystem::remove(wav);
    // Find the "data" chunk of the RIFF file.
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            const size_t n = std::min<size_t>(size, bytes.size() - at - 8) / 2;
            samples.resize(n);
            std::memcpy(samples.data(), &bytes[at + 8], n * 2);
            return true;
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

// What a no-device run hands out through NOTIFY_WAVE_BUFFER.
struct EngineOutput {
    std::vector<int16_t> samples;
    std::vector<uint32_t> bufferBytes;
    std::vector<uint32_t> events; // every notification code, in order
};

// Collects the buffers and events of one run; `answer` chooses the reply to
// each waiting event (0 when it returns 0 for everything).
class OutputCollector {
  public:
    using Answer = std::function<int32_t(uint32_t code, uint32_t index)>;

    explicit OutputCollector(Answer answer = {}) : answer_(std::move(answer)) {}

    Mp3Callback callback() {
        return [this](uint32_t code, uintptr_t p1, uintptr_t p2) {
            std::lock_guard lock(mutex_);
            output_.events.push_back(code);
            int32_t reply = 0;
            if (code == NOTIFY_WAVE_BUFFER) {
                const auto* samples = reinterpret_cast<const int16_t*>(p1);
                output_.samples.insert(output_.samples.end(), samples, samples + p2 / 2);
                output_.bufferBytes.push_back(uint32_t(p2));
                if (answer_) {
                    reply = answer_(code, buffers_);
                }
                ++buffers_;
            } else if (answer_ && code > 0xFFFF) {
                reply = answer_(code, 0);
            }
            if (code == NOTIFY_STOPPED) {
                stopped_.set();
            }
            return reply;
        };
    }
    bool waitStopped(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        return stopped_.waitFor(limit);
    }
    void resetStopped() { stopped_.reset(); }
    EngineOutput output() {
        std::lock_guard lock(mutex_);
        return output_;
    }
    size_t count(uint32_t code) {
        std::lock_guard lock(mutex_);
        return size_t(std::count(output_.events.begin(), output_.events.end(), code));
    }

  private:
    Answer answer_;
    std::mutex mutex_;
    EngineOutput output_;
    uint32_t buffers_ = 0;
    platform::Event stopped_{platform::Event::Reset::Manual};
};

constexpr uint32_t kCollectMask = NOTIFY_WAVE_BUFFER | NOTIFY_STOPPED | NOTIFY_PLAYING |
                                  NOTIFY_LOOP_BEGIN | NOTIFY_LOOP_END | NOTIFY_FADEOUT_BEGIN |
                                  NOTIFY_FADEOUT_END | NOTIFY_FADEIN_BEGIN | NOTIFY_FADEIN_END |
                                  NOTIFY_STREAM_DATA_USED | NOTIFY_STREAM_NO_DATA;

// Decodes a whole file in no-device mode. `setup` runs after the open;
// `onBuffer` runs in the wave-buffer notification of each buffer handed out
// (index counting from 0), while the decoding thread waits for it.
inline bool engineDecode(const std::filesystem::path& mp3, EngineOutput& out, std::string& error,
                         const std::function<void(Mp3Engine&)>& setup = {},
                         const std::function<void(Mp3Engine&, uint32_t)>& onBuffer = {}) {
    Mp3Engine* running = nullptr;
    // The collector outlives the engine that calls it.
    OutputCollector collector([&](uint32_t code, uint32_t index) {
        if (code == NOTIFY_WAVE_BUFFER && onBuffer) {
            onBuffer(*running, index);
        }
        return 0;
    });
    Mp3Engine engine;
    running = &engine;
    if (!engine.SetCallbackFunc(collector.callback(), kCollectMask) ||
        !engine.OpenMp3File(mp3.c_str(), 0, 0, 0)) {
        error = engine.GetLastErrorText();
        return false;
    }
    if (setup) {
        setup(engine);
    }
    if (!engine.Play()) {
        error = engine.GetLastErrorText();
        return false;
    }
    if (!collector.waitStopped()) {
        error = "the run did not end";
        return false;
    }
    engine.CloseStream();
    out = collector.output();
    return true;
}

} // namespace tolvane::test
