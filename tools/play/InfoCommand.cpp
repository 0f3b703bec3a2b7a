#include "engine/Mp3Engine.h"
#include "engine/WaveTypes.h"
#include "tools/play/Commands.h"
#include "tools/play/Report.h"

#include <cstdio>
#include <memory>

namespace tolvane::play {

// One line of JSON: the stream description, then length, frames and audio bytes.
int runInfo(const PlayOptions& options) {
    auto engine = std::make_unique<Mp3Engine>();
    if (!engine->OpenMp3File(options.file.c_str(), 0, 0, 0)) {
        return engineFailure(*engine);
    }
    MP3_STREAM_INFO info{};
    MP3_TIME length{};
    if (!engine->GetMp3Info(&info) || !engine->GetSongLengthHMS(&length)) {
        return engineFailure(*engine);
    }
    std::printf("{\"mpeg_version\":%d,\"layer\":%d,\"channel_mode\":%d,\"emphasis\":%d,"
                "\"sample_rate\":%d,\"header_size\":%d,\"channels\":%d,\"vbr\":%d,"
                "\"bitrate\":%d,\"length_ms\":%u,\"frames\":%u,\"bytes\":%u}\n",
                info.nMpegVersion, info.nLayer, info.nChannelMode, info.nEmphasis, info.nSampleRate,
                info.nHeaderSize, info.nChannels, info.fVbr, info.nBitrate, length.nMilliseconds,
                length.nFrames, length.nBytes);
    return std::fflush(stdout) == 0 ? kExitOk : failure("can't write standard output");
}

int runDevices() {
    auto engine = std::make_unique<Mp3Engine>();
    const int32_t count = engine->EnumerateWaveOut();
    if (count == 0) {
        return engineFailure(*engine);
    }
    for (int32_t i = 0; i < count; ++i) {
        WAVEOUT_INFO info{};
        if (!engine->GetWaveOutInfo(uint32_t(i), &info)) {
            return engineFailure(*engine);
        }
        std::printf("%d\t%s\t%u\n", i, info.szName, info.nChannels);
    }
    return std::fflush(stdout) == 0 ? kExitOk : failure("can't write standard output");
}

} // namespace tolvane::play
