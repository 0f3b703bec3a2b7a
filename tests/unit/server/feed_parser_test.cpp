#include "server/FeedParser.h"
#include "server/HtmlText.h"

#include <gtest/gtest.h>

namespace tolvane::server {
namespace {

std::vector<FeedItem> parse(const std::string& xml, std::string& error, std::size_t max = 100) {
    std::vector<FeedItem> items;
    if (!parseFeed(xml, max, items, error)) {
        items.clear();
    }
    return items;
}

TEST(HtmlTextTest, KeepsTheReadableText) {
    EXPECT_EQ(htmlToText("<p>One</p><p>two<br>three</p>"), "One two three");
    EXPECT_EQ(htmlToText("a &amp; b &lt;c&gt; &nbsp;d&#20320;"), "a & b <c> d你");
    EXPECT_EQ(htmlToText("<script>alert(1)</script><style>p{}</style>Text <b>bold</b>"),
              "Text bold");
    EXPECT_EQ(htmlToText("  plain\n\ttext  "), "plain text");
    EXPECT_EQ(htmlToText("<p>unclosed <i>tags"), "unclosed tags");
    EXPECT_EQ(htmlToText(""), "");
    std::string deep;
    for (int i = 0; i < 200000; ++i) {
        deep += i < 200 ? "<div>" : "<b>";
    }
    EXPECT_EQ(htmlToText("<p>A &amp; B</p>" + deep + "deep &lt;text&gt;"), "A & B deep <text>")
        << "past the HTML parser's depth limit";
}

TEST(FeedParserTest, ReadsRss2Rss1AndAtom) {
    std::string error;
    const auto rss = parse(
        R"(<rss version="2.0" xmlns:content="http://purl.org/rss/1.0/modules/content/"><channel>
        <item><title>A</title><description>&lt;b&gt;x&lt;/b&gt; y</description><pubDate>Mon</pubDate></item>
        <item><title>B</title><content:encoded><![CDATA[<p>rich</p>]]></content:encoded></item>
        <item><link>http://nothing-to-read</link></item>
        </channel></rss>)",
        error);
    ASSERT_EQ(rss.size(), 2u) << error;
    EXPECT_EQ(rss[0].title, "A");
    EXPECT_EQ(rss[0].description, "x y");
    EXPECT_EQ(rss[0].time, "Mon");
    EXPECT_EQ(rss[1].description, "rich");

    const auto rdf = parse(R"(<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"
        xmlns="http://purl.org/rss/1.0/" xmlns:dc="http://purl.org/dc/elements/1.1/">
        <channel><title>c</title></channel>
        <item><title>R</title><description>d</description><dc:date>2024-01-01</dc:date></item></rdf:RDF>)",
                           error);
    ASSERT_EQ(rdf.size(), 1u) << error;
    EXPECT_EQ(rdf[0].time, "2024-01-01");

    const auto atom = parse(R"(<feed xmlns="http://www.w3.org/2005/Atom">
        <entry><title type="html">&lt;i&gt;T&lt;/i&gt;</title><content>plain &lt;b&gt; text</content>
        <published>P</published></entry></feed>)",
                            error);
    ASSERT_EQ(atom.size(), 1u) << error;
    EXPECT_EQ(atom[0].title, "T");
    EXPECT_EQ(atom[0].description, "plain <b> text") << "text content stays text";
    EXPECT_EQ(atom[0].time, "P");

    std::string many = "<rss><channel>";
    for (int i = 0; i < 20; ++i) {
        many += "<item><title>" + std::to_string(i) + "</title></item>";
    }
    EXPECT_EQ(parse(many + "</channel></rss>", error, 5).size(), 5u);
}

TEST(FeedParserTest, RefusesWhatIsNotAFeed) {
    struct Case {
        std::string xml, error;
    };
    const Case cases[] = {
        {"<rss><channel><item>", "not well-formed XML"},
        {"<html><body/></html>", "neither RSS nor Atom (root element <html>)"},
        {"<rss version=\"2.0\"/>", "RSS document without a channel"},
        {"", "not well-formed XML"},
        {"<!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>"
         "<rss><channel><item><title>&b;</title></item></channel></rss>",
         "feed declares entities, which are not accepted"},
        {"<!DOCTYPE rss [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
         "<rss><channel><item><title>&x;</title></item></channel></rss>",
         "feed declares entities, which are not accepted"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_TRUE(parse(c.xml, error).empty()) << c.xml;
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.xml;
    }
}

} // namespace
} // namespace tolvane::server
