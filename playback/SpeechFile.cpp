#include "playback/SpeechFile.h"

#include "platform/SystemText.h"
#include "platform/UniqueFd.h"
#include "playback/SpeechTimingsTag.h"

#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/synchronizedlyricsframe.h>
#include <taglib/textidentificationframe.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace tolvane {

namespace {

TagLib::String utf8(const std::string& text) {
    return TagLib::String(text, TagLib::String::UTF8);
}

void addText(TagLib::ID3v2::Tag& tag, const char* id, const std::string& text) {
    if (text.empty()) {
        return;
    }
    auto* frame =
        new TagLib::ID3v2::TextIdentificationFrame(TagLib::ByteVector(id, 4), TagLib::String::UTF8);
    frame->setText(utf8(text));
    tag.addFrame(frame); // the tag owns its frames
}

// Copies of the downloaded tag's synchronised words and user texts, in UTF-8.
void carryTimings(TagLib::ID3v2::Tag& from, TagLib::ID3v2::Tag& to) {
    using namespace TagLib::ID3v2;
    for (Frame* frame : from.frameList("SYLT")) {
        if (const auto* words = dynamic_cast<SynchronizedLyricsFrame*>(frame)) {
            auto* copy = new SynchronizedLyricsFrame(TagLib::String::UTF8);
            copy->setLanguage(words->language());
            copy->setDescription(words->description());
            copy->setTimestampFormat(words->timestampFormat());
            copy->setType(words->type());
            copy->setSynchedText(words->synchedText());
            to.addFrame(copy);
        }
    }
    for (Frame* frame : from.frameList("TXXX")) {
        if (const auto* text = dynamic_cast<UserTextIdentificationFrame*>(frame)) {
            TagLib::StringList values = text->fieldList();
            if (!values.isEmpty()) {
                values.erase(values.begin()); // the description
            }
            to.addFrame(
                new UserTextIdentificationFrame(text->description(), values, TagLib::String::UTF8));
        }
    }
}

} // namespace

std::string SpeechFile::renderTag(const Tags& tags, std::string_view carried) {
    TagLib::ID3v2::Tag tag;
    addText(tag, "TIT2", tags.title);
    addText(tag, "TPE1", tags.artist);
    addText(tag, "TALB", tags.album);
    addText(tag, "TDRC", tags.date);
    if (!tags.comment.empty()) {
        auto* comment = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF8);
        std::string language = tags.commentLanguage;
        language.resize(3, ' ');
        comment->setLanguage(TagLib::ByteVector(language.data(), 3));
        comment->setText(utf8(tags.comment));
        tag.addFrame(comment);
    }
    std::string ignored; // audio without a tag of its own carries nothing
    SpeechTimingsTag::withTag(
        carried, [&tag](TagLib::ID3v2::Tag& from) { carryTimings(from, tag); }, ignored);
    const TagLib::ByteVector rendered = tag.render(TagLib::ID3v2::v4);
    return std::string(rendered.data(), rendered.size());
}

bool SpeechFile::save(const std::filesystem::path& target, std::string_view audio, const Tags& tags,
                      std::string& error) {
    const std::string tag = renderTag(tags, audio);
    const size_t own = SpeechTimingsTag::tagSize(audio);
    if (own <= audio.size()) {
        audio.remove_prefix(own);
    }
    platform::UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        error = platform::systemError("cannot create", target);
        return false;
    }
    if (!platform::writeAll(fd.get(), tag) || !platform::writeAll(fd.get(), audio)) {
        error = platform::systemError("cannot write", target);
        fd.close();
        ::unlink(target.c_str());
        return false;
    }
    if (fd.close() != 0) {
        error = platform::systemError("cannot write", target);
        ::unlink(target.c_str());
        return false;
    }
    return true;
}

} // namespace tolvane
