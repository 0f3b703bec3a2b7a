#include "server/Mp3Encoder.h"

#include <lame/lame.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace tolvane::server {

namespace {

struct LameCloser {
    void operator()(lame_global_flags* flags) const { lame_close(flags); }
};
using LamePtr = std::unique_ptr<lame_global_flags, LameCloser>;

// LAME fills shared tables the first time it is set up; setting up two
// encoders at once is not safe.
std::mutex gSetupMutex;

std::string encodeError(int code) {
    switch (code) {
    case -1:
        return "LAME: output buffer too small";
    case -2:
        return "LAME: out of memory";
    case -3:
        return "LAME: encoder not set up";
    case -4:
        return "LAME: psychoacoustic model failed";
    default:
        return "LAME: error " + std::to_string(code);
    }
}

LamePtr setUp(const Mp3Encoder::Settings& settings, std::size_t samples, std::string& error) {
    const std::lock_guard lock(gSetupMutex);
    LamePtr lame(lame_init());
    if (!lame) {
        error = "LAME: cannot create an encoder";
        return nullptr;
    }
    lame_global_flags* flags = lame.get();
    const std::string wanted =
        std::to_string(settings.outputRate) + " Hz at " +
        (settings.vbrQuality >= 0 ? "VBR quality " + std::to_string(settings.vbrQuality)
                                  : std::to_string(settings.bitrate) + " kbit/s");
    bool set = lame_set_num_channels(flags, 1) == 0 && lame_set_mode(flags, MONO) == 0 &&
               lame_set_in_samplerate(flags, settings.inputRate) == 0 &&
               lame_set_out_samplerate(flags, settings.outputRate) == 0 &&
               lame_set_num_samples(flags, static_cast<unsigned long>(samples)) == 0 &&
               lame_set_bWriteVbrTag(flags, 1) == 0;
    lame_set_write_id3tag_automatic(flags, 0);
    if (settings.vbrQuality >= 0) {
        set = set && lame_set_VBR(flags, vbr_default) == 0 &&
              lame_set_VBR_quality(flags, static_cast<float>(settings.vbrQuality)) == 0;
    } else {
        set = set && lame_set_VBR(flags, vbr_off) == 0 &&
              lame_set_brate(flags, settings.bitrate) == 0;
    }
    if (!set || lame_init_params(flags) < 0) {
        error = "LAME refuses " + wanted;
        return nullptr;
    }
    // LAME quietly moves an impossible rate to one it can make; that would
    // make other files than the settings promise.
    const int rate = lame_get_out_samplerate(flags);
    const int bitrate = lame_get_brate(flags);
    if (rate != settings.outputRate || (settings.vbrQuality < 0 && bitrate != settings.bitrate)) {
        error = "LAME cannot make MP3 at " + wanted + " (nearest: " + std::to_string(rate) +
                " Hz at " + std::to_string(bitrate) + " kbit/s)";
        return nullptr;
    }
    return lame;
}

} // namespace

bool Mp3Encoder::encode(const std::vector<int16_t>& pcm, const Settings& settings,
                        std::vector<uint8_t>& mp3, std::string& error, bool* hasHeader, int* lag) {
    mp3.clear();
    LamePtr lame = setUp(settings, pcm.size(), error);
    if (!lame) {
        return false;
    }
    constexpr std::size_t kChunk = 8192;
    // LAME's worst case is 1.25 bytes per sample plus 7200, counted at the
    // output rate when it resamples.
    const std::size_t ratio =
        static_cast<std::size_t>(settings.outputRate / std::max(settings.inputRate, 1)) + 1;
    std::vector<unsigned char> buffer(kChunk * 5 / 4 * ratio + 7200);
    for (std::size_t offset = 0; offset < pcm.size(); offset += kChunk) {
        const std::size_t count = std::min(kChunk, pcm.size() - offset);
        // The right channel is ignored for mono input.
        const short* samples = pcm.data() + offset;
        const int written =
            lame_encode_buffer(lame.get(), samples, samples, static_cast<int>(count), buffer.data(),
                               static_cast<int>(buffer.size()));
        if (written < 0) {
            error = encodeError(written);
            return false;
        }
        mp3.insert(mp3.end(), buffer.begin(), buffer.begin() + written);
    }
    const int flushed =
        lame_encode_flush(lame.get(), buffer.data(), static_cast<int>(buffer.size()));
    if (flushed < 0) {
        error = encodeError(flushed);
        return false;
    }
    mp3.insert(mp3.end(), buffer.begin(), buffer.begin() + flushed);
    // LAME reserved the first frame for the header; now that the totals are
    // known it gives the final frame to put there.
    unsigned char tag[2880];
    const std::size_t tagSize = lame_get_lametag_frame(lame.get(), tag, sizeof tag);
    if (tagSize > sizeof tag || tagSize > mp3.size()) {
        error = "LAME: header frame does not fit";
        return false;
    }
    std::copy(tag, tag + tagSize, mp3.begin());
    if (hasHeader) {
        *hasHeader = tagSize > 0;
    }
    if (lag) {
        *lag = lame_get_encoder_delay(lame.get()) + kDecoderDelay;
    }
    return true;
}

} // namespace tolvane::server
