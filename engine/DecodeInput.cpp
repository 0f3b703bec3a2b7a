// Feeding the decoder: the window of a file or resource forward, the blocks
// of reverse play, the chunks a managed stream is pushed in.
#include "engine/DecodeRun.h"

#include "platform/MulDiv.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tolvane {

using platform::MulDiv;

namespace {

constexpr size_t kMaxFrameBytes = 5761;
constexpr size_t kBackOffBytes = 1024; // twice the largest Layer III reservoir
// Frames decoded before a reverse block at the least.
constexpr size_t kBackOffFrames = 2;

} // namespace

void DecodeRun::resetDecoder() {
    if (decoder_) {
        decoder_->reset(stream_.freeRate);
    } else {
        decoder_.reset(new (std::nothrow) MadDecoder);
        if (decoder_) {
            decoder_->stream.freerate = stream_.freeRate;
        }
    }
}

bool DecodeRun::prepareInput() {
    resetDecoder();
    if (!decoder_) {
        failStart("ThreadFunc->Memory allocation error !");
        return false;
    }
    if (memory_.managed) {
        workSize_ = size_t(stream_.framesPerBuffer) * kMaxFrameBytes + kGuard;
        work_.reset(new (std::nothrow) uint8_t[workSize_]);
        if (!work_) {
            failStart("ThreadFunc->Memory allocation error !");
            return false;
        }
        if (memory_.skip > 0) {
            // The tags and the VBR header frame at the stream's start are no audio.
            size_t removed = 0;
            memory_.queue().read(nullptr, memory_.skip, removed);
            memory_.skip = 0;
        }
        workLength_ = 0;
        return true; // the first frame decode finds no data and refills
    }
    if (transport_.reverse) {
        if (transport_.frameTable.empty()) {
            failStart("_ThreadFunc->pFramePtr is 0 !");
            return false;
        }
        const size_t count = transport_.frameTable.size();
        const int32_t end = MulDiv(int32_t(counters_.positionBase.load()), int32_t(count),
                                   int32_t(stream_.lengthMs));
        blockEnd_ = end < 0 ? count - 1 : std::min(size_t(end), count - 1);
        blockStart_ =
            blockEnd_ >= stream_.framesPerBuffer ? blockEnd_ - stream_.framesPerBuffer : 0;
        startBlock();
        return true;
    }
    startForward();
    return true;
}

void DecodeRun::startForward() {
    mad_stream& stream = decoder_->stream;
    inputBase_ = 0;
    tail_.reset();
    mad_stream_buffer(&stream, window_.data + window_.firstFrame, window_.audioSize);
    mad_stream_skip(&stream, window_.decodeOffset - window_.firstFrame);
}

// Decodes the reverse block from some frames before its start, so the first
// frame heard has the decoder's history behind it: at least two frames, and
// enough bytes that a Layer III bit reservoir is filled again.
void DecodeRun::startBlock() {
    const auto& table = transport_.frameTable;
    size_t decodeFrom = blockStart_;
    while (decodeFrom > 0 && (blockStart_ - decodeFrom < kBackOffFrames ||
                              table[blockStart_] - table[decodeFrom] < kBackOffBytes)) {
        --decodeFrom;
    }
    blockFrom_ = table[blockStart_];
    inputBase_ = 0;
    const size_t length = std::min<size_t>(table[blockEnd_] + kGuard, window_.audioSize);
    mad_stream_buffer(&decoder_->stream, window_.data + window_.firstFrame, length);
    mad_stream_skip(&decoder_->stream, std::min<size_t>(table[decodeFrom], length));
}

// The decoder ran out of data: continue with the next piece of input, or
// return false when the data ends.
bool DecodeRun::nextInput() {
    if (memory_.managed) {
        return refillManaged();
    }
    if (transport_.reverse) {
        return stepBack();
    }
    return tail_ ? endOfPass() : tailCopy();
}

// Keeps the unread rest of the work buffer, appends what the pusher has
// queued, and waits for more while the queue is empty.
bool DecodeRun::refillManaged() {
    mad_stream& stream = decoder_->stream;
    size_t keep = 0;
    if (workLength_ > 0) {
        const uint8_t* rest = stream.next_frame;
        keep = size_t(work_.get() + workLength_ - rest);
        // A rest that fills the buffer can never decode; drop it.
        keep = keep >= workSize_ - kGuard ? 0 : keep;
        std::memmove(work_.get(), rest, keep);
    }
    size_t got = 0;
    while ((got = readQueue(work_.get() + keep, workSize_ - kGuard - keep)) == 0) {
        if (!transport_.playing || memory_.endOfData) {
            return endManagedData(keep);
        }
        memory_.dataEvent.reset();
        const int32_t answer = notifier_.notify(NOTIFY_STREAM_NO_DATA);
        if (answer == 1) {
            memory_.endOfData = true;
            return endManagedData(keep);
        }
        if (answer != 2 && memory_.queue().entries() == 0 && !memory_.endOfData &&
            transport_.playing) {
            memory_.dataEvent.wait();
        }
    }
    if (!transport_.playing) {
        return false;
    }
    guardAdded_ = false;
    workLength_ = keep + got;
    inputBase_ = streamRead_ - workLength_;
    mad_stream_buffer(&stream, work_.get(), workLength_);
    return true;
}

size_t DecodeRun::readQueue(uint8_t* out, size_t size) {
    size_t removed = 0;
    const size_t got = memory_.queue().read(out, size, removed);
    streamRead_ += got;
    if (removed > 0) {
        ChunkQueue& queue = memory_.queue();
        notifier_.notify(NOTIFY_STREAM_DATA_USED, queue.entries(), queue.bytesLeft());
    }
    return got;
}

// At the end of a managed stream the last frame still needs guard bytes
// after it to decode; it gets them once.
bool DecodeRun::endManagedData(size_t keep) {
    if (!transport_.playing || guardAdded_ || keep == 0) {
        return false;
    }
    guardAdded_ = true;
    std::memset(work_.get() + keep, 0, kGuard);
    workLength_ = keep + kGuard;
    inputBase_ = streamRead_ - keep;
    mad_stream_buffer(&decoder_->stream, work_.get(), workLength_);
    return true;
}

// The last frames of a pass are decoded from a copy followed by zeros, since
// the decoder needs guard bytes after a frame and none may be read past the
// last audio byte.
bool DecodeRun::tailCopy() {
    const uint8_t* audio = window_.data + window_.firstFrame;
    const uint8_t* rest = decoder_->stream.next_frame;
    const size_t length = size_t(audio + window_.audioSize - rest);
    tail_.reset(new (std::nothrow) uint8_t[length + kGuard + 1]);
    if (!tail_) {
        return false;
    }
    std::memcpy(tail_.get(), rest, length);
    std::memset(tail_.get() + length, 0, kGuard + 1);
    inputBase_ = size_t(rest - audio);
    mad_stream_buffer(&decoder_->stream, tail_.get(), length + kGuard);
    return true;
}

// The data of a pass has ended: a loop starts its next repetition, anything
// else ends the run.
bool DecodeRun::endOfPass() {
    tail_.reset();
    if (!transport_.loopMode) {
        return false;
    }
    if (transport_.loopDone >= transport_.loopRepeats) {
        transport_.looping = false;
        endLoop();
        return false;
    }
    transport_.loopCounter = 0;
    transport_.looping = true;
    ++transport_.loopDone;
    resetDecoder();
    startForward();
    return true;
}

bool DecodeRun::stepBack() {
    if (blockStart_ == 0 || blockEnd_ == 0 || !transport_.playing ||
        transport_.frameTable.empty()) {
        return false;
    }
    blockEnd_ = blockStart_;
    blockStart_ = blockEnd_ >= stream_.framesPerBuffer ? blockEnd_ - stream_.framesPerBuffer : 0;
    resetDecoder();
    startBlock();
    return true;
}

} // namespace tolvane
