#include "config/ConfigStore.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <vector>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

class ConfigStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        dir_ = temp_.path();
        file_ = dir_ / "config.ini";
        const char* lcAll = std::getenv("LC_ALL");
        savedLcAll_ = lcAll ? std::optional<std::string>(lcAll) : std::nullopt;
        setenv("LC_ALL", "C.UTF-8", 1);
    }
    void TearDown() override {
        savedLcAll_ ? setenv("LC_ALL", savedLcAll_->c_str(), 1) : unsetenv("LC_ALL");
    }

    void write(const std::string& bytes) { std::ofstream(file_, std::ios::binary) << bytes; }
    std::string contents() const {
        std::ifstream in(file_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void reread(ConfigStore& store) const { store.read(file_, dir_); }

    test::TempDir temp_{"config_store_test"};
    fs::path dir_;
    fs::path file_;
    std::optional<std::string> savedLcAll_;
};

void expectDefaults(const ConfigStore& store) {
    EXPECT_EQ(store.host(), "localhost");
    EXPECT_EQ(store.port(), "80");
    EXPECT_EQ(store.language(), "zh-CN");
    EXPECT_EQ(store.userEmail(), "ruvo");
    EXPECT_EQ(store.userPass(), "ruvo");
    EXPECT_EQ(store.debugTrace(), "OFF");
    EXPECT_EQ(store.connectTimeOut(), 10);
    EXPECT_EQ(store.timeOut(), 30);
    EXPECT_EQ(store.baseUrl(), "http://localhost:80/tolvane/tolvanedoor.php");
}

TEST_F(ConfigStoreTest, WithoutAFileEveryValueIsTheDefault) {
    ConfigStore store;
    reread(store);
    expectDefaults(store);
    EXPECT_EQ(store.configPath(), file_);
    EXPECT_EQ(store.executableDir(), dir_);
    EXPECT_EQ(store.readProblem(), "");

    write("[SomethingElse]\nTolvane_Host=elsewhere\nTimeOut=5\n");
    reread(store);
    expectDefaults(store);
}

TEST_F(ConfigStoreTest, ReadsEveryKeyIgnoringLetterCase) {
    write("[tolvanewin32]\r\n"
          "TOLVANE_HOST = tts.example.org \r\n"
          "tolvane_port=8080\r\n"
          "Language=en-US\r\n"
          "user_email=someone\r\n"
          "USER_PASS=secret\r\n"
          "connect_timeout=7\r\n"
          "timeout=45\r\n"
          "debug_trace=on\r\n");
    ConfigStore store;
    reread(store);
    EXPECT_EQ(store.host(), "tts.example.org");
    EXPECT_EQ(store.port(), "8080");
    EXPECT_EQ(store.language(), "en-US");
    EXPECT_EQ(store.userEmail(), "someone");
    EXPECT_EQ(store.userPass(), "secret");
    EXPECT_EQ(store.connectTimeOut(), 7);
    EXPECT_EQ(store.timeOut(), 45);
    EXPECT_EQ(store.debugTrace(), "on");
    EXPECT_EQ(store.baseUrl(), "http://tts.example.org:8080/tolvane/tolvanedoor.php");
}

TEST_F(ConfigStoreTest, EmptyValuesTakeTheirDefaults) {
    write("[TolvaneWin32]\nUser_Email=\nUser_Pass=   \nTolvane_Port=\nlanguage=fr-FR\n"
          "Connect_TimeOut=\nTimeOut=45\n");
    ConfigStore store;
    reread(store);
    EXPECT_EQ(store.userEmail(), "ruvo");
    EXPECT_EQ(store.userPass(), "ruvo");
    EXPECT_EQ(store.port(), "80");
    EXPECT_EQ(store.language(), "fr-FR"); // not validated
    EXPECT_EQ(store.connectTimeOut(), 10);
    EXPECT_EQ(store.timeOut(), 45);
    EXPECT_EQ(
        store.readNotes(),
        std::vector<std::string>{"Connect_TimeOut \"\" is not a number; using the default, 10"});
}

// Numbers beyond sense are held to a range, and a host or port that would
// make the base URL name another server gives the default; each says so.
TEST_F(ConfigStoreTest, HostileValuesAreReplacedAndNoted) {
    write("[TolvaneWin32]\nTolvane_Host=tts.example/x?\nTolvane_Port=18100@127.0.0.2\n"
          "Connect_TimeOut=-5\nTimeOut=1099511627776\nDownload_Max_MB=1e20\n");
    ConfigStore store;
    reread(store);
    EXPECT_EQ(store.baseUrl(), "http://localhost:80/tolvane/tolvanedoor.php");
    EXPECT_EQ(store.connectTimeOut(), 10);
    EXPECT_EQ(store.timeOut(), 3600);
    EXPECT_EQ(store.downloadMaxBytes(), uint64_t(2048) << 20);
    EXPECT_EQ(store.readNotes(),
              (std::vector<std::string>{
                  "Tolvane_Host \"tts.example/x?\" is not a host name or address; using the "
                  "default, localhost",
                  "Tolvane_Port \"18100@127.0.0.2\" is not a port number from 1 to 65535; using "
                  "the default, 80",
                  "Connect_TimeOut \"-5\" is less than 1; using the default, 10",
                  "TimeOut \"1099511627776\" is more than 3600; using 3600",
                  "Download_Max_MB \"1e20\" is more than 2048; using 2048"}));

    for (const auto& [written, used, noted] : {std::tuple{"-1", 30, true},
                                               {"0", 30, true},
                                               {"soon", 30, true},
                                               {"nan", 30, true},
                                               {"1e-999", 30, true},
                                               {"2.5", 2, true},
                                               {"1e999", 3600, true},
                                               {"inf", 3600, true},
                                               {"3601", 3600, true},
                                               {"3600", 3600, false},
                                               {"+7", 7, false},
                                               {"45 s", 45, false}}) {
        write(std::string("[TolvaneWin32]\nTimeOut=") + written + "\n");
        reread(store);
        EXPECT_EQ(store.timeOut(), used) << written;
        EXPECT_EQ(store.readNotes().size(), noted ? 1u : 0u) << written;
    }
    write("[TolvaneWin32]\nTolvane_Host=[::1]\nTolvane_Port=8080\n");
    reread(store);
    EXPECT_EQ(store.baseUrl(), "http://[::1]:8080/tolvane/tolvanedoor.php");
    EXPECT_TRUE(store.readNotes().empty());

    for (const char* host : {"tts.example.org", "127.0.0.1", "[fe80::1]", "my_host",
                             "b\xC3\xBC"
                             "cher.de"}) {
        EXPECT_TRUE(ConfigStore::isHostName(host)) << host;
    }
    for (const char* host : {"a b", "user@host", "host:81", "host/path", "host#", "-x", ".x",
                             "[::1", "[g::1]", "[]", ""}) {
        EXPECT_FALSE(ConfigStore::isHostName(host)) << host;
    }
    for (const char* port : {"1", "65535", "08080"}) {
        EXPECT_TRUE(ConfigStore::isPortNumber(port)) << port;
    }
    for (const char* port : {"0", "65536", "123456", "80a", "-80", "+80", "http", ""}) {
        EXPECT_FALSE(ConfigStore::isPortNumber(port)) << port;
    }
    // The options sheet's values pass the same checks; a refused pair changes nothing.
    EXPECT_FALSE(store.setServer("localhost", "18100@127.0.0.2"));
    EXPECT_FALSE(store.setServer("evil.example/", "80"));
    EXPECT_EQ(store.baseUrl(), "http://[::1]:8080/tolvane/tolvanedoor.php");
    EXPECT_TRUE(store.setServer("tts.example.org", "81"));
    EXPECT_EQ(store.baseUrl(), "http://tts.example.org:81/tolvane/tolvanedoor.php");
}

TEST_F(ConfigStoreTest, DownloadModeIsFileUnlessMemoryIsAsked) {
    ConfigStore store;
    EXPECT_EQ(store.downloadMode(), "FILE");
    for (const auto& [written, mode] : {std::pair{"MEMORY", "MEMORY"},
                                        {"memory", "MEMORY"},
                                        {" Memory ", "MEMORY"},
                                        {"FILE", "FILE"},
                                        {"memory2", "FILE"},
                                        {"", "FILE"}}) {
        write(std::string("[TolvaneWin32]\nDownload_Mode=") + written + "\n");
        reread(store);
        EXPECT_EQ(store.downloadMode(), mode) << written;
    }
}

TEST_F(ConfigStoreTest, DownloadMaxIsInMegabytesAndNeverOff) {
    ConfigStore store;
    EXPECT_EQ(store.downloadMaxBytes(), 256u << 20);
    for (const auto& [written, bytes] : {std::pair{"1", uint64_t(1) << 20},
                                         {" 1024 MB", uint64_t(1024) << 20},
                                         {"0", uint64_t(256) << 20},
                                         {"-3", uint64_t(256) << 20}}) {
        write(std::string("[TolvaneWin32]\nDownload_Max_MB=") + written + "\n");
        reread(store);
        EXPECT_EQ(store.downloadMaxBytes(), bytes) << written;
    }
}

TEST_F(ConfigStoreTest, TextsAreHeldInTheAnsiCharset) {
    write("[TolvaneWin32]\nUser_Email=\xE5\xBC\xA0\xE4\xB8\x89\nUser_Pass=caf\xC3\xA9\n");
    setenv("LC_ALL", "zh_CN.GB18030", 1);
    ConfigStore store;
    reread(store);
    EXPECT_EQ(store.userEmail(), "\xD5\xC5\xC8\xFD"); // 张三
    EXPECT_EQ(store.userPass(), "caf\xA8\xA6");
    setenv("LC_ALL", "fr_FR.ISO-8859-1", 1);
    reread(store);
    EXPECT_EQ(store.userEmail(), "??");
    EXPECT_EQ(store.userPass(), "caf\xE9");
}

TEST_F(ConfigStoreTest, LongTextsAreCutToWholeCharactersWithin255Bytes) {
    std::string chinese;
    for (int i = 0; i < 200; ++i) {
        chinese += "\xE4\xB8\xAD";
    }
    write("[TolvaneWin32]\nTolvane_Host=" + std::string(300, 'h') + "\nUser_Email=" + chinese +
          "\nUser_Pass=" + std::string(254, 'p') + "\xF0\x9F\x8E\xB5\n");
    ConfigStore store;
    reread(store);
    EXPECT_EQ(store.host(), std::string(255, 'h'));
    EXPECT_EQ(store.userEmail(), chinese.substr(0, 255)); // 85 whole characters
    EXPECT_EQ(store.userPass(), std::string(254, 'p'));
    setenv("LC_ALL", "zh_CN.GB18030", 1);
    reread(store);
    EXPECT_EQ(store.userEmail().size(), 254u); // 127 two-byte characters
    EXPECT_EQ(store.userEmail().substr(0, 2), "\xD6\xD0");

    store.setServer(std::string(300, 'x'), "1");
    EXPECT_EQ(store.host().size(), 255u);
}

TEST_F(ConfigStoreTest, OnlyDebugTraceIsWrittenBack) {
    const std::string before = "; written by hand\r\n"
                               "[TolvaneWin32]\r\n"
                               "Tolvane_Port=80\r\n"
                               "language=en-US\r\n"
                               "User_Email=someone\r\n"
                               "Connect_TimeOut=10\r\n"
                               "TimeOut=30\r\n"
                               "Debug_Trace=OFF\r\n"
                               "\r\n"
                               "[Notes]\r\n"
                               "Debug_Trace=untouched\r\n";
    write(before);
    ConfigStore store;
    reread(store);
    store.setServer("other.example", "9000");
    store.setUser("changed", "changed");
    EXPECT_EQ(store.baseUrl(), "http://other.example:9000/tolvane/tolvanedoor.php");
    std::string error;
    ASSERT_TRUE(store.writeDebugTrace("ON", &error)) << error;
    EXPECT_EQ(store.debugTrace(), "ON");
    std::string expected = before;
    expected.replace(expected.find("Debug_Trace=OFF"), 15, "Debug_Trace=ON");
    EXPECT_EQ(contents(), expected);

    ConfigStore next;

    reread(next);
    EXPECT_EQ(next.debugTrace(), "ON");
    EXPECT_EQ(next.host(), "localhost");
    EXPECT_EQ(next.userEmail(), "someone");
}

TEST_F(ConfigStoreTest, DebugTraceIsAddedWhereMissingAndKeptInMemoryWhenTheWriteFails) {
    write("[TolvaneWin32]\nUser_Email=someone\n");
    ConfigStore store;
    reread(store);
    ASSERT_TRUE(store.writeDebugTrace("ON"));
    EXPECT_EQ(contents(), "[TolvaneWin32]\nUser_Email=someone\nDebug_Trace=ON\n");

    fs::remove(file_);
    fs::create_directory(file_); // config.ini is now something no one can write as a file
    reread(store);
    EXPECT_NE(store.readProblem(), "");
    expectDefaults(store);
    std::string error;
    EXPECT_FALSE(store.writeDebugTrace("ON", &error));
    EXPECT_NE(error, "");
    EXPECT_EQ(store.debugTrace(), "ON");
}

// The speech settings: the values every reading sent before they could be
// set, read held to their ranges, written as four keys beside the others.
TEST_F(ConfigStoreTest, SpeechSettingsDefaultAreBoundedAndWrittenAsTheirOwnKeys) {
    ConfigStore store;
    reread(store);
    EXPECT_EQ(store.speech(), (ConfigStore::Speech{50, 100, 0, "VW Lily"}));

    write("[TolvaneWin32]\nspeech_rate=180\nSpeech_Volume=-4\nSpeech_Punctuation=3\n"
          "Speech_Voice=\n");
    reread(store);
    EXPECT_EQ(store.speech(), (ConfigStore::Speech{100, 0, 0, "VW Lily"}));

    const std::string before = "; mine\n[TolvaneWin32]\nUser_Email=someone\nSpeech_Rate=50\n"
                               "[Other]\nKey=1\n";
    write(before);
    reread(store);
    std::string error;
    ASSERT_TRUE(store.writeSpeech({80, 60, 2, "小林 Voice"}, &error)) << error;
    EXPECT_EQ(contents(), "; mine\n[TolvaneWin32]\nUser_Email=someone\nSpeech_Rate=80\n"
                          "Speech_Volume=60\nSpeech_Punctuation=2\nSpeech_Voice=小林 Voice\n"
                          "[Other]\nKey=1\n");
    ConfigStore next;
    reread(next);
    EXPECT_EQ(next.speech(), (ConfigStore::Speech{80, 60, 2, "小林 Voice"}));
    EXPECT_EQ(next.userEmail(), "someone");

    // In memory only, held to the ranges, the file untouched.
    const std::string written = contents();
    next.setSpeech({-1, 101, 1, ""});
    EXPECT_EQ(next.speech(), (ConfigStore::Speech{0, 100, 1, "VW Lily"}));
    EXPECT_EQ(contents(), written);
}

TEST_F(ConfigStoreTest, LooksUpTheFileInOrder) {
    const fs::path exeDir = dir_ / "bin";
    fs::create_directory(exeDir);
    ConfigStore::Lookup lookup{"", exeDir, (dir_ / "xdg").string(), (dir_ / "home").string()};
    EXPECT_EQ(ConfigStore::locate(lookup), dir_ / "xdg" / "tolvane" / "config.ini");
    lookup.xdgConfigHome = "relative/ignored";
    EXPECT_EQ(ConfigStore::locate(lookup), dir_ / "home" / ".config" / "tolvane" / "config.ini");
    std::ofstream(exeDir / "config.ini") << "[TolvaneWin32]\n";
    EXPECT_EQ(ConfigStore::locate(lookup), exeDir / "config.ini");
    lookup.configVariable = (dir_ / "named.ini").string(); // used even before it exists
    EXPECT_EQ(ConfigStore::locate(lookup), dir_ / "named.ini");
    lookup.configVariable = "relative.ini";
    EXPECT_EQ(ConfigStore::locate(lookup), fs::current_path() / "relative.ini");
}

TEST_F(ConfigStoreTest, WritingCreatesTheXdgFileWhenNoneExisted) {
    const ConfigStore::Lookup lookup{"", dir_ / "bin", (dir_ / "xdg").string(), ""};
    ConfigStore store;
    store.read(ConfigStore::locate(lookup), lookup.executableDir);
    expectDefaults(store);
    ASSERT_TRUE(store.writeDebugTrace("ON"));
    const fs::path created = dir_ / "xdg" / "tolvane" / "config.ini";
    std::ifstream in(created, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "[TolvaneWin32]\nDebug_Trace=ON\n");
    struct stat info {};
    ASSERT_EQ(stat(created.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(ConfigStoreTest, LocateAndReadFollowsTheEnvironment) {
    write("[TolvaneWin32]\nTolvane_Host=from.env\n");
    const char* saved = std::getenv("TOLVANE_CONFIG");
    const std::optional<std::string> restore =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("TOLVANE_CONFIG", file_.c_str(), 1);
    ConfigStore store;
    store.locateAndRead();
    restore ? setenv("TOLVANE_CONFIG", restore->c_str(), 1) : unsetenv("TOLVANE_CONFIG");
    EXPECT_EQ(store.host(), "from.env");
    EXPECT_EQ(store.configPath(), file_);
    EXPECT_FALSE(store.executableDir().empty());
}

TEST_F(ConfigStoreTest, WorkersSeeWholeValuesWhileTheOptionsChange) {
    ConfigStore store;
    const std::string first = ConfigStore::makeBaseUrl("localhost", "80");
    const std::string second = ConfigStore::makeBaseUrl("a-much-longer-host.example", "8080");
    std::thread worker([&] {
        for (int i = 0; i < 20000; ++i) {
            const std::string url = store.baseUrl();
            ASSERT_TRUE(url == first || url == second) << url;
        }
    });
    for (int i = 0; i < 20000; ++i) {
        i % 2 ? store.setServer("localhost", "80")
              : store.setServer("a-much-longer-host.example", "8080");
    }
    worker.join();
}

} // namespace
} // namespace tolvane
