#pragma once

#include "platform/EngineRecords.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// Reads a stream's song texts (title, artist, album, year, comment, track,
// genre) from its ID3v1 tag, the last 128 bytes, or from its ID3v2 tag (versions
// 2.2, 2.3 and 2.4) at the start, into seven texts in the locale's 8-bit
// charset. The reader owns the texts: the pointers it hands out stay valid until
// the next load() or release(). Sizes read from a tag are checked against the
// bytes given; nothing outside them is read.
class Id3Reader {
  public:
    // Reads the tag of version `nId3Version` (1 for ID3v1, 2 for ID3v2) from the
    // stream's data window (`streamData` null while no stream is open);
    // `id3v1Found` tells whether the window ends in an ID3v1 tag. On success fills
    // the record with the seven texts and returns true. On failure sets the
    // record to seven nulls and returns false; `error` is set only where the
    // failure has a text (no stream, no ID3v1 tag) and otherwise left as it was.
    // A null record is allowed: the result then only tells whether the tag reads.
    bool load(int32_t nId3Version, const uint8_t* streamData, size_t streamSize, bool id3v1Found,
              ID3_TAG_INFO* pId3Info, std::string& error);

    // Frees the texts (each becomes empty) and the ID3v2 parse state, for when
    // the stream closes.
    void release();

  private:
    using Bytes = std::span<const uint8_t>;

    enum Field : size_t { kTitle, kArtist, kAlbum, kYear, kComment, kTrack, kGenre, kFieldCount };

    // The ID3v2 header as read from the tag.
    struct Id3v2Header {
        uint8_t version = 0;
        uint8_t revision = 0;
        uint8_t flags = 0;
        bool unsynchronisation = false;
        bool extendedHeader = false;
        bool experimental = false;
        bool footer = false;
        uint32_t size = 0; // bytes after the 10-byte header
        size_t totalSize() const { return size_t{size} + 10; }
    };

    void readId3v1(Bytes tag);
    bool readId3v2(Bytes stream);
    bool readFramesV22(Bytes body);
    bool readFramesV23(Bytes body);
    bool readFramesV24(Bytes body);
    void handleFrame(std::string_view id, Bytes data);
    Bytes unsynchronisedCopy(Bytes data);
    void clearTexts();
    void fill(ID3_TAG_INFO& info);

    std::array<std::string, kFieldCount> texts_;
    Id3v2Header header_;
    std::vector<uint8_t> scratch_; // frame or tag data with unsynchronisation undone
};

} // namespace tolvane
