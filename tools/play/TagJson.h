#pragma once

#include "platform/EngineRecords.h"
#include "tools/play/SyncedWords.h"

#include <string>
#include <string_view>
#include <vector>

namespace tolvane::play {

// The tags command's line: the seven texts of a tag record, which the engine
// gives in the locale's 8-bit charset, as one JSON object in UTF-8.
class TagJson {
  public:
    // {"title":…,"artist":…,"album":…,"year":…,"comment":…,"track":…,"genre":…}
    // without a line break; a null text is an empty string. With synchronised
    // texts, then "sylt":[{"language":…,"description":…,"unit":"ms"|"frames",
    // "entries":[[TIME,TEXT],…]},…].
    static std::string format(const ID3_TAG_INFO& info, const std::vector<SyncedText>& synced = {});
    // `utf8` as a JSON string literal: quotes, backslashes and control
    // characters escaped, everything else kept.
    static std::string quote(std::string_view utf8);
};

} // namespace tolvane::play
