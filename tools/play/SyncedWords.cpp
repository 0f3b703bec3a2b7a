#include "tools/play/SyncedWords.h"

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/synchronizedlyricsframe.h>

namespace tolvane::play {

std::vector<SyncedText> readSyncedTexts(const std::string& file) {
    using namespace TagLib::ID3v2;
    std::vector<SyncedText> texts;
    TagLib::MPEG::File mp3(file.c_str(), false);
    Tag* tag = mp3.isValid() ? mp3.ID3v2Tag(false) : nullptr;
    if (tag == nullptr) {
        return texts;
    }
    for (Frame* frame : tag->frameList("SYLT")) {
        const auto* sylt = dynamic_cast<SynchronizedLyricsFrame*>(frame);
        if (sylt == nullptr) {
            continue;
        }
        SyncedText text;
        const TagLib::ByteVector language = sylt->language();
        text.language.assign(language.data(), language.size());
        text.description = sylt->description().to8Bit(true);
        text.milliseconds =
            sylt->timestampFormat() == SynchronizedLyricsFrame::AbsoluteMilliseconds;
        for (const auto& entry : sylt->synchedText()) {
            text.entries.emplace_back(entry.time, entry.text.to8Bit(true));
        }
        texts.push_back(std::move(text));
    }
    return texts;
}

} // namespace tolvane::play
