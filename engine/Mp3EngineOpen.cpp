#include "engine/FrameHeader.h"
#include "engine/MadDecoder.h"
#include "engine/Mp3Engine.h"
#include "engine/ResourceRegistry.h"
#include "engine/WaveOutput.h"
#include "platform/MulDiv.h"
#include "platform/Text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace tolvane {

using platform::MulDiv;

namespace {
constexpr uint32_t kMinBufferMs = 200;
constexpr uint32_t kScanFrames = 200;
// Far more bytes than 200 frames of any stream take: a long stretch without frames
// (a damaged or padded file) ends the scan instead of having it read the file.
constexpr size_t kScanBytes = size_t{4} << 20;
constexpr size_t kGuard = MAD_BUFFER_GUARD;
// The lowest bit rate any MPEG audio frame has, free format included.
constexpr uint64_t kLowestBitrate = 8000;

// Whether `frames` frames of `samplesPerFrame` samples at `sampleRate` could
// fit in `bytes`: no frame is shorter than one at the lowest bit rate.
bool framesCouldFit(uint64_t frames, uint32_t samplesPerFrame, uint32_t sampleRate,
                    uint64_t bytes) {
    const uint64_t shortestFrame = samplesPerFrame * kLowestBitrate / 8 / sampleRate;
    return shortestFrame == 0 || frames <= bytes / shortestFrame;
}
} // namespace

int32_t Mp3Engine::OpenMp3File(const char* sFileName, int32_t nBufferMs, uint32_t nSeekOffset,
                               uint32_t nSize) {
    const std::string path = sFileName ? sFileName : "";
    return openFile(path, path, nBufferMs, nSeekOffset, nSize);
}

int32_t Mp3Engine::OpenMp3FileW(const char16_t* sFileName, int32_t nBufferMs, uint32_t nSeekOffset,
                                uint32_t nSize) {
    const std::u16string path = sFileName ? sFileName : u"";
    // File names on this system are UTF-8 bytes; the message shows the locale's text.
    return openFile(platform::utf16ToUtf8(path), platform::utf16ToAnsi(path), nBufferMs,
                    nSeekOffset, nSize);
}

int32_t Mp3Engine::openFile(const std::string& path, const std::string& shownPath,
                            int32_t nBufferMs, uint32_t nSeekOffset, uint32_t nSize) {
    CloseStream();
    memory_.managed = false;
    std::string reason;
    if (!file_.open(path, reason)) {
        setError("OpenMp3FileEx->Can't open file:  %s  !", shownPath.c_str());
        window_.size = 0;
        return 0;
    }
    const uint64_t fileSize = file_.size();
    if (nSeekOffset >= fileSize) {
        file_.close();
        window_.size = 0;
        setError("OpenMp3FileEx->Seek value out of range !");
        return 0;
    }
    const uint64_t remaining = fileSize - nSeekOffset;
    if (nSize > remaining) {
        file_.close();
        window_.size = 0;
        setError("OpenMp3FileEx->Size value out of range !");
        return 0;
    }
    if (!file_.map(reason)) {
        file_.close();
        window_.size = 0;
        setError("OpenMp3FileEx->Can't create file mapping !");
        return 0;
    }
    setWindow(file_.data() + nSeekOffset, nSize == 0 ? size_t(remaining) : nSize);
    return openCommon(nBufferMs);
}

int32_t Mp3Engine::OpenMp3Resource(const void* hModule, const char* sResName, const char* sResType,
                                   int32_t nBufferMs, uint32_t nSeekOffset, uint32_t nSize) {
    CloseStream();
    memory_.managed = false;
    auto bytes =
        ResourceRegistry::find(hModule, sResName ? sResName : "", sResType ? sResType : "");
    if (!bytes) {
        setError("OpenMp3Resource->Can't find resource !");
        return 0;
    }
    if (bytes->empty()) {
        setError("OpenMp3Resource->Can't get resource size !");
        return 0;
    }
    if (nSeekOffset >= bytes->size()) {
        window_.size = 0;
        setError("OpenMp3Resource->Seek value out of range !");
        return 0;
    }
    const size_t remaining = bytes->size() - nSeekOffset;
    if (nSize > remaining) {
        window_.size = 0;
        setError("OpenMp3Resource->Size value out of range !");
        return 0;
    }
    resource_ = std::move(bytes);
    setWindow(resource_->data() + nSeekOffset, nSize == 0 ? remaining : nSize);
    return openCommon(nBufferMs);
}

int32_t Mp3Engine::OpenStream(int32_t fBuffered, int32_t fManaged, const void* sMemStream,
                              uint32_t nStreamSize, int32_t nBufferMs) {
    CloseStream();
    memory_.copyMode = fBuffered != 0;
    memory_.managed = fManaged != 0;
    memory_.endOfData = false;
    if (!sMemStream || nStreamSize == 0) {
        setError("OpenStream->Can't open NULL stream !");
        return 0;
    }
    const uint8_t* start = static_cast<const uint8_t*>(sMemStream);
    size_t size = nStreamSize;
    if (!queue().append(sMemStream, nStreamSize) ||
        (memory_.copyMode && !queue().head(start, size)) ||
        (memory_.managed && !keepFirstChunk(start, size))) {
        queue().clear();
        setError("OpenStream->Memory allocation error !");
        return 0;
    }
    // A managed stream's chunks are released as the decoder reads them; its
    // window is the engine's own copy of the first one.
    setWindow(memory_.managed ? memory_.firstChunk.data() : start, size);
    if (!openCommon(nBufferMs)) {
        queue().clear();
        return 0;
    }
    return 1;
}

bool Mp3Engine::keepFirstChunk(const uint8_t* start, size_t size) {
    try {
        memory_.firstChunk.assign(start, start + size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int32_t Mp3Engine::PushDataToStream(const void* sMemNewData, uint32_t nNewDataSize) {
    if (!isStreamOpen()) {
        setError("PushDataToStream->Stream isn't open !");
        return 0;
    }
    if (!memory_.managed) {
        setError("PushDataToStream->Can't push data into unmanaged stream !");
        return 0;
    }
    memory_.endOfData = false;
    if (!sMemNewData || nNewDataSize == 0) {
        memory_.endOfData = true;
        // A decoding thread already waiting for data must see the end mark.
        memory_.dataEvent.set();
        return 1;
    }
    if (!queue().append(sMemNewData, nNewDataSize)) {
        setError("PushDataToStream->Memory allocation error !");
        return 0;
    }
    memory_.dataEvent.set();
    return 1;
}

int32_t Mp3Engine::IsBufferReleased(const void* sMemNewData) {
    if (isStreamOpen() && memory_.managed && queue().entries() > 0) {
        return queue().holds(sMemNewData) ? 0 : 1;
    }
    return 1;
}

int32_t Mp3Engine::CloseStream() {
    if (!isStreamOpen()) {
        return 1;
    }
    Stop();
    joinThread();
    {
        std::lock_guard lock(ringLock_);
        wave_->Uninitialize();
    }
    releaseSource();
    id3_.release();
    effects_.gapless.clear();
    effects_.gapless.shrink_to_fit();
    memory_.managed = false;
    memory_.copyMode = false;
    transport_.frameTable.clear();
    transport_.frameTable.shrink_to_fit();
    transport_.reverse = false;
    clearStreamFields();
    return 1;
}

void Mp3Engine::setWindow(const uint8_t* start, size_t size) {
    window_.data = start;
    window_.size = size;
}

void Mp3Engine::releaseSource() {
    file_.close();
    resource_.reset();
    memory_.referenceQueue.clear();
    memory_.copyingQueue.clear();
    memory_.firstChunk.clear();
    memory_.firstChunk.shrink_to_fit();
}

void Mp3Engine::clearStreamFields() {
    window_.clear();
    memory_.skip = 0;
    stream_ = StreamDescription{};
    counters_.bytePosition = 0;
    counters_.clearBitrates();
    counters_.positionBase = 0;
}

// Skips an ID3v1 tag at the end and an ID3v2 tag directly followed by a frame.
void Mp3Engine::skipTags() {
    const uint8_t* w = window_.data;
    if (window_.audioSize > 128 && std::memcmp(w + window_.lastByte - 127, "TAG", 3) == 0) {
        window_.lastByte -= 128;
        window_.audioSize -= 128;
        window_.id3v1 = true;
    }
    if (window_.audioSize > 10 && std::memcmp(w, "ID3", 3) == 0 && w[6] < 0x80 && w[7] < 0x80 &&
        w[8] < 0x80 && w[9] < 0x80) {
        const size_t tagSize =
            (size_t(w[6]) << 21) | (size_t(w[7]) << 14) | (size_t(w[8]) << 7) | size_t(w[9]);
        if (tagSize + 34 < window_.audioSize) {
            window_.id3v2 = true;
            if (FrameHeader::isSync(w + tagSize + 10)) {
                window_.firstFrame = tagSize + 10;
                window_.audioSize -= tagSize + 10;
            }
        }
    }
}

// Finds the first frame that decodes and is followed by one of the same
// sampling rate and layer, and takes the stream's description from it.
bool Mp3Engine::findFirstFrame(MadDecoder& d) {
    mad_stream_buffer(&d.stream, window_.data + window_.firstFrame, window_.audioSize - kGuard);
    for (;;) {
        if (mad_frame_decode(&d.frame, &d.stream) != 0) {
            if (MAD_RECOVERABLE(d.stream.error)) {
                continue;
            }
            return false;
        }
        const mad_header header = d.frame.header;
        const uint8_t* start = d.stream.this_frame;
        if (mad_frame_decode(&d.frame, &d.stream) != 0) {
            if (MAD_RECOVERABLE(d.stream.error)) {
                continue;
            }
            return false;
        }
        if (d.frame.header.samplerate != header.samplerate ||
            d.frame.header.layer != header.layer) {
            continue;
        }
        stream_.sampleRate = header.samplerate;
        stream_.layer = header.layer;
        stream_.channelMode = header.mode;
        stream_.channels = header.mode == MAD_MODE_SINGLE_CHANNEL ? 1 : 2;
        stream_.emphasis = header.emphasis;
        stream_.modeExtension = uint32_t(header.mode_extension);
        stream_.firstBitrate = uint32_t(header.bitrate);
        stream_.headerFlags = uint32_t(header.flags);
        stream_.samplesPerFrame = FrameHeader::samplesPerFrame(header);
        stream_.info.nMpegVersion = FrameHeader::versionCode(header);
        stream_.info.nLayer = FrameHeader::layerCode(header);
        stream_.info.nChannelMode = FrameHeader::channelModeCode(header);
        stream_.info.nEmphasis = FrameHeader::emphasisCode(header);
        window_.firstFrame = size_t(start - window_.data);
        return true;
    }
}

// A Xing or VBRI header with a frame count and a table of contents gives the
// length; its frame carries no audio and is dropped. A count more frames than
// the audio could hold is not believed: the stream is then timed by the frame
// scan, as one without a header. A managed stream's audio is still to come,
// so its count is held only to the most audio the engine takes (4 GB).
void Mp3Engine::readVbrHeader(MadDecoder& d) {
    stream_.vbrUsed = false;
    d.reset(stream_.freeRate);
    mad_stream_buffer(&d.stream, window_.data + window_.firstFrame, window_.audioSize - kGuard);
    if (mad_frame_decode(&d.frame, &d.stream) != 0 ||
        parseVbrHeader(stream_.vbr, d.stream, d.frame.header) != 0 ||
        !stream_.vbr.hasFramesAndToc() || stream_.vbr.xing.frames == 0) {
        return;
    }
    const uint64_t frames = stream_.vbr.xing.frames;
    const auto headerFrame = uint32_t(d.stream.next_frame - d.stream.this_frame);
    const uint64_t audioBytes = memory_.managed ? UINT32_MAX : window_.audioSize - headerFrame;
    if (!framesCouldFit(frames, stream_.samplesPerFrame, stream_.sampleRate, audioBytes)) {
        return;
    }
    stream_.totalFrames = stream_.vbr.xing.frames;
    stream_.totalSamples = frames * stream_.samplesPerFrame;
    stream_.lengthMs =
        uint32_t(std::min<uint64_t>(stream_.totalSamples * 1000 / stream_.sampleRate, UINT32_MAX));
    stream_.vbrFrameSize = headerFrame;
    window_.firstFrame += stream_.vbrFrameSize;
    window_.audioSize -= stream_.vbrFrameSize;
    stream_.averageFrameSize = double(window_.audioSize) / double(frames);
    stream_.averageBitrate = double(window_.audioSize) * 8 / double(frames) * stream_.sampleRate /
                             double(stream_.samplesPerFrame);
    stream_.vbrUsed = true;
}

// Walks up to 200 frame headers in the first 4 MB of the audio to learn
// whether the bit rate varies and how long frames are on average. The last
// frame needs guard bytes after it, so the data's tail is scanned again from a
// copy followed by zeros.
void Mp3Engine::scanFrames() {
    stream_.vbrFlag = false;
    uint32_t counted = 0;
    uint64_t summed = 0;
    if (window_.audioSize > 7) {
        mad_stream stream;
        mad_header header;
        mad_stream_init(&stream);
        mad_header_init(&header);
        stream.freerate = stream_.freeRate;
        const size_t scanned = std::min(window_.audioSize, kScanBytes);
        mad_stream_buffer(&stream, window_.data + window_.firstFrame, scanned);
        std::vector<uint8_t> tail;
        while (counted < kScanFrames) {
            if (mad_header_decode(&header, &stream) == 0) {
                ++counted;
                summed += uint64_t(stream.next_frame - stream.this_frame);
                if (header.bitrate != stream_.firstBitrate) {
                    stream_.vbrFlag = true;
                }
            } else if (!MAD_RECOVERABLE(stream.error)) {
                if (stream.error != MAD_ERROR_BUFLEN || !tail.empty() ||
                    scanned < window_.audioSize) {
                    break;
                }
                const uint8_t* rest = stream.next_frame;
                const uint8_t* end = window_.data + window_.lastByte + 1;
                tail.assign(rest, end);
                tail.resize(tail.size() + kGuard, 0);
                mad_stream_buffer(&stream, tail.data(), tail.size());
            }
        }
        mad_header_finish(&header);
        mad_stream_finish(&stream);
    }
    if (!stream_.vbrUsed) {
        computeLength(counted, summed);
    }
}

void Mp3Engine::computeLength(uint32_t counted, uint64_t summed) {
    const double size = double(window_.audioSize);
    if (stream_.vbrFlag && counted > 0 && summed > 0) {
        const uint64_t frames = uint64_t(window_.audioSize) * counted / summed;
        stream_.totalFrames = uint32_t(std::min<uint64_t>(frames, UINT32_MAX));
        stream_.totalSamples = frames * stream_.samplesPerFrame;
        stream_.lengthMs = uint32_t(
            std::min<uint64_t>(stream_.totalSamples * 1000 / stream_.sampleRate, UINT32_MAX));
        stream_.averageFrameSize = double(summed) / counted;
        stream_.averageBitrate =
            frames ? size * 8 / double(frames) * stream_.sampleRate / stream_.samplesPerFrame : 0;
        return;
    }
    stream_.averageBitrate = stream_.firstBitrate;
    if (stream_.firstBitrate == 0) {
        return;
    }
    const double exactMs = size * 8 / (stream_.firstBitrate * 0.001);
    stream_.lengthMs = uint32_t(std::min<double>(exactMs, UINT32_MAX));
    const double frames = std::ceil(exactMs * stream_.sampleRate * 0.001 / stream_.samplesPerFrame);
    stream_.totalFrames = uint32_t(std::min<double>(frames, UINT32_MAX));
    stream_.totalSamples = uint64_t(stream_.totalFrames) * stream_.samplesPerFrame;
    stream_.averageFrameSize = stream_.totalFrames ? size / stream_.totalFrames : 0.0;
}

// Chooses the wave buffers: about 100 ms of whole frames each, enough of them
// for the requested buffer length (one in no-device mode).
bool Mp3Engine::prepareOutput(int32_t nBufferMs) {
    stream_.framesPerBuffer = uint32_t(std::max<int32_t>(
        1, MulDiv(100, int32_t(stream_.sampleRate), int32_t(stream_.samplesPerFrame * 1000))));
    const int32_t duration =
        MulDiv(int32_t(stream_.framesPerBuffer), int32_t(stream_.samplesPerFrame * 1000),
               int32_t(stream_.sampleRate));
    const int32_t count =
        stream_.noDevice ? 1 : std::max<int32_t>(1, MulDiv(nBufferMs, 1, duration + 9));
    std::lock_guard lock(ringLock_);
    if (!wave_->Initialize(1, 2, stream_.sampleRate, 16, uint32_t(count),
                           uint32_t(duration + 10))) {
        setError("_Open->Can't initialize wave out");
        return false;
    }
    stream_.bufferBytes = wave_->GetBufferSize();
    return true;
}

// Prepares the buffer effects for the stream's buffer size and sampling rate.
bool Mp3Engine::prepareEffects() {
    if (!effects_.echo.prepareForStream(stream_.bufferBytes)) {
        setError("_Open->Can't allocate echo buffer");
        return false;
    }
    try {
        effects_.gapless.assign(stream_.bufferBytes, 0);
    } catch (const std::bad_alloc&) {
        setError("_Open->Can't allocate gapless buffer");
        return false;
    }
    effects_.band.setStreamRate(int32_t(stream_.sampleRate));
    effects_.equalizerLatency = BandEqualizer::kLatencyBytes;
    return true;
}

int32_t Mp3Engine::openCommon(int32_t nBufferMs) {
    window_.id3v1 = window_.id3v2 = false;
    window_.firstFrame = 0;
    window_.lastByte = window_.size - 1;
    window_.decodeOffset = 0;
    window_.audioSize = window_.size;
    counters_.bytePosition = 0;
    skipTags();
    auto fail = [this](const char* message) {
        setError("%s", message);
        releaseSource();
        clearStreamFields();
        return 0;
    };
    if (window_.audioSize <= 7) {
        return fail("_OpenMp3->Invalid stream!");
    }
    std::unique_ptr<MadDecoder> decoder(new (std::nothrow) MadDecoder);
    if (!decoder || !findFirstFrame(*decoder)) {
        return fail("_OpenMp3->Can't find first valid mp3 frame");
    }
    stream_.freeRate = decoder->stream.freerate;
    window_.audioSize = window_.lastByte + 1 - window_.firstFrame;
    if (window_.audioSize <= 7) {
        return fail("_OpenMp3->Can't find first valid mp3 frame");
    }
    readVbrHeader(*decoder);
    decoder.reset();
    // Positions, sizes and the frame table count audio bytes in 32 bits.
    if (window_.audioSize > UINT32_MAX) {
        return fail("_OpenMp3->Audio data of 4 GB or more isn't supported !");
    }
    scanFrames();
    stream_.info.nHeaderSize = int32_t(window_.firstFrame);
    stream_.noDevice = nBufferMs == 0;
    if (!stream_.noDevice && nBufferMs < int32_t(kMinBufferMs)) {
        return fail("_Open->Buffer can't be smaller than 200 ms");
    }
    if (!prepareOutput(nBufferMs)) {
        releaseSource();
        clearStreamFields();
        return 0;
    }
    {
        std::lock_guard lock(gains_.lock);
        gains_.fadeLevel = 100.0;
    }
    transport_.keepPlaying = false;
    transport_.looping = false;
    counters_.currentBitrate = 0;
    if (!prepareEffects()) {
        {
            std::lock_guard lock(ringLock_);
            wave_->Uninitialize();
        }
        releaseSource();
        clearStreamFields();
        return 0;
    }
    window_.decodeOffset = window_.firstFrame;
    counters_.bytePosition = 0;
    memory_.skip = memory_.managed ? window_.firstFrame : 0;
    window_.open = true;
    settleEqualizer();
    return 1;
}

} // namespace tolvane
