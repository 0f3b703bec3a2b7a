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
    managed_ = false;
    std::string reason;
    if (!file_.open(path, reason)) {
        setError("OpenMp3FileEx->Can't open file:  %s  !", shownPath.c_str());
        windowSize_ = 0;
        return 0;
    }
    const uint64_t fileSize = file_.size();
    if (nSeekOffset >= fileSize) {
        file_.close();
        windowSize_ = 0;
        setError("OpenMp3FileEx->Seek value out of range !");
        return 0;
    }
    const uint64_t remaining = fileSize - nSeekOffset;
    if (nSize > remaining) {
        file_.close();
        windowSize_ = 0;
        setError("OpenMp3FileEx->Size value out of range !");
        return 0;
    }
    if (!file_.map(reason)) {
        file_.close();
        windowSize_ = 0;
        setError("OpenMp3FileEx->Can't create file mapping !");
        return 0;
    }
    setWindow(file_.data() + nSeekOffset, nSize == 0 ? size_t(remaining) : nSize);
    return openCommon(nBufferMs);
}

int32_t Mp3Engine::OpenMp3Resource(const void* hModule, const char* sResName, const char* sResType,
                                   int32_t nBufferMs, uint32_t nSeekOffset, uint32_t nSize) {
    CloseStream();
    managed_ = false;
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
        windowSize_ = 0;
        setError("OpenMp3Resource->Seek value out of range !");
        return 0;
    }
    const size_t remaining = bytes->size() - nSeekOffset;
    if (nSize > remaining) {
        windowSize_ = 0;
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
    copyMode_ = fBuffered != 0;
    managed_ = fManaged != 0;
    endOfData_ = false;
    if (!sMemStream || nStreamSize == 0) {
        setError("OpenStream->Can't open NULL stream !");
        return 0;
    }
    const uint8_t* start = static_cast<const uint8_t*>(sMemStream);
    size_t size = nStreamSize;
    if (!queue().append(sMemStream, nStreamSize) || (copyMode_ && !queue().head(start, size)) ||
        (managed_ && !keepFirstChunk(start, size))) {
        queue().clear();
        setError("OpenStream->Memory allocation error !");
        return 0;
    }
    // A managed stream's chunks are released as the decoder reads them; its
    // window is the engine's own copy of the first one.
    setWindow(managed_ ? firstChunk_.data() : start, size);
    if (!openCommon(nBufferMs)) {
        queue().clear();
        return 0;
    }
    return 1;
}

bool Mp3Engine::keepFirstChunk(const uint8_t* start, size_t size) {
    try {
        firstChunk_.assign(start, start + size);
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
    if (!managed_) {
        setError("PushDataToStream->Can't push data into unmanaged stream !");
        return 0;
    }
    endOfData_ = false;
    if (!sMemNewData || nNewDataSize == 0) {
        endOfData_ = true;
        // A decoding thread already waiting for data must see the end mark.
        streamDataEvent_.set();
        return 1;
    }
    if (!queue().append(sMemNewData, nNewDataSize)) {
        setError("PushDataToStream->Memory allocation error !");
        return 0;
    }
    streamDataEvent_.set();
    return 1;
}

int32_t Mp3Engine::IsBufferReleased(const void* sMemNewData) {
    if (isStreamOpen() && managed_ && queue().entries() > 0) {
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
    gapless_.clear();
    gapless_.shrink_to_fit();
    managed_ = false;
    copyMode_ = false;
    frameTable_.clear();
    frameTable_.shrink_to_fit();
    reverse_ = false;
    freeRate_ = 0;
    clearStreamFields();
    return 1;
}

void Mp3Engine::setWindow(const uint8_t* start, size_t size) {
    window_ = start;
    windowSize_ = size;
}

void Mp3Engine::releaseSource() {
    file_.close();
    resource_.reset();
    referenceQueue_.clear();
    copyingQueue_.clear();
    firstChunk_.clear();
    firstChunk_.shrink_to_fit();
}

void Mp3Engine::clearStreamFields() {
    streamOpen_ = false;
    window_ = nullptr;
    windowSize_ = firstFrame_ = lastByte_ = decodeOffset_ = audioSize_ = 0;
    bytePosition_ = 0;
    managedSkip_ = 0;
    id3v1_ = id3v2_ = false;
    sampleRate_ = layer_ = channelMode_ = channels_ = emphasis_ = modeExtension_ = 0;
    firstBitrate_ = 0;
    averageBitrate_ = averageFrameSize_ = 0.0;
    currentBitrate_ = framesDecoded_ = bitrateSum_ = positionBase_ = 0;
    samplesPerFrame_ = headerFlags_ = 0;
    info_ = MP3_STREAM_INFO{};
    vbr_ = VbrHeader{};
    vbrFrameSize_ = 0;
    vbrUsed_ = vbrFlag_ = false;
    totalSamples_ = 0;
    lengthMs_ = totalFrames_ = 0;
    framesPerBuffer_ = bufferBytes_ = 0;
    noDevice_ = false;
}

// Skips an ID3v1 tag at the end and an ID3v2 tag directly followed by a frame.
void Mp3Engine::skipTags() {
    const uint8_t* w = window_;
    if (audioSize_ > 128 && std::memcmp(w + lastByte_ - 127, "TAG", 3) == 0) {
        lastByte_ -= 128;
        audioSize_ -= 128;
        id3v1_ = true;
    }
    if (audioSize_ > 10 && std::memcmp(w, "ID3", 3) == 0 && w[6] < 0x80 && w[7] < 0x80 &&
        w[8] < 0x80 && w[9] < 0x80) {
        const size_t tagSize =
            (size_t(w[6]) << 21) | (size_t(w[7]) << 14) | (size_t(w[8]) << 7) | size_t(w[9]);
        if (tagSize + 34 < audioSize_) {
            id3v2_ = true;
            if (FrameHeader::isSync(w + tagSize + 10)) {
                firstFrame_ = tagSize + 10;
                audioSize_ -= tagSize + 10;
            }
        }
    }
}

// Finds the first frame that decodes and is followed by one of the same
// sampling rate and layer, and takes the stream's description from it.
bool Mp3Engine::findFirstFrame(MadDecoder& d) {
    mad_stream_buffer(&d.stream, window_ + firstFrame_, audioSize_ - kGuard);
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
        sampleRate_ = header.samplerate;
        layer_ = header.layer;
        channelMode_ = header.mode;
        channels_ = header.mode == MAD_MODE_SINGLE_CHANNEL ? 1 : 2;
        emphasis_ = header.emphasis;
        modeExtension_ = uint32_t(header.mode_extension);
        firstBitrate_ = uint32_t(header.bitrate);
        headerFlags_ = uint32_t(header.flags);
        samplesPerFrame_ = FrameHeader::samplesPerFrame(header);
        info_.nMpegVersion = FrameHeader::versionCode(header);
        info_.nLayer = FrameHeader::layerCode(header);
        info_.nChannelMode = FrameHeader::channelModeCode(header);
        info_.nEmphasis = FrameHeader::emphasisCode(header);
        firstFrame_ = size_t(start - window_);
        return true;
    }
}

// A Xing or VBRI header with a frame count and a table of contents gives the
// length; its frame carries no audio and is dropped.
void Mp3Engine::readVbrHeader(MadDecoder& d) {
    vbrUsed_ = false;
    d.reset(freeRate_);
    mad_stream_buffer(&d.stream, window_ + firstFrame_, audioSize_ - kGuard);
    if (mad_frame_decode(&d.frame, &d.stream) != 0 ||
        parseVbrHeader(vbr_, d.stream, d.frame.header) != 0 || !vbr_.hasFramesAndToc() ||
        vbr_.xing.frames == 0) {
        return;
    }
    const uint64_t frames = vbr_.xing.frames;
    totalFrames_ = vbr_.xing.frames;
    totalSamples_ = frames * samplesPerFrame_;
    lengthMs_ = uint32_t(std::min<uint64_t>(totalSamples_ * 1000 / sampleRate_, UINT32_MAX));
    vbrFrameSize_ = uint32_t(d.stream.next_frame - d.stream.this_frame);
    firstFrame_ += vbrFrameSize_;
    audioSize_ -= vbrFrameSize_;
    averageFrameSize_ = double(audioSize_) / double(frames);
    averageBitrate_ =
        double(audioSize_) * 8 / double(frames) * sampleRate_ / double(samplesPerFrame_);
    vbrUsed_ = true;
}

// Walks up to 200 frame headers in the first 4 MB of the audio to learn
// whether the bit rate varies and how long frames are on average. The last
// frame needs guard bytes after it, so the data's tail is scanned again from a
// copy followed by zeros.
void Mp3Engine::scanFrames() {
    vbrFlag_ = false;
    uint32_t counted = 0;
    uint64_t summed = 0;
    if (audioSize_ > 7) {
        mad_stream stream;
        mad_header header;
        mad_stream_init(&stream);
        mad_header_init(&header);
        stream.freerate = freeRate_;
        const size_t scanned = std::min(audioSize_, kScanBytes);
        mad_stream_buffer(&stream, window_ + firstFrame_, scanned);
        std::vector<uint8_t> tail;
        while (counted < kScanFrames) {
            if (mad_header_decode(&header, &stream) == 0) {
                ++counted;
                summed += uint64_t(stream.next_frame - stream.this_frame);
                if (header.bitrate != firstBitrate_) {
                    vbrFlag_ = true;
                }
            } else if (!MAD_RECOVERABLE(stream.error)) {
                if (stream.error != MAD_ERROR_BUFLEN || !tail.empty() || scanned < audioSize_) {
                    break;
                }
                const uint8_t* rest = stream.next_frame;
                const uint8_t* end = window_ + lastByte_ + 1;
                tail.assign(rest, end);
                tail.resize(tail.size() + kGuard, 0);
                mad_stream_buffer(&stream, tail.data(), tail.size());
            }
        }
        mad_header_finish(&header);
        mad_stream_finish(&stream);
    }
    if (!vbrUsed_) {
        computeLength(counted, summed);
    }
}

void Mp3Engine::computeLength(uint32_t counted, uint64_t summed) {
    const double size = double(audioSize_);
    if (vbrFlag_ && counted > 0 && summed > 0) {
        const uint64_t frames = uint64_t(audioSize_) * counted / summed;
        totalFrames_ = uint32_t(std::min<uint64_t>(frames, UINT32_MAX));
        totalSamples_ = frames * samplesPerFrame_;
        lengthMs_ = uint32_t(std::min<uint64_t>(totalSamples_ * 1000 / sampleRate_, UINT32_MAX));
        averageFrameSize_ = double(summed) / counted;
        averageBitrate_ = frames ? size * 8 / double(frames) * sampleRate_ / samplesPerFrame_ : 0;
        return;
    }
    averageBitrate_ = firstBitrate_;
    if (firstBitrate_ == 0) {
        return;
    }
    const double exactMs = size * 8 / (firstBitrate_ * 0.001);
    lengthMs_ = uint32_t(std::min<double>(exactMs, UINT32_MAX));
    const double frames = std::ceil(exactMs * sampleRate_ * 0.001 / samplesPerFrame_);
    totalFrames_ = uint32_t(std::min<double>(frames, UINT32_MAX));
    totalSamples_ = uint64_t(totalFrames_) * samplesPerFrame_;
    averageFrameSize_ = totalFrames_ ? size / totalFrames_ : 0.0;
}

// Chooses the wave buffers: about 100 ms of whole frames each, enough of them
// for the requested buffer length (one in no-device mode).
bool Mp3Engine::prepareOutput(int32_t nBufferMs) {
    framesPerBuffer_ = uint32_t(
        std::max<int32_t>(1, MulDiv(100, int32_t(sampleRate_), int32_t(samplesPerFrame_ * 1000))));
    const int32_t duration =
        MulDiv(int32_t(framesPerBuffer_), int32_t(samplesPerFrame_ * 1000), int32_t(sampleRate_));
    const int32_t count = noDevice_ ? 1 : std::max<int32_t>(1, MulDiv(nBufferMs, 1, duration + 9));
    std::lock_guard lock(ringLock_);
    if (!wave_->Initialize(1, 2, sampleRate_, 16, uint32_t(count), uint32_t(duration + 10))) {
        setError("_Open->Can't initialize wave out");
        return false;
    }
    bufferBytes_ = wave_->GetBufferSize();
    return true;
}

// Prepares the buffer effects for the stream's buffer size and sampling rate.
bool Mp3Engine::prepareEffects() {
    if (!echo_.prepareForStream(bufferBytes_)) {
        setError("_Open->Can't allocate echo buffer");
        return false;
    }
    try {
        gapless_.assign(bufferBytes_, 0);
    } catch (const std::bad_alloc&) {
        setError("_Open->Can't allocate gapless buffer");
        return false;
    }
    band_.setStreamRate(int32_t(sampleRate_));
    equalizerLatency_ = BandEqualizer::kLatencyBytes;
    return true;
}

int32_t Mp3Engine::openCommon(int32_t nBufferMs) {
    id3v1_ = id3v2_ = false;
    firstFrame_ = 0;
    lastByte_ = windowSize_ - 1;
    decodeOffset_ = 0;
    audioSize_ = windowSize_;
    bytePosition_ = 0;
    skipTags();
    auto fail = [this](const char* message) {
        setError("%s", message);
        releaseSource();
        clearStreamFields();
        return 0;
    };
    if (audioSize_ <= 7) {
        return fail("_OpenMp3->Invalid stream!");
    }
    std::unique_ptr<MadDecoder> decoder(new (std::nothrow) MadDecoder);
    if (!decoder || !findFirstFrame(*decoder)) {
        return fail("_OpenMp3->Can't find first valid mp3 frame");
    }
    freeRate_ = decoder->stream.freerate;
    audioSize_ = lastByte_ + 1 - firstFrame_;
    if (audioSize_ <= 7) {
        return fail("_OpenMp3->Can't find first valid mp3 frame");
    }
    readVbrHeader(*decoder);
    decoder.reset();
    // Positions, sizes and the frame table count audio bytes in 32 bits.
    if (audioSize_ > UINT32_MAX) {
        return fail("_OpenMp3->Audio data of 4 GB or more isn't supported !");
    }
    scanFrames();
    info_.nHeaderSize = int32_t(firstFrame_);
    noDevice_ = nBufferMs == 0;
    if (!noDevice_ && nBufferMs < int32_t(kMinBufferMs)) {
        return fail("_Open->Buffer can't be smaller than 200 ms");
    }
    if (!prepareOutput(nBufferMs)) {
        releaseSource();
        clearStreamFields();
        return 0;
    }
    {
        std::lock_guard lock(volumeLock_);
        fadeLevel_ = 100.0;
    }
    keepPlaying_ = false;
    looping_ = false;
    currentBitrate_ = 0;
    if (!prepareEffects()) {
        {
            std::lock_guard lock(ringLock_);
            wave_->Uninitialize();
        }
        releaseSource();
        clearStreamFields();
        return 0;
    }
    decodeOffset_ = firstFrame_;
    bytePosition_ = 0;
    managedSkip_ = managed_ ? firstFrame_ : 0;
    streamOpen_ = true;
    settleEqualizer();
    return 1;
}

} // namespace tolvane
