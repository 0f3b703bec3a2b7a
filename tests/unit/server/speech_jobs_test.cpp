#include "server/Mp3Encoder.h"
#include "server/SpeechJobs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace tolvane::server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool startsWithFrame(const std::vector<uint8_t>& mp3) {
    return mp3.size() > 4 && mp3[0] == 0xFF && (mp3[1] & 0xE0) == 0xE0;
}

std::string firstFrame(const std::vector<uint8_t>& mp3) {
    return std::string(mp3.begin(), mp3.begin() + std::min<std::size_t>(mp3.size(), 400));
}

TEST(Mp3EncoderTest, FileStartsWithTheHeaderFrame) {
    const std::vector<int16_t> tone(22050, 1000);
    std::vector<uint8_t> mp3;
    std::string error;
    bool header = false;
    ASSERT_TRUE(Mp3Encoder::encode(tone, {22050, 22050, 64, -1}, mp3, error, &header)) << error;
    EXPECT_TRUE(header);
    EXPECT_TRUE(startsWithFrame(mp3));
    EXPECT_NE(firstFrame(mp3).find("Info"), std::string::npos);
    ASSERT_TRUE(Mp3Encoder::encode(tone, {22050, 22050, 64, 4}, mp3, error, &header)) << error;
    EXPECT_NE(firstFrame(mp3).find("Xing"), std::string::npos);
    ASSERT_TRUE(Mp3Encoder::encode(tone, {22050, 44100, 128, -1}, mp3, error, &header)) << error;
    EXPECT_EQ(mp3[1] & 0x18, 0x18) << "MPEG-1 frames at 44.1 kHz";
    ASSERT_TRUE(Mp3Encoder::encode(tone, {22050, 22050, 48, -1}, mp3, error, &header)) << error;
    EXPECT_FALSE(header) << "48 kbit/s frames at 22.05 kHz are too small for the header";
    EXPECT_FALSE(Mp3Encoder::encode(tone, {22050, 22050, 1000, -1}, mp3, error, &header));
    EXPECT_EQ(error,
              "LAME cannot make MP3 at 22050 Hz at 1000 kbit/s (nearest: 22050 Hz at 160 kbit/s)");
    EXPECT_FALSE(Mp3Encoder::encode(tone, {22050, 7000, 64, -1}, mp3, error, &header));
}

class SpeechJobsTest : public ::testing::Test {
  protected:
    SpeechJobs::Settings settings(int kept) {
        SpeechJobs::Settings s;
        s.dataDir = dir_;
        s.workers = 1;
        s.keptJobs = kept;
        s.fileExpiry = 60s;
        return s;
    }
    SpeechJobs::Request request(const std::string& text, int user = 1) {
        SpeechJobs::Request r;
        r.userId = user;
        r.text = text;
        return r;
    }
    std::string waitDone(SpeechJobs& jobs, const std::string& uuid) {
        for (int i = 0; i < 400; ++i) {
            const auto status = jobs.status(uuid, 1);
            if (!status || (status->ttsStatus != "wait" && status->ttsStatus != "ttsing")) {
                return status ? status->ttsStatus : "gone";
            }
            std::this_thread::sleep_for(25ms);
        }
        return "timeout";
    }

    fs::path dir_ = fs::temp_directory_path() / ("tolvane-jobs-test-" + std::to_string(::getpid()));
    SpeechJobs::Clock::time_point now_ = SpeechJobs::Clock::now();
};

TEST_F(SpeechJobsTest, FinishedJobsExpireAndTheOldestMakeRoom) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "00000000-0000-4000-8000-000000000000.mp3") << "left over";
    std::ofstream(dir_ / "keep.txt") << "not ours";
    {
        SpeechJobs jobs(settings(2), [this] { return now_; });
        std::string error;
        ASSERT_TRUE(jobs.start(error)) << error;
        EXPECT_FALSE(fs::exists(dir_ / "00000000-0000-4000-8000-000000000000.mp3"));
        EXPECT_TRUE(fs::exists(dir_ / "keep.txt"));

        std::vector<std::string> uuids(3);
        for (std::string& uuid : uuids) {
            ASSERT_EQ(jobs.add(request("One two three."), uuid), SpeechJobs::Added::Ok);
            EXPECT_EQ(waitDone(jobs, uuid), "ttsed");
        }
        EXPECT_FALSE(jobs.status(uuids[0], 1)) << "the oldest of three went for kept_jobs 2";
        EXPECT_FALSE(fs::exists(dir_ / SpeechJobs::fileName(uuids[0])));
        EXPECT_FALSE(jobs.status(uuids[1], 2)) << "another user's job is unknown";
        ASSERT_TRUE(jobs.openAudio(uuids[1]));
        const auto held = jobs.openAudio(uuids[2]);
        ASSERT_TRUE(held);

        now_ += 59s;
        jobs.expire();
        EXPECT_TRUE(jobs.status(uuids[1], 1));
        now_ += 1s;
        jobs.expire();
        EXPECT_FALSE(jobs.status(uuids[1], 1));
        EXPECT_FALSE(jobs.openAudio(uuids[2]));
        EXPECT_FALSE(fs::exists(dir_ / SpeechJobs::fileName(uuids[2])));
        char byte = 0;
        EXPECT_EQ(::pread(*held->fd, &byte, 1, 0), 1) << "an open file stays readable";

        std::string late;
        jobs.stop();
        EXPECT_EQ(jobs.add(request("Too late."), late), SpeechJobs::Added::Stopping);
    }
    EXPECT_TRUE(fs::exists(dir_ / "keep.txt"));
    fs::remove_all(dir_);
}

TEST_F(SpeechJobsTest, SpeechPastTheLimitFailsTheJobWithItsReason) {
    SpeechJobs::Settings s = settings(10);
    s.dataDir.clear();
    s.maxSpeechSeconds = 1;
    SpeechJobs jobs(s);
    std::string error;
    ASSERT_TRUE(jobs.start(error)) << error;
    const fs::path temporary = jobs.dataDir();
    EXPECT_TRUE(fs::is_directory(temporary));
    std::string uuid;
    ASSERT_EQ(
        jobs.add(request("This sentence takes far longer than one second to say aloud."), uuid),
        SpeechJobs::Added::Ok);
    EXPECT_EQ(waitDone(jobs, uuid), "failed");
    EXPECT_EQ(jobs.status(uuid, 1)->failure, "speech longer than 1 seconds");
    jobs.stop();
    EXPECT_FALSE(fs::exists(temporary)) << "the temporary folder goes with the server";
}

} // namespace
} // namespace tolvane::server
