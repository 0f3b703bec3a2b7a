#include "playback/SpeechTimingsTag.h"

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/textidentificationframe.h>

#include <algorithm>
#include <charconv>
#include <fstream>

namespace tolvane {

namespace {

// Bounds that keep every later sum of a mark's numbers far from overflowing.
constexpr int64_t kMaxStartMs = int64_t(1) << 40;
constexpr int64_t kMaxPlace = int64_t(1) << 31;

bool number(std::string_view text, int64_t limit, int64_t& value) {
    const char* end = text.data() + text.size();
    const auto [last, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && text[0] != '-' && ec == std::errc() && last == end && value <= limit;
}

// "START OFFSET LENGTH", one blank between each.
bool parseMark(std::string_view fields, SpeechMark& mark) {
    const size_t first = fields.find(' ');
    const size_t second = first == std::string_view::npos ? first : fields.find(' ', first + 1);
    if (second == std::string_view::npos) {
        return false;
    }
    return number(fields.substr(0, first), kMaxStartMs, mark.startMs) &&
           number(fields.substr(first + 1, second - first - 1), kMaxPlace, mark.offset) &&
           number(fields.substr(second + 1), kMaxPlace, mark.length);
}

void sortByStart(std::vector<SpeechMark>& marks) {
    std::stable_sort(marks.begin(), marks.end(), [](const SpeechMark& a, const SpeechMark& b) {
        return a.startMs < b.startMs;
    });
}

} // namespace

size_t SpeechTimingsTag::tagSize(std::string_view head) {
    if (head.size() < kHeaderBytes || head.substr(0, 3) != "ID3") {
        return 0;
    }
    const auto byte = [&head](size_t i) { return uint8_t(head[i]); };
    if (byte(3) == 0xFF || byte(4) == 0xFF) {
        return 0;
    }
    size_t body = 0;
    for (size_t i = 6; i < kHeaderBytes; ++i) {
        if (byte(i) >= 0x80) {
            return 0;
        }
        body = body << 7 | byte(i);
    }
    const bool footer = byte(3) >= 4 && (byte(5) & 0x10) != 0;
    return kHeaderBytes + body + (footer ? kHeaderBytes : 0);
}

bool SpeechTimingsTag::withTag(std::string_view tag,
                               const std::function<void(TagLib::ID3v2::Tag&)>& use,
                               std::string& error) {
    const size_t size = tagSize(tag);
    if (size == 0) {
        error = "no ID3v2 tag";
        return false;
    }
    if (size > tag.size()) {
        error = "the ID3v2 tag is cut short";
        return false;
    }
    TagLib::ByteVectorStream stream(TagLib::ByteVector(tag.data(), unsigned(size)));
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    TagLib::ID3v2::Tag* id3 = file.isValid() ? file.ID3v2Tag(false) : nullptr;
    if (id3 == nullptr) {
        error = "the ID3v2 tag cannot be read";
        return false;
    }
    use(*id3);
    return true;
}

bool SpeechTimingsTag::read(std::string_view tag, SpeechTimings& timings, std::string& error) {
    timings = {};
    std::string text;
    bool found = false;
    const auto takeText = [&](TagLib::ID3v2::Tag& id3) {
        const TagLib::String description(std::string(kDescription), TagLib::String::UTF8);
        auto* frame = TagLib::ID3v2::UserTextIdentificationFrame::find(&id3, description);
        if (frame == nullptr) {
            return;
        }
        // The first field is the description; a writer may split the lines
        // into several values.
        const TagLib::StringList fields = frame->fieldList();
        for (auto field = fields.begin(); field != fields.end(); ++field) {
            if (field != fields.begin()) {
                text += (text.empty() ? "" : "\n") + field->to8Bit(true);
            }
        }
        found = true;
    };
    if (!withTag(tag, takeText, error)) {
        return false;
    }
    if (!found) {
        error = "the tag holds no timings";
        return false;
    }
    return parse(text, timings, error);
}

bool SpeechTimingsTag::readFile(const std::filesystem::path& file, SpeechTimings& timings,
                                std::string& error) {
    timings = {};
    std::ifstream in(file, std::ios::binary);
    std::string head(kHeaderBytes, '\0');
    if (!in.read(head.data(), std::streamsize(head.size()))) {
        error = "no ID3v2 tag";
        return false;
    }
    const size_t size = tagSize(head);
    if (size > kMaxTagBytes) {
        error = "the ID3v2 tag is too large to read its timings";
        return false;
    }
    if (size > head.size()) {
        head.resize(size);
        in.read(head.data() + kHeaderBytes, std::streamsize(size - kHeaderBytes));
        head.resize(kHeaderBytes + size_t(in.gcount()));
    }
    return read(head, timings, error);
}

bool SpeechTimingsTag::parse(std::string_view text, SpeechTimings& timings, std::string& error) {
    timings = {};
    SpeechTimings parsed;
    bool first = true;
    while (!text.empty() || first) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (first) {
            if (line != kFirstLine) {
                error = "the timings do not begin with \"" + std::string(kFirstLine) + "\"";
                return false;
            }
            first = false;
            continue;
        }
        const std::string_view kind = line.substr(0, line.find(' '));
        if (kind != "w" && kind != "s") {
            continue; // a kind of line this reader does not know
        }
        SpeechMark mark;
        if (!parseMark(line.substr(std::min<size_t>(line.size(), 2)), mark)) {
            error = "malformed timing line \"" + std::string(line.substr(0, 80)) + "\"";
            return false;
        }
        (kind == "w" ? parsed.words : parsed.sentences).push_back(mark);
    }
    sortByStart(parsed.words);
    sortByStart(parsed.sentences);
    timings = std::move(parsed);
    return true;
}

} // namespace tolvane
