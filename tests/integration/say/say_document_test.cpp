// tolvane-say --file for real: a document longer than the user's limit read
// through the reference server part after part into a null sink of the
// test's own, every word heard once and in order; the part being read kept,
// so that --resume goes on from it after an interrupt.
#include "SayTestSupport.h"

#include "tests/support/DocumentMaker.h"
#include "tests/support/NullSink.h"
#include "tests/support/ServerProgram.h"
#include "tests/support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kLimit = 120;

const std::vector<std::string> kParagraphs = {
    "The ships came into the harbour at dawn. Nobody was waiting for them on the quay.",
    "The gulls cried over the water. A boy ran down the hill to see the sails.",
    "His mother called him back. He did not hear her, because the wind was loud.",
    "By noon the sailors were asleep. The town went on with its day as before."};

// The words of `text`, split at blanks and line breaks, without their
// punctuation.
std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        std::erase_if(word, [](char c) { return c == '.' || c == ','; });
        words.push_back(word);
    }
    return words;
}

// The words --follow printed, up to the line starting with `until`.
std::vector<std::string> wordsHeard(const std::vector<std::string>& lines,
                                    const std::string& until) {
    std::vector<std::string> words;
    for (const std::string& line : lines) {
        if (!until.empty() && line.rfind(until, 0) == 0) {
            break;
        }
        if (line.rfind("word ", 0) == 0) {
            const std::vector<std::string> word = wordsOf(line.substr(line.find(' ', 5) + 1));
            words.insert(words.end(), word.begin(), word.end());
        }
    }
    return words;
}

class SayDocumentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ServerProgram::available()) << "tolvane-server is not built";
        std::string error;
        ASSERT_TRUE(sink_.create(error)) << error;
        // The demo user with a limit far below the document's length.
        const fs::path ini = dir_.path() / "server.ini";
        std::ofstream(ini) << "[server]\naddress = 127.0.0.1\nport = 0\nlog = none\n"
                              "[user demo]\nemail = demo@tolvane.local\n"
                              "password_md5 = fe01ce2a7fbac8fafaed7c982a04e229\nuserid = 1\n"
                              "usertype = demo\ntime_wait_max = 60\nmax_text_number = "
                           << kLimit << "\ndomain_limit = localhost\n";
        ASSERT_TRUE(server_.start({"--config", ini.string()}, error)) << error;
        std::string door;
        int port = 0;
        ASSERT_TRUE(server_.waitForListening(door, port)) << server_.out();
        config_ = writeClientConfig(dir_.path(), port, "FILE");
        document_ = dir_.path() / "story.docx";
        std::ofstream(document_, std::ios::binary) << docxOf(kParagraphs);
    }

    void start(SayProcess& say, bool resume) {
        std::vector<std::string> args = {"--config", config_.string(), "--lang",
                                         "en-US",    "--rate",         "80",
                                         "--follow", "--file",         document_.string()};
        if (resume) {
            args.push_back("--resume");
        }
        std::string error;
        ASSERT_TRUE(say.start(args, error)) << error;
    }

    // The "part K/N FROM TO" lines, as K; `count` is N, `ranges` each part's.
    static std::vector<int> partsOf(const SayProcess& say, int& count,
                                    std::vector<std::pair<int, int>>* ranges = nullptr) {
        std::vector<int> parts;
        const std::regex part("part ([0-9]+)/([0-9]+) ([0-9]+) ([0-9]+)");
        for (const std::string& line : say.lines()) {
            std::smatch match;
            if (std::regex_match(line, match, part)) {
                parts.push_back(std::stoi(match[1]));
                count = std::stoi(match[2]);
                if (ranges != nullptr) {
                    ranges->push_back({std::stoi(match[3]), std::stoi(match[4])});
                }
            }
        }
        return parts;
    }

    TempDir dir_{"say-document"};
    NullSink sink_;
    ServerProgram server_;
    fs::path config_;
    fs::path document_;
};

TEST_F(SayDocumentTest, ReadsADocumentInPartsAndResumesWhereItStopped) {
    std::string whole;
    for (const std::string& paragraph : kParagraphs) {
        whole += paragraph + "\n";
    }
    const int expected = int((whole.size() + kLimit - 1) / kLimit);

    // Stopped during the second part.
    SayProcess stopped;
    ASSERT_NO_FATAL_FAILURE(start(stopped, false));
    ASSERT_FALSE(
        stopped.waitForOutput(std::regex("part 2/[0-9]+ [0-9]+ [0-9]+\n(.|\n)*100/170"), 90s)
            .empty())
        << stopped.out() << stopped.err();
    stopped.signal(SIGINT);
    ASSERT_TRUE(stopped.wait(10s));
    EXPECT_EQ(stopped.exitCode(), 130);

    // Resumed: from the second part to the end, each part read to its end.
    SayProcess resumed;
    ASSERT_NO_FATAL_FAILURE(start(resumed, true));
    ASSERT_TRUE(resumed.wait(180s)) << resumed.out();
    EXPECT_EQ(resumed.exitCode(), 0) << resumed.err();
    int count = 0;
    std::vector<std::pair<int, int>> ranges;
    partsOf(stopped, count, &ranges);
    ranges.resize(1);
    const std::vector<int> parts = partsOf(resumed, count, &ranges);
    ASSERT_GE(count, expected);
    std::vector<int> fromTwo;
    for (int k = 2; k <= count; ++k) {
        fromTwo.push_back(k);
    }
    EXPECT_EQ(parts, fromTwo) << resumed.out();
    const std::vector<std::string> lines = resumed.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "100/190"), count - 1) << resumed.out();

    // Every character in one part, in order; each part within the limit and
    // ending after a full stop.
    ASSERT_EQ(ranges.size(), size_t(count));
    int next = 0;
    for (const auto& [from, to] : ranges) {
        EXPECT_EQ(from, next);
        EXPECT_LE(to - from, kLimit);
        EXPECT_EQ(whole[size_t(to) - 2], '.') << whole.substr(size_t(from), size_t(to - from));
        next = to;
    }
    EXPECT_EQ(next, int(whole.size()));

    // The words heard across the parts of both runs (the second part heard
    // again after the resume) are the document's, in order, none twice. The
    // synthesizer times a few short words with the next, so some go unlit.
    std::vector<std::string> heard = wordsHeard(stopped.lines(), "part 2/");
    const std::vector<std::string> rest = wordsHeard(resumed.lines(), "");
    heard.insert(heard.end(), rest.begin(), rest.end());
    const std::vector<std::string> written = wordsOf(whole);
    auto at = written.begin();
    for (const std::string& word : heard) {
        at = std::find(at, written.end(), word);
        ASSERT_NE(at, written.end()) << word << " heard out of order or twice";
        ++at;
    }
    EXPECT_GT(heard.size(), written.size() * 4 / 5);
    EXPECT_EQ(heard.back(), written.back());

    // Read to its end: the next resume starts from the first part.
    SayProcess again;
    ASSERT_NO_FATAL_FAILURE(start(again, true));
    ASSERT_FALSE(again.waitForOutput(std::regex("part ([0-9]+)/"), 60s).empty()) << again.out();
    again.signal(SIGINT);
    ASSERT_TRUE(again.wait(10s));
    int againCount = 0;
    EXPECT_THAT(partsOf(again, againCount), ::testing::ElementsAre(1)) << again.out();
}

} // namespace
} // namespace tolvane::test
