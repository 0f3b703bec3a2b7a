#include "effects/Id3Reader.h"

#include "effects/Id3Genres.h"
#include "effects/Id3Text.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tolvane {

namespace {

constexpr const char* kStreamNotOpen = "LoadID3->Stream isn't open !";
constexpr const char* kNoId3v1Tag = "Mp3Engine::LoadID3->There is no ID3v1 tag";

constexpr size_t kId3v1Size = 128;
constexpr size_t kId3v2HeaderSize = 10;
constexpr size_t kFrameHeaderSize = 10; // versions 2.3 and 2.4
constexpr size_t kFrameHeaderSizeV22 = 6;
// The head of a frame that holds any text the reader keeps (at most
// kId3TextLimit bytes of it) even when every other byte is an unsynchronisation
// zero: only this much of a frame is copied to undo unsynchronisation.
constexpr size_t kFrameCopyLimit = 2 * kId3TextLimit + 64;

constexpr uint8_t kTagUnsynchronisation = 0x80;
constexpr uint8_t kTagExtendedHeader = 0x40; // compression in version 2.2
constexpr uint8_t kTagExperimental = 0x20;
constexpr uint8_t kTagFooter = 0x10;

// Second frame flag byte, version 2.3.
constexpr uint8_t kV23Compressed = 0x80;
constexpr uint8_t kV23Encrypted = 0x40;
constexpr uint8_t kV23Grouped = 0x20;
// Second frame flag byte, version 2.4.
constexpr uint8_t kV24Compressed = 0x08;
constexpr uint8_t kV24Encrypted = 0x04;
constexpr uint8_t kV24Unsynchronised = 0x02;
constexpr uint8_t kV24DataLength = 0x01;

// The frames read, by tag version.
struct FrameName {
    std::string_view v22;
    std::string_view v23;
    std::string_view v24;
};
constexpr FrameName kFrameNames[] = {
    {"TT2", "TIT2", "TIT2"}, // title
    {"TP1", "TPE1", "TPE1"}, // artist
    {"TAL", "TALB", "TALB"}, // album
    {"TYE", "TYER", "TDRC"}, // year
    {"COM", "COMM", "COMM"}, // comment
    {"TRK", "TRCK", "TRCK"}, // track
    {"TCO", "TCON", "TCON"}, // genre
};

// A 28-bit size of four 7-bit bytes, most significant first; a byte of 0x80
// counts as 0. False when a byte is above 0x80.
bool readSyncsafe(const uint8_t* bytes, uint32_t& size) {
    size = 0;
    for (int i = 0; i < 4; ++i) {
        if (bytes[i] > 0x80) {
            return false;
        }
        size = size << 7 | (bytes[i] & 0x7Fu);
    }
    return true;
}

uint32_t readBigEndian(const uint8_t* bytes, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

std::string_view idOf(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

} // namespace

bool Id3Reader::load(int32_t nId3Version, const uint8_t* streamData, size_t streamSize,
                     bool id3v1Found, ID3_TAG_INFO* pId3Info, std::string& error) {
    if (pId3Info != nullptr) {
        *pId3Info = {};
    }
    if (streamData == nullptr) {
        error = kStreamNotOpen;
        return false;
    }
    if (nId3Version != 1 && nId3Version != 2) {
        return false;
    }
    const Bytes stream(streamData, streamSize);
    bool ok = false;
    try {
        if (nId3Version == 1) {
            clearTexts();
            const Bytes tag = stream.last(std::min(streamSize, kId3v1Size));
            ok = id3v1Found && tag.size() == kId3v1Size && std::memcmp(tag.data(), "TAG", 3) == 0;
            if (ok) {
                readId3v1(tag);
            } else {
                error = kNoId3v1Tag;
            }
        } else {
            ok = readId3v2(stream);
        }
    } catch (const std::bad_alloc&) {
        ok = false; // the scratch copy or a text could not be allocated
    }
    std::vector<uint8_t>().swap(scratch_);
    if (!ok) {
        clearTexts();
        return false;
    }
    if (pId3Info != nullptr) {
        fill(*pId3Info);
    }
    return true;
}

void Id3Reader::release() {
    for (std::string& text : texts_) {
        std::string().swap(text);
    }
    header_ = {};
    std::vector<uint8_t>().swap(scratch_);
}

void Id3Reader::readId3v1(Bytes tag) {
    texts_[kTitle] = decodeId3v1Text(tag.subspan(3, 30), true);
    texts_[kArtist] = decodeId3v1Text(tag.subspan(33, 30), true);
    texts_[kAlbum] = decodeId3v1Text(tag.subspan(63, 30), true);
    texts_[kYear] = decodeId3v1Text(tag.subspan(93, 4), true);
    const Bytes comment = tag.subspan(97, 30);
    texts_[kComment] = decodeId3v1Text(comment, false);
    // ID3v1.1 keeps the track number in the comment's last byte, after a zero.
    texts_[kTrack] = std::to_string(comment[28] == 0 ? unsigned{comment[29]} : 0u);
    texts_[kGenre] = id3GenreName(tag[127]);
}

bool Id3Reader::readId3v2(Bytes stream) {
    clearTexts();
    if (stream.size() < kId3v2HeaderSize || std::memcmp(stream.data(), "ID3", 3) != 0 ||
        stream[3] == 0xFF || stream[4] == 0xFF) {
        return false;
    }
    uint32_t size = 0;
    if (!readSyncsafe(stream.data() + 6, size) || stream.size() - kId3v2HeaderSize < size) {
        return false;
    }
    const uint8_t flags = stream[5];
    header_ = {stream[3],
               stream[4],
               flags,
               (flags & kTagUnsynchronisation) != 0,
               (flags & kTagExtendedHeader) != 0,
               (flags & kTagExperimental) != 0,
               (flags & kTagFooter) != 0,
               size};
    const Bytes body = stream.subspan(kId3v2HeaderSize, size);
    switch (header_.version) {
    case 2:
        return readFramesV22(body);
    case 3:
        return readFramesV23(body);
    case 4:
        return readFramesV24(body);
    default:
        return false;
    }
}

bool Id3Reader::readFramesV22(Bytes body) {
    if (header_.extendedHeader) {
        return false; // the flag means a compressed tag in this version
    }
    const Bytes data = header_.unsynchronisation ? unsynchronisedCopy(body) : body;
    size_t pos = 0;
    while (data.size() - pos >= 7 && data[pos] != 0) {
        const std::string_view id = idOf(data.subspan(pos, 3));
        const uint32_t size = readBigEndian(&data[pos + 3], 3);
        pos += kFrameHeaderSizeV22;
        if (size > data.size() - pos) {
            return false;
        }
        handleFrame(id, data.subspan(pos, size));
        pos += size;
    }
    return true;
}

bool Id3Reader::readFramesV23(Bytes body) {
    const Bytes data = header_.unsynchronisation ? unsynchronisedCopy(body) : body;
    size_t pos = 0;
    if (header_.extendedHeader) {
        if (data.size() < 4 || readBigEndian(data.data(), 4) > data.size() - 4) {
            return false;
        }
        pos = 4 + readBigEndian(data.data(), 4);
    }
    while (data.size() - pos > kFrameHeaderSize && data[pos] != 0) {
        const std::string_view id = idOf(data.subspan(pos, 4));
        const uint32_t size = readBigEndian(&data[pos + 4], 4);
        const uint8_t formatFlags = data[pos + 9];
        pos += kFrameHeaderSize;
        if (size == 0 || size > data.size() - pos) {
            return false;
        }
        // Compressed, encrypted and grouped frames hold no plain text.
        if ((formatFlags & (kV23Compressed | kV23Encrypted | kV23Grouped)) == 0) {
            handleFrame(id, data.subspan(pos, size));
        }
        pos += size;
    }
    return true;
}

bool Id3Reader::readFramesV24(Bytes body) {
    if (header_.totalSize() < 21) {
        return false;
    }
    size_t pos = 0;
    if (header_.extendedHeader) {
        uint32_t size = 0;
        if (!readSyncsafe(body.data(), size) || size < 6 || size > body.size()) {
            return false;
        }
        pos = size;
    }
    while (body.size() - pos > kFrameHeaderSize && body[pos] != 0) {
        const std::string_view id = idOf(body.subspan(pos, 4));
        uint32_t size = 0;
        if (!readSyncsafe(&body[pos + 4], size)) {
            return false;
        }
        const uint8_t formatFlags = body[pos + 9];
        pos += kFrameHeaderSize;
        if (size == 0 || size > body.size() - pos) {
            return false;
        }
        Bytes data = body.subspan(pos, size);
        pos += size;
        if (formatFlags & (kV24Compressed | kV24Encrypted)) {
            continue;
        }
        // In this version a tag-wide unsynchronisation flag applies to every frame.
        if ((formatFlags & kV24Unsynchronised) || header_.unsynchronisation) {
            data = unsynchronisedCopy(data.first(std::min(data.size(), kFrameCopyLimit)));
        }
        if (formatFlags & kV24DataLength) {
            if (data.size() < 4) {
                continue;
            }
            data = data.subspan(4); // the frame's decoded length, not needed for text
        }
        handleFrame(id, data);
        std::vector<uint8_t>().swap(scratch_);
    }
    return true;
}

void Id3Reader::handleFrame(std::string_view id, Bytes data) {
    for (size_t field = 0; field < kFieldCount; ++field) {
        const FrameName& name = kFrameNames[field];
        const std::string_view wanted = header_.version == 2   ? name.v22
                                        : header_.version == 3 ? name.v23
                                                               : name.v24;
        if (id != wanted) {
            continue;
        }
        if (field == kComment) {
            decodeId3Comment(data, texts_[field]);
        } else {
            decodeId3Text(data, texts_[field]);
        }
        if (field == kGenre) {
            applyId3GenreNumber(texts_[field]);
        }
        return;
    }
}

// Copies `data` into the scratch buffer with the 0x00 of every 0xFF 0x00 pair removed.
std::span<const uint8_t> Id3Reader::unsynchronisedCopy(Bytes data) {
    scratch_.assign(data.begin(), data.end());
    size_t out = 0;
    for (size_t in = 0; in < scratch_.size(); ++in) {
        scratch_[out++] = scratch_[in];
        if (scratch_[in] == 0xFF && in + 1 < scratch_.size() && scratch_[in + 1] == 0) {
            ++in;
        }
    }
    scratch_.resize(out);
    return scratch_;
}

void Id3Reader::clearTexts() {
    for (std::string& text : texts_) {
        text.clear();
    }
}

void Id3Reader::fill(ID3_TAG_INFO& info) {
    info.pTitle = texts_[kTitle].data();
    info.pArtist = texts_[kArtist].data();
    info.pAlbum = texts_[kAlbum].data();
    info.pYear = texts_[kYear].data();
    info.pComment = texts_[kComment].data();
    info.pTrack = texts_[kTrack].data();
    info.pGenre = texts_[kGenre].data();
}

} // namespace tolvane
