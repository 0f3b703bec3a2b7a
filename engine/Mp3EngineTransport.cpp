// Starting and ending runs, pausing, seeking, loops and reverse play.
#include "engine/DecodeRun.h"
#include "engine/Mp3Engine.h"
#include "engine/TimeFormat.h"
#include "engine/WaveOutput.h"
#include "platform/MulDiv.h"

#include <algorithm>
#include <new>
#include <vector>

namespace tolvane {

using platform::MulDiv;

bool Mp3Engine::startThread(bool waitReady) {
    threadReadyEvent_.reset();
    if (!thread_.start([this] { runDecodeThread(); })) {
        return false;
    }
    if (waitReady) {
        threadReadyEvent_.wait();
    }
    return true;
}

// The decoding thread's body: a run over the engine's pieces.
void Mp3Engine::runDecodeThread() {
    DecodeRun run({stream_, window_, memory_, transport_, counters_, progress_, gains_, effects_,
                   *wave_, *devices_, notifier_, ringLock_, threadReadyEvent_, error_});
    run.run();
}

void Mp3Engine::joinThread() {
    if (thread_.attached()) {
        thread_.join();
    }
}

// Ends a run, or waits for one that ended by itself to finish its last writes.
void Mp3Engine::stopAndJoin() {
    if (transport_.playing) {
        Stop();
    }
    joinThread();
}

void Mp3Engine::resetRunFields() {
    transport_.paused = false;
    progress_.bytesPlayed = 0;
    progress_.nextBuffer = 0;
    progress_.bufferCompleted = false;
}

int32_t Mp3Engine::Play() {
    if (!isStreamOpen()) {
        setError("Play->Stream isn't open !");
        return 0;
    }
    if (transport_.paused) {
        if (transport_.playing) {
            return Resume();
        }
        // Paused while stopped: Play starts playback rather than only unpausing.
        Resume();
    }
    if (transport_.playing) {
        return 0;
    }
    joinThread();
    transport_.loopMode = false;
    resetRunFields();
    transport_.playing = true;
    transport_.startResult = 1;
    if (!startThread(true)) {
        transport_.playing = false;
        setError("Play->Can't create decoding thread !");
        return 0;
    }
    if (transport_.startResult == 1) {
        return 1;
    }
    Stop();
    joinThread();
    return 0;
}

int32_t Mp3Engine::Stop() {
    if (!isStreamOpen()) {
        setError("Stop->Stream isn't open !");
        return 0;
    }
    if (!transport_.playing) {
        return 0;
    }
    progress_.bufferCompleted = false;
    transport_.loopMode = false;
    transport_.looping = false;
    wave_->PauseOutput();
    transport_.playing = false;
    transport_.paused = false;
    memory_.dataEvent.set();
    wave_->ResetOutput();
    progress_.bufferDone.set();
    memory_.dataEvent.set();
    joinThread();
    {
        std::lock_guard lock(gains_.lock);
        gains_.fadeLevel = 100.0;
    }
    transport_.keepPlaying = false;
    if (memory_.managed) {
        memory_.referenceQueue.clear();
        memory_.copyingQueue.clear();
    }
    counters_.bytePosition = 0;
    return 1;
}

int32_t Mp3Engine::Pause() {
    if (!isStreamOpen()) {
        setError("Pause->Stream isn't open !");
        return 0;
    }
    wave_->PauseOutput();
    transport_.paused = true;
    return 1;
}

int32_t Mp3Engine::Resume() {
    if (!isStreamOpen()) {
        setError("Resume->Stream isn't open !");
        return 0;
    }
    wave_->RestartOutput();
    transport_.paused = false;
    return 1;
}

uint32_t Mp3Engine::frameCount(uint32_t ms) const {
    const int32_t n =
        MulDiv(int32_t(ms), int32_t(stream_.sampleRate), int32_t(stream_.samplesPerFrame * 1000));
    return n < 0 ? 0 : uint32_t(n);
}

// Byte offset of a time, through the VBR table of contents when there is one.
uint32_t Mp3Engine::seekByteOffset(uint32_t ms) const {
    const double size = double(window_.audioSize);
    if (stream_.vbrUsed) {
        const double p = double(ms) * 100 / stream_.lengthMs;
        const uint32_t k = std::min<uint32_t>(uint32_t(p), 99);
        const double t0 = stream_.vbr.xing.toc[k];
        const double t1 = k == 99 ? 256.0 : stream_.vbr.xing.toc[k + 1];
        return uint32_t((t0 + (p - k) * (t1 - t0)) * (size + stream_.vbrFrameSize) / 256);
    }
    return uint32_t(size * (double(ms) / stream_.lengthMs));
}

// Time of a byte offset: the table of contents read backwards, else linear.
uint32_t Mp3Engine::positionOfByte(uint32_t byte) const {
    const uint64_t size = window_.audioSize;
    if (!stream_.vbrUsed) {
        const int32_t ms = MulDiv(int32_t(byte), int32_t(stream_.lengthMs), int32_t(size));
        return ms < 0 ? 0 : uint32_t(ms);
    }
    const uint64_t x = uint64_t(byte) * 256 / size;
    uint32_t i = 99;
    uint32_t j = 0;
    for (uint32_t k = 0; k < 100; ++k) {
        if (stream_.vbr.xing.toc[k] > x) {
            i = k;
            j = k == 0 ? 0 : k - 1;
            break;
        }
    }
    const double e = double(size) * stream_.vbr.xing.toc[j] / 256;
    const double f = double(size) * stream_.vbr.xing.toc[i] / 256;
    const double h = e >= f ? 0.0 : (byte - e) / (f - e);
    const double length = stream_.lengthMs;
    return uint32_t(length * j / 100 + h * (length * i / 100 - length * j / 100));
}

int32_t Mp3Engine::Seek(uint32_t fFormat, MP3_TIME* pTime, uint32_t nMoveMethod) {
    if (!pTime) {
        setError("Seek->MP3_TIME *pTime can't be 0 !");
        return 0;
    }
    if (fFormat == 0) {
        setError("Seek->Invalid time format !");
        return 0;
    }
    if (memory_.managed && isStreamOpen()) {
        setError("Seek->This is managed stream. Can't seek !");
        return 0;
    }
    if (!isStreamOpen()) {
        setError("Seek->Stream isn't open !");
        return 0;
    }
    if (fFormat == TIME_FORMAT_BYTES) {
        const uint32_t p = counters_.bytePosition;
        stopAndJoin();
        const uint64_t size = window_.audioSize;
        const uint64_t v = pTime->nBytes;
        uint64_t b = 0;
        switch (nMoveMethod) {
        case SEEK_FROM_START:
            b = std::min(v, size);
            break;
        case SEEK_FROM_END:
            b = v > size ? 0 : size - v;
            break;
        case SEEK_FORWARD:
            b = v > size - std::min<uint64_t>(p, size) ? size : p + v;
            break;
        case SEEK_BACKWARD:
            b = v > p ? 0 : p - v;
            break;
        }
        window_.decodeOffset = std::min<size_t>(window_.firstFrame + b, window_.lastByte);
        counters_.positionBase = positionOfByte(uint32_t(b));
        return 1;
    }
    uint32_t a = toMilliseconds(fFormat, *pTime);
    const uint32_t position = currentPosition(false);
    switch (nMoveMethod) {
    case SEEK_FROM_START:
        break;
    case SEEK_FROM_END:
        a = a > stream_.lengthMs ? 0 : stream_.lengthMs - a;
        break;
    case SEEK_FORWARD:
        a = position + a;
        break;
    case SEEK_BACKWARD:
        a = a > position ? 0 : position - a;
        break;
    default:
        a = 0;
    }
    stopAndJoin();
    if (a > stream_.lengthMs) {
        counters_.positionBase = stream_.lengthMs;
        window_.decodeOffset = window_.lastByte;
        return 1;
    }
    const size_t offset = stream_.lengthMs ? seekByteOffset(a) : 0;
    window_.decodeOffset = window_.firstFrame + offset;
    if (window_.decodeOffset >= window_.lastByte) {
        window_.decodeOffset = window_.lastByte;
        a = stream_.lengthMs;
    }
    counters_.positionBase = a;
    return 1;
}

int32_t Mp3Engine::PlayLoop(uint32_t fFormatStartTime, MP3_TIME* pStartTime,
                            uint32_t fFormatEndTime, MP3_TIME* pEndTime, uint32_t nNumOfRepeat) {
    if (memory_.managed && isStreamOpen()) {
        setError("PlayLoop->This is dynamic stream. Can't play in loop !");
        return 0;
    }
    if (transport_.reverse) {
        setError("PlayLoop->Stream is in reverse mode. Can't play loop !");
        return 0;
    }
    if (fFormatStartTime == TIME_FORMAT_BYTES || fFormatEndTime == TIME_FORMAT_BYTES) {
        setError("PlayLoop->TIME_FORMAT_BYTES not supported !");
        return 0;
    }
    if (!pStartTime || !pEndTime || fFormatStartTime == 0 || fFormatEndTime == 0) {
        setError("PlayLoop->Invalid time format !");
        return 0;
    }
    if (!isStreamOpen()) {
        setError("PlayLoop->Stream isn't open !");
        return 0;
    }
    const uint32_t start = toMilliseconds(fFormatStartTime, *pStartTime);
    const uint32_t end = toMilliseconds(fFormatEndTime, *pEndTime);
    if (end < start) {
        setError("PlayLoop->Loop end time is smaller than loop start time !");
        return 0;
    }
    const bool keepPlaying = transport_.playing || transport_.paused;
    if (!Seek(fFormatStartTime, pStartTime, SEEK_FROM_START)) {
        setError("PlayLoop->Can't seek to start of loop !");
        return 0;
    }
    joinThread();
    transport_.loopMode = true;
    transport_.playing = true;
    resetRunFields();
    transport_.keepPlaying = keepPlaying;
    transport_.loopFrames = frameCount(end - start);
    transport_.loopCounter = 0;
    transport_.loopRepeats = nNumOfRepeat;
    transport_.loopDone = 0;
    // A loop that reaches past the end lasts only to the end; one that starts
    // past it (Seek held the start at the end) lasts nothing.
    const uint32_t rest = stream_.lengthMs - std::min(start, stream_.lengthMs);
    transport_.loopSamples =
        rest < end - start
            ? uint32_t(std::min(stream_.sampleRate * double(rest) * 0.001, double(UINT32_MAX)))
            : stream_.samplesPerFrame * transport_.loopFrames;
    transport_.startResult = 1;
    transport_.looping = true;
    if (!startThread(false)) {
        transport_.playing = false;
        transport_.looping = false;
        transport_.loopMode = false;
        setError("Mp3Engine::PlayLoopM->Can't create decoding thread!");
        return 0;
    }
    return 1;
}

// Records where every frame of the audio starts, for playing blocks backwards.
bool Mp3Engine::buildFrameTable() {
    std::vector<uint32_t> table;
    mad_stream stream;
    mad_header header;
    mad_stream_init(&stream);
    mad_header_init(&header);
    stream.freerate = stream_.freeRate;
    const uint8_t* audio = window_.data + window_.firstFrame;
    mad_stream_buffer(&stream, audio, window_.audioSize);
    std::vector<uint8_t> tail;
    size_t tailBase = 0;
    bool ok = true;
    for (;;) {
        if (mad_header_decode(&header, &stream) == 0) {
            const size_t at = tail.empty() ? size_t(stream.this_frame - audio)
                                           : tailBase + size_t(stream.this_frame - tail.data());
            try {
                table.push_back(uint32_t(at));
            } catch (const std::bad_alloc&) {
                ok = false;
                break;
            }
        } else if (!MAD_RECOVERABLE(stream.error)) {
            if (stream.error != MAD_ERROR_BUFLEN || !tail.empty()) {
                break;
            }
            tailBase = size_t(stream.next_frame - audio);
            tail.assign(stream.next_frame, audio + window_.audioSize);
            tail.resize(tail.size() + MAD_BUFFER_GUARD, 0);
            mad_stream_buffer(&stream, tail.data(), tail.size());
        }
    }
    mad_header_finish(&header);
    mad_stream_finish(&stream);
    if (!ok) {
        setError("ReverseMode->Memory allocation error !");
        return false;
    }
    transport_.frameTable = std::move(table);
    return true;
}

int32_t Mp3Engine::ReverseMode(int32_t fEnable) {
    if (!isStreamOpen()) {
        setError("ReverseMode->Stream isn't open !");
        return 0;
    }
    if (memory_.managed) {
        setError("ReverseMode->This is managed stream. Can't use reverse mode !");
        return 0;
    }
    if (!transport_.playing) {
        joinThread(); // a run that ended by itself may still be finishing
    }
    if (fEnable && transport_.frameTable.empty() && !buildFrameTable()) {
        return 0;
    }
    if (transport_.frameTable.empty()) {
        transport_.reverse = false;
        setError("ReverseMode->There is no mp3 frame in this stream !");
        return 0;
    }
    if (!transport_.playing) {
        transport_.reverse = fEnable != 0;
        return 1;
    }
    MP3_TIME position{};
    GetPosition(&position);
    Stop();
    transport_.reverse = fEnable != 0;
    Seek(TIME_FORMAT_MS, &position, SEEK_FROM_START);
    Play();
    return 1;
}

} // namespace tolvane
