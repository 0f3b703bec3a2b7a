#include "tests/support/WavFile.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace tolvane::test {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put16(std::string& out, uint16_t v) {
    out.push_back(char(v & 0xFF));
    out.push_back(char(v >> 8));
}
void put32(std::string& out, uint32_t v) {
    put16(out, uint16_t(v & 0xFFFF));
    put16(out, uint16_t(v >> 16));
}

struct Format {
    uint16_t tag = 0;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bits = 0;
};

bool parseFormat(const uint8_t* p, size_t size, Format& format, std::string& error) {
    if (size < 16) {
        error = "fmt chunk too short";
        return false;
    }
    format.tag = le16(p);
    format.channels = le16(p + 2);
    format.rate = le32(p + 4);
    format.bits = le16(p + 14);
    // The extensible form names the real format in the first two bytes of its GUID.
    if (format.tag == kFormatExtensible) {
        if (size < 40) {
            error = "extensible fmt chunk too short";
            return false;
        }
        format.tag = le16(p + 24);
    }
    if (format.tag != kFormatPcm || format.bits != 16) {
        error = "not 16-bit PCM (format " + std::to_string(format.tag) + ", " +
                std::to_string(format.bits) + " bits)";
        return false;
    }
    if (format.channels == 0 || format.rate == 0) {
        error = "no channels or no sample rate";
        return false;
    }
    return true;
}

} // namespace

std::vector<double> WavAudio::channel(uint16_t index) const {
    std::vector<double> out;
    if (index >= channels) {
        return out;
    }
    out.reserve(frames());
    for (size_t i = index; i + channels - index <= samples.size(); i += channels) {
        out.push_back(samples[i] / 32768.0);
    }
    return out;
}

bool readWav(const std::filesystem::path& path, WavAudio& audio, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path.string();
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    const size_t size = bytes.size();
    if (size < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        error = path.string() + ": not a RIFF/WAVE file";
        return false;
    }
    Format format;
    bool haveFormat = false;
    size_t pos = 12;
    while (pos + 8 <= size) {
        const uint8_t* chunk = bytes.data() + pos;
        const size_t body = pos + 8;
        size_t length = le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length > size - body || !parseFormat(bytes.data() + body, length, format, error)) {
                error = path.string() + ": " + (error.empty() ? "fmt chunk truncated" : error);
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                error = path.string() + ": data chunk before fmt chunk";
                return false;
            }
            if (length == 0 || length > size - body) {
                length = size - body;
            }
            const size_t frameBytes = size_t(format.channels) * 2;
            length -= length % frameBytes;
            audio.sampleRate = format.rate;
            audio.channels = format.channels;
            audio.samples.resize(length / 2);
            for (size_t i = 0; i < audio.samples.size(); ++i) {
                audio.samples[i] = int16_t(le16(bytes.data() + body + 2 * i));
            }
            return true;
        }
        if (length > size - body) {
            break;
        }
        pos = body + length + (length & 1);
    }
    error = path.string() + ": no data chunk";
    return false;
}

bool writeWav(const std::filesystem::path& path, const WavAudio& audio, std::string& error) {
    const uint64_t dataBytes = uint64_t(audio.samples.size()) * 2;
    if (audio.channels == 0 || dataBytes > 0xFFFFFFFFull - 36) {
        error = "audio cannot be written as WAVE";
        return false;
    }
    std::string out;
    out.reserve(44 + dataBytes);
    out += "RIFF";
    put32(out, uint32_t(36 + dataBytes));
    out += "WAVEfmt ";
    put32(out, 16);
    put16(out, kFormatPcm);
    put16(out, audio.channels);
    put32(out, audio.sampleRate);
    put32(out, audio.sampleRate * audio.channels * 2);
    put16(out, uint16_t(audio.channels * 2));
    put16(out, 16);
    out += "data";
    put32(out, uint32_t(dataBytes));
    for (int16_t s : audio.samples) {
        put16(out, uint16_t(s));
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file.write(out.data(), std::streamsize(out.size())) || !file.flush()) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

} // namespace tolvane::test
