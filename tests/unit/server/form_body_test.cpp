#include "server/FormBody.h"

#include <gtest/gtest.h>

namespace tolvane::server {
namespace {

constexpr FormField kFields[] = {
    {"user_id", true, 16}, {"text", true, 20}, {"rate", false, 16}, {"fresh", false, 16}};

TEST(FormBodyTest, DecodesPercentEncodingAndPlus) {
    EXPECT_EQ(FormBody::decode("a+b%26c%3Dd%25%e4%BD%A0"), "a b&c=d%\xE4\xBD\xA0");
    EXPECT_EQ(FormBody::decode(""), "");
    for (const char* broken : {"%", "%4", "%G0", "%0G", "a%", "%%41"}) {
        EXPECT_FALSE(FormBody::decode(broken).has_value()) << broken;
    }
}

TEST(FormBodyTest, AcceptsKnownFieldsInOrderWithOptionalOnesLeftOut) {
    std::string error;
    const auto form =
        FormBody::parse("user_id=7&text=Tom+%26+Jerry=friends&fresh=12", kFields, error);
    ASSERT_TRUE(form) << error;
    EXPECT_EQ(form->text("text"), "Tom & Jerry=friends");
    EXPECT_EQ(form->find("rate"), nullptr);
    EXPECT_EQ(form->text("rate", "50"), "50");
    EXPECT_EQ(form->integer("fresh", 0, 10000, -1, error), 12);
    EXPECT_EQ(form->integer("rate", 0, 100, 50, error), 50);
}

TEST(FormBodyTest, RefusesMalformedBodiesNamingTheFault) {
    struct Case {
        const char* body;
        const char* error;
    };
    const Case cases[] = {
        {"", "missing field 'user_id'"},
        {"user_id=7", "missing field 'text'"},
        {"text=a&user_id=7", "field 'user_id' out of order"},
        {"user_id=7&user_id=8&text=a", "field 'user_id' given twice"},
        {"user_id=7&text=a&colour=red", "unknown field 'colour'"},
        {"user_id=7&text", "field 'text' has no '='"},
        {"user_id=7&&text=a", "empty field"},
        {"user_id=7&text=a&", "empty field"},
        {"user_id=7&text=%ZZ", "bad percent-encoding in field 'text'"},
        {"user_id=7&text=123456789012345678901", "field 'text' longer than 20 bytes"},
        {"user%5Fid=7&text=a", "unknown field 'user%5Fid'"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(FormBody::parse(c.body, kFields, error)) << c.body;
        EXPECT_EQ(error, c.error) << c.body;
    }
}

TEST(FormBodyTest, IntegersAreWholeNumbersWithinBounds) {
    std::string error;
    const auto form =
        FormBody::parse("user_id=-3&text=x&rate=1e3&fresh=9999999999999", kFields, error);
    ASSERT_TRUE(form) << error;
    EXPECT_EQ(form->integer("user_id", -10, 10, 0, error), -3);
    EXPECT_FALSE(form->integer("user_id", 0, 10, 0, error));
    EXPECT_EQ(error, "field 'user_id' must be from 0 to 10");
    EXPECT_FALSE(form->integer("rate", 0, 100, 0, error));
    EXPECT_EQ(error, "field 'rate' is not a whole number");
    EXPECT_FALSE(form->integer("fresh", 0, 10000, 0, error));
    EXPECT_FALSE(form->integer("text", 0, 10000, 0, error));
}

} // namespace
} // namespace tolvane::server
