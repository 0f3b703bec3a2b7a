#include "engine/AlsaBackend.h"
#include "engine/WaveOutput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The ALSA backend on ALSA's "null" PCM, which takes samples as fast as they
// come: the backend's own bookkeeping without a sound server.
namespace tolvane {
namespace {

using namespace std::chrono_literals;

// Every callback, in arrival order.
struct Recorder {
    struct Call {
        uint32_t message;
        uintptr_t buffer; // dwUser of the finished header, for WOM_DONE
        std::thread::id thread;
    };

    static void callback(HWAVEOUT, uint32_t message, uintptr_t instance, uintptr_t param1,
                         uintptr_t) {
        auto* self = reinterpret_cast<Recorder*>(instance);
        const uintptr_t buffer =
            message == WOM_DONE ? reinterpret_cast<WAVEHDR*>(param1)->dwUser : ~uintptr_t(0);
        if (message == WOM_DONE && self->slowDone) {
            std::this_thread::sleep_for(100ms);
            self->slowDoneFinished = true;
        }
        {
            std::lock_guard guard(self->lock);
            self->calls.push_back({message, buffer, std::this_thread::get_id()});
        }
        self->changed.notify_all();
    }

    std::vector<Call> snapshot() {
        std::lock_guard guard(lock);
        return calls;
    }
    std::vector<uintptr_t> doneBuffers() {
        std::vector<uintptr_t> out;
        for (const Call& c : snapshot()) {
            if (c.message == WOM_DONE) {
                out.push_back(c.buffer);
            }
        }
        return out;
    }
    bool waitForDone(size_t count) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 5s, [&] {
            size_t done = 0;
            for (const Call& c : calls) {
                done += c.message == WOM_DONE;
            }
            return done >= count;
        });
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<Call> calls;
    std::atomic<bool> slowDone{false};
    std::atomic<bool> slowDoneFinished{false};
};

int32_t nullDeviceNumber(AlsaBackend& backend) {
    std::vector<AudioDevice> devices;
    if (backend.listDevices(devices) != MMSYSERR_NOERROR) {
        return -2;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].name == "null") {
            return int32_t(i);
        }
    }
    return -2;
}

// `call` with the first device number past the end of ALSA's list. Other
// programs (tests running beside this one among them) can add or remove
// devices at any time, so the call counts only when the list had the same
// length before and after it.
template <typename Call> auto pastTheLastDevice(AlsaBackend& backend, Call call) {
    for (int attempt = 0;; ++attempt) {
        std::vector<AudioDevice> before;
        std::vector<AudioDevice> after;
        EXPECT_EQ(backend.listDevices(before), MMSYSERR_NOERROR) << backend.lastError();
        auto result = call(int32_t(before.size()));
        EXPECT_EQ(backend.listDevices(after), MMSYSERR_NOERROR) << backend.lastError();
        if (before.size() == after.size() || attempt == 20) {
            return result;
        }
    }
}

class AlsaNullTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device_ = nullDeviceNumber(*backend_);
        if (device_ < 0) {
            GTEST_SKIP() << "ALSA lists no \"null\" PCM here";
        }
        ASSERT_EQ(wave_.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 6, 50), 1);
        ASSERT_EQ(wave_.OpenAudioOutput(device_, &Recorder::callback,
                                        reinterpret_cast<uintptr_t>(&recorder_), CALLBACK_FUNCTION),
                  1)
            << wave_.GetLastErrorText() << ": " << wave_.GetDeviceErrorText();
        for (uint32_t i = 0; i < wave_.GetBufferCount(); ++i) {
            wave_.SetBufferDone(i);
            ASSERT_EQ(wave_.UnprepareHeader(i), 1);
        }
    }

    void queue(uint32_t index) {
        std::memset(wave_.GetBufferData(index), 0, wave_.GetBufferSize());
        wave_.SetBufferBytes(index, wave_.GetBufferSize());
        ASSERT_EQ(wave_.PlayBuffer(index), 1) << wave_.GetLastErrorText();
    }

    uint64_t framesPerBuffer() const { return wave_.GetBufferSize() / 4; }

    std::shared_ptr<AlsaBackend> backend_ = std::make_shared<AlsaBackend>();
    Recorder recorder_;
    WaveOutput wave_{backend_};
    int32_t device_ = -2;
};

TEST_F(AlsaNullTest, BuffersAreReportedOnceInQueueOrderOnTheWriterThread) {
    for (uint32_t i = 0; i < 4; ++i) {
        queue(i);
    }
    ASSERT_TRUE(recorder_.waitForDone(4));
    EXPECT_EQ(recorder_.doneBuffers(), (std::vector<uintptr_t>{0, 1, 2, 3}));
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(wave_.IsBufferDone(i), 1);
        EXPECT_EQ(wave_.UnprepareHeader(i), 1);
    }
    EXPECT_EQ(wave_.GetOutputPosition(0), 4 * framesPerBuffer());
    EXPECT_EQ(wave_.GetOutputPosition(3), 4 * framesPerBuffer() * 4);
    EXPECT_EQ(wave_.GetOutputPosition(1), 200u);

    ASSERT_EQ(wave_.Close(), 1);
    const auto calls = recorder_.snapshot();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls.front().message, WOM_OPEN);
    EXPECT_EQ(calls.back().message, WOM_CLOSE);
    for (const auto& call : calls) {
        EXPECT_EQ(call.thread, calls.front().thread);
        EXPECT_NE(call.thread, std::this_thread::get_id());
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorder_.snapshot().size(), 6u) << "a callback came after Close returned";
}

TEST_F(AlsaNullTest, PauseHoldsQueuedBuffersUntilRestart) {
    queue(0);
    ASSERT_TRUE(recorder_.waitForDone(1));
    ASSERT_EQ(wave_.PauseOutput(), 1);
    queue(1);
    queue(2);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(wave_.IsBufferDone(1), 0);
    EXPECT_EQ(wave_.IsBufferDone(2), 0);
    EXPECT_EQ(wave_.GetOutputPosition(0), framesPerBuffer());
    EXPECT_EQ(wave_.UnprepareHeader(1), 0) << "a queued buffer cannot be unprepared";

    ASSERT_EQ(wave_.RestartOutput(), 1);
    ASSERT_TRUE(recorder_.waitForDone(3));
    EXPECT_EQ(recorder_.doneBuffers(), (std::vector<uintptr_t>{0, 1, 2}));
    EXPECT_EQ(wave_.GetOutputPosition(0), 3 * framesPerBuffer());
}

TEST_F(AlsaNullTest, ResetReportsEveryQueuedBufferBeforeReturningAndRestartsThePosition) {
    queue(0);
    ASSERT_TRUE(recorder_.waitForDone(1));
    ASSERT_EQ(wave_.PauseOutput(), 1);
    for (uint32_t i = 1; i < 5; ++i) {
        queue(i);
    }
    ASSERT_EQ(wave_.ResetOutput(), 1);
    // No waiting: everything queued was reported before ResetOutput returned.
    EXPECT_EQ(recorder_.doneBuffers(), (std::vector<uintptr_t>{0, 1, 2, 3, 4}));
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(wave_.IsBufferDone(i), 1) << i;
    }
    EXPECT_EQ(wave_.GetOutputPosition(0), 0u);

    // The device stays paused across the reset; after restart it counts from 0.
    ASSERT_EQ(wave_.UnprepareHeader(1), 1);
    queue(1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(wave_.IsBufferDone(1), 0);
    ASSERT_EQ(wave_.RestartOutput(), 1);
    ASSERT_TRUE(recorder_.waitForDone(6));
    EXPECT_EQ(wave_.GetOutputPosition(0), framesPerBuffer());
}

TEST_F(AlsaNullTest, UnprepareWaitsUntilTheDoneCallbackHasReturned) {
    recorder_.slowDone = true;
    queue(0);
    while (wave_.IsBufferDone(0) == 0) {
        std::this_thread::sleep_for(1ms);
    }
    // The header is done but its callback is still reading it.
    EXPECT_EQ(wave_.UnprepareHeader(0), 1);
    EXPECT_TRUE(recorder_.slowDoneFinished);
}

TEST_F(AlsaNullTest, StreamRefusesToCloseWithBuffersQueuedAndIsDeadAfterClose) {
    std::shared_ptr<AudioStream> stream;
    WAVEFORMATEX format = wave_.GetFormat();
    ASSERT_EQ(backend_->open(device_, format, nullptr, 0, stream), MMSYSERR_NOERROR);
    std::vector<char> samples(400);
    WAVEHDR header{samples.data(), 400, 0, 0, 0, 0};
    EXPECT_EQ(stream->write(&header), WAVERR_UNPREPARED);
    ASSERT_EQ(stream->pause(), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->prepare(&header), MMSYSERR_NOERROR);
    ASSERT_EQ(stream->write(&header), MMSYSERR_NOERROR);
    EXPECT_EQ(stream->write(&header), WAVERR_STILLPLAYING);
    EXPECT_EQ(stream->unprepare(&header), WAVERR_STILLPLAYING);
    EXPECT_EQ(stream->close(), WAVERR_STILLPLAYING);
    ASSERT_EQ(stream->reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    EXPECT_EQ(stream->close(), MMSYSERR_NOERROR);
    uint64_t frames = 0;
    EXPECT_EQ(stream->close(), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(stream->position(frames), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(stream->pause(), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(stream->write(&header), MMSYSERR_INVALHANDLE);
}

TEST_F(AlsaNullTest, DestroyingAnOutputWithQueuedBuffersEndsCleanly) {
    auto other = std::make_unique<WaveOutput>(backend_);
    ASSERT_EQ(other->Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 2, 50), 1);
    ASSERT_EQ(other->OpenAudioOutput(device_, &Recorder::callback,
                                     reinterpret_cast<uintptr_t>(&recorder_), CALLBACK_FUNCTION),
              1);
    other->PauseOutput();
    other->SetBufferBytes(1, other->GetBufferSize());
    ASSERT_EQ(other->PlayBuffer(1), 1);
    // The destructor reports the buffer and closes before it frees the ring.
    other.reset();
    EXPECT_EQ(recorder_.doneBuffers(), std::vector<uintptr_t>{1});
    EXPECT_EQ(recorder_.snapshot().back().message, WOM_CLOSE);
}

TEST(AlsaBackend, RefusesUnknownDevicesAndUnplayableFormats) {
    auto backend = std::make_shared<AlsaBackend>();
    WaveOutput wave{backend};
    ASSERT_EQ(wave.Initialize(WAVE_FORMAT_PCM, 2, 44100, 16, 2, 50), 1);
    const auto openFails = [&](int32_t number) {
        return wave.OpenAudioOutput(number, nullptr, 0, CALLBACK_FUNCTION) == 0 &&
               wave.GetLastErrorText() ==
                   "WaveOutput::OpenAudioOutput->Specified device identifier is out of range";
    };
    EXPECT_TRUE(pastTheLastDevice(*backend, openFails)) << wave.GetLastErrorText();
    for (int32_t number : {-2, INT32_MIN}) {
        EXPECT_TRUE(openFails(number)) << number << ": " << wave.GetLastErrorText();
    }
    wave.Uninitialize();
    const std::string badFormat =
        "WaveOutput::OpenAudioOutput->Attempted to open with an unsupported waveform-audio format";
    ASSERT_EQ(wave.Initialize(WAVE_FORMAT_PCM, 2, 44100, 24, 2, 50), 1);
    EXPECT_EQ(wave.OpenAudioOutput(WAVE_MAPPER, nullptr, 0, CALLBACK_FUNCTION), 0);
    EXPECT_EQ(wave.GetLastErrorText(), badFormat);
    wave.Uninitialize();
    ASSERT_EQ(wave.Initialize(3, 2, 44100, 16, 2, 50), 1);
    EXPECT_EQ(wave.OpenAudioOutput(WAVE_MAPPER, nullptr, 0, CALLBACK_FUNCTION), 0);
    EXPECT_EQ(wave.GetLastErrorText(), badFormat);
    wave.Uninitialize();
    ASSERT_EQ(wave.Initialize(WAVE_FORMAT_PCM, 0, 44100, 16, 2, 50), 1);
    EXPECT_EQ(wave.OpenAudioOutput(WAVE_MAPPER, nullptr, 0, CALLBACK_FUNCTION), 0);
    EXPECT_EQ(wave.GetLastErrorText(), badFormat);
}

TEST(AlsaBackend, RemembersTheVolumeOfEachDeviceNumber) {
    AlsaBackend backend;
    const int32_t null = nullDeviceNumber(backend);
    if (null < 0) {
        GTEST_SKIP() << "ALSA lists no \"null\" PCM here";
    }
    uint32_t volume = 0;
    ASSERT_EQ(backend.getDeviceVolume(WAVE_MAPPER, volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0xFFFFFFFFu);
    ASSERT_EQ(backend.setDeviceVolume(WAVE_MAPPER, 0x0000FFFF), MMSYSERR_NOERROR);
    ASSERT_EQ(backend.getDeviceVolume(WAVE_MAPPER, volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x0000FFFFu);

    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    std::shared_ptr<AudioStream> first;
    ASSERT_EQ(backend.open(null, format, nullptr, 0, first), MMSYSERR_NOERROR);
    ASSERT_EQ(first->getVolume(volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0xFFFFFFFFu) << "the WAVE_MAPPER volume belongs to WAVE_MAPPER only";
    ASSERT_EQ(first->setVolume(0x80004000), MMSYSERR_NOERROR);
    ASSERT_EQ(first->close(), MMSYSERR_NOERROR);

    std::shared_ptr<AudioStream> second;
    ASSERT_EQ(backend.open(null, format, nullptr, 0, second), MMSYSERR_NOERROR);
    ASSERT_EQ(second->getVolume(volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x80004000u);
    ASSERT_EQ(backend.getDeviceVolume(null, volume), MMSYSERR_NOERROR);
    EXPECT_EQ(volume, 0x80004000u);

    EXPECT_EQ(pastTheLastDevice(backend,
                                [&](int32_t number) { return backend.setDeviceVolume(number, 0); }),
              MMSYSERR_BADDEVICEID);
    EXPECT_EQ(backend.getDeviceVolume(-5, volume), MMSYSERR_BADDEVICEID);
}

TEST(AlsaBackend, ListsOutputDevicesWithShortTerminatedNames) {
    AlsaBackend backend;
    std::vector<AudioDevice> devices;
    ASSERT_EQ(backend.listDevices(devices), MMSYSERR_NOERROR) << backend.lastError();
    for (const AudioDevice& device : devices) {
        const size_t length = strnlen(device.caps.szPname, sizeof device.caps.szPname);
        ASSERT_LT(length, sizeof device.caps.szPname);
        EXPECT_EQ(std::string(device.caps.szPname), device.name.substr(0, 31));
        EXPECT_EQ(device.description.find('\n'), std::string::npos);
        EXPECT_EQ(device.caps.wChannels, 2);
    }
}

} // namespace
} // namespace tolvane
