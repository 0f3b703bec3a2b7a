#include "server/ByteRange.h"

#include <gtest/gtest.h>

namespace tolvane::server {
namespace {

using Kind = ByteRange::Kind;

TEST(ByteRangeTest, OneRangeIsBroughtWithinTheFileAndAnythingElseMeansTheWholeFile) {
    struct Case {
        const char* header;
        Kind kind;
        std::uint64_t first = 0, last = 0;
    };
    const Case cases[] = {
        {"bytes=100-199", Kind::Part, 100, 199},
        {"bytes=990-5000", Kind::Part, 990, 999}, // a last byte past the end means the end
        {"bytes=7-", Kind::Part, 7, 999},
        {"bytes=-10", Kind::Part, 990, 999},
        {"bytes=-5000", Kind::Part, 0, 999}, // a suffix longer than the file is all of it
        {"BYTES= 1-2 ", Kind::Part, 1, 2},
        {"bytes=1000-", Kind::Unsatisfiable},
        {"bytes=-0", Kind::Unsatisfiable},
        {"", Kind::Whole},
        {"bytes=0-1,5-6", Kind::Whole}, // several ranges are not served
        {"bytes=5-3", Kind::Whole},     // an invalid range is ignored
        {"items=0-1", Kind::Whole},
        {"bytes=1-2x", Kind::Whole},
        {"bytes=-", Kind::Whole},
        {"bytes=18446744073709551616-", Kind::Whole}, // overflows: ignored, never wrapped
    };
    for (const Case& c : cases) {
        const ByteRange range = fitRange(c.header, 1000);
        EXPECT_EQ(range.kind, c.kind) << c.header;
        if (c.kind == Kind::Part) {
            EXPECT_EQ(range.first, c.first) << c.header;
            EXPECT_EQ(range.last, c.last) << c.header;
        }
    }
    EXPECT_EQ(fitRange("bytes=-1", 0).kind, Kind::Unsatisfiable) << "an empty file has no bytes";
}

} // namespace
} // namespace tolvane::server
