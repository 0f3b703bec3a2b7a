// `cmake --install` into a fresh prefix, then the result as a desktop sees it:
// the files where the desktop looks for them, with sane modes; the desktop
// entry and metainfo accepted by their validators; manual pages that format
// without warnings and name every option the programs' --help lists; and the
// installed client and server working from the prefix alone, the client
// finding its configuration only in the user's XDG configuration folder.
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sys/stat.h>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAreArray;

const std::vector<std::string> kPrograms = {"tolvane", "tolvane-play", "tolvane-say",
                                            "tolvane-server"};

class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        prefix_ = new TempDir("tolvane-install");
        installResult_ =
            new RunResult(run(TOLVANE_CMAKE_COMMAND, {"--install", ::tolvane::test::binaryDir(),
                                                      "--prefix", prefix_->path().string()}));
    }
    static void TearDownTestSuite() {
        delete installResult_;
        delete prefix_;
    }
    void SetUp() override {
        ASSERT_EQ(installResult_->exitCode, 0) << installResult_->out << installResult_->err;
    }

    static fs::path path(const std::string& relative) { return prefix_->path() / relative; }

    // A program found on PATH, run to its end.
    static RunResult tool(const std::string& program, const std::vector<std::string>& args) {
        return run(program, args, {.searchPath = true}, 60s);
    }

    static TempDir* prefix_;
    static RunResult* installResult_;
};

TempDir* Installed::prefix_ = nullptr;
RunResult* Installed::installResult_ = nullptr;

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Width and height from a PNG file's header, or {0, 0} when it is not a PNG.
std::pair<uint32_t, uint32_t> pngSize(const fs::path& file) {
    const std::string bytes = readFile(file);
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
        bytes.compare(12, 4, "IHDR") != 0) {
        return {0, 0};
    }
    const auto big = [&](size_t at) {
        uint32_t value = 0;
        for (size_t i = 0; i < 4; ++i) {
            value = value << 8 | uint8_t(bytes[at + i]);
        }
        return value;
    };
    return {big(16), big(20)};
}

TEST_F(Installed, PutsEachFileWhereTheDesktopLooksWithSaneModes) {
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(prefix_->path())) {
        struct stat st {};
        ASSERT_EQ(lstat(entry.path().c_str(), &st), 0) << entry.path();
        const std::string name = fs::relative(entry.path(), prefix_->path()).string();
        const unsigned mode = st.st_mode & 07777;
        EXPECT_EQ(mode & 022, 0u) << name << " is writable by others";
        if (S_ISREG(st.st_mode)) {
            const bool program = name.starts_with("bin/");
            EXPECT_EQ(mode, program ? 0755u : 0644u) << name;
            files.push_back(name);
        } else {
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << name << " is neither a file nor a folder";
        }
    }
    std::sort(files.begin(), files.end());
    EXPECT_THAT(files, ElementsAreArray({
                           "bin/tolvane",
                           "bin/tolvane-play",
                           "bin/tolvane-say",
                           "bin/tolvane-server",
                           "share/applications/tolvane.desktop",
                           "share/icons/hicolor/128x128/apps/tolvane.png",
                           "share/icons/hicolor/256x256/apps/tolvane.png",
                           "share/icons/hicolor/48x48/apps/tolvane.png",
                           "share/icons/hicolor/scalable/apps/tolvane.svg",
                           "share/man/man1/tolvane-play.1",
                           "share/man/man1/tolvane-say.1",
                           "share/man/man1/tolvane-server.1",
                           "share/man/man1/tolvane.1",
                           "share/metainfo/org.example.tolvane.metainfo.xml",
                           "share/tolvane/nginx/tolvane.conf",
                           "share/tolvane/redis/tolvane.conf",
                           "share/tolvane/server-demo.ini",
                           "share/tolvane/server/feeds/tolvane-jianxun.xml",
                           "share/tolvane/server/feeds/tolvane-notes.xml",
                           "share/tolvane/systemd/tolvane-server-web@.service",
                           "share/tolvane/systemd/tolvane-server-worker@.service",
                       }));
    // The units start the server installed under this prefix.
    for (const std::string role : {"web", "worker"}) {
        EXPECT_THAT(readFile(path("share/tolvane/systemd/tolvane-server-" + role + "@.service")),
                    ::testing::HasSubstr("\nExecStart=" + path("bin/tolvane-server").string() +
                                         " --config %d/server.ini --role " + role + " "))
            << role;
    }
    for (const uint32_t size : {48u, 128u, 256u}) {
        const std::string dir = std::to_string(size) + "x" + std::to_string(size);
        EXPECT_EQ(pngSize(path("share/icons/hicolor/" + dir + "/apps/tolvane.png")),
                  std::make_pair(size, size))
            << dir;
    }
    EXPECT_EQ(readFile(path("share/icons/hicolor/scalable/apps/tolvane.svg")),
              readFile(::tolvane::test::sourceDir() + "/resources/icons/tolvane.svg"));
}

TEST_F(Installed, DesktopEntryAndMetainfoPassTheirValidators) {
    const fs::path desktop = path("share/applications/tolvane.desktop");
    const RunResult entry = tool("desktop-file-validate", {desktop.string()});
    EXPECT_EQ(entry.exitCode, 0) << entry.out << entry.err;
    EXPECT_EQ(entry.out + entry.err, "");
    // The entry starts the installed program, with the file a desktop opens
    // with it, and shows the installed icon.
    const std::string text = readFile(desktop);
    EXPECT_THAT(text, ::testing::ContainsRegex("\nExec=tolvane %f\n"));
    // It opens documents of every kind the client reads.
    for (const char* type :
         {"text/plain", "text/html", "application/pdf", "application/epub+zip",
          "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
          "application/vnd.oasis.opendocument.text"}) {
        const std::string escaped = std::regex_replace(type, std::regex("[+.]"), "\\$&");
        EXPECT_THAT(text, ::testing::ContainsRegex("\nMimeType=([^\n]*;)?" + escaped + ";"))
            << type;
    }
    EXPECT_THAT(text, ::testing::ContainsRegex("\nIcon=tolvane\n"));
    // Its actions read through the same program (the options are checked below).
    EXPECT_THAT(text, ::testing::ContainsRegex("\nActions=read-clipboard;read-selection;\n"));
    EXPECT_THAT(text, ::testing::ContainsRegex("\nExec=tolvane --read-clipboard\n"));
    EXPECT_THAT(text, ::testing::ContainsRegex("\nExec=tolvane --read-selection\n"));

    const fs::path metainfo = path("share/metainfo/org.example.tolvane.metainfo.xml");
    const RunResult file = tool("appstreamcli", {"validate", "--no-net", metainfo.string()});
    EXPECT_EQ(file.exitCode, 0) << file.out << file.err;
    // The tree check also finds the desktop entry the metainfo launches.
    const RunResult tree =
        tool("appstreamcli", {"validate-tree", "--no-net", prefix_->path().string()});
    EXPECT_EQ(tree.exitCode, 0) << tree.out << tree.err;
    EXPECT_THAT(readFile(metainfo),
                ::testing::ContainsRegex("<screenshot type=\"default\">\\s*<caption>[^<]+</"
                                         "caption>\\s*<image>https://[^<]+\\.png</image>"));
}

// The options a program's --help names ("--config", "--eq-gains", ...).
std::set<std::string> helpOptions(const std::string& text) {
    std::set<std::string> options;
    const std::regex option("--[a-z0-9][a-z0-9-]*");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    return options;
}

TEST_F(Installed, ManualPagesFormatCleanlyAndNameEveryOption) {
    for (const std::string& program : kPrograms) {
        const std::string page = path("share/man/man1/" + program + ".1").string();
        const RunResult check = tool("groff", {"-man", "-Tutf8", "-ww", "-z", page});
        EXPECT_EQ(check.exitCode, 0) << program << check.err;
        EXPECT_EQ(check.err, "") << program;
        // As plain text, one long line per paragraph, without hyphenation.
        const RunResult shown =
            tool("groff", {"-man", "-Tascii", "-P-cbou", "-rLL=300n", "-rHY=0", page});
        ASSERT_EQ(shown.exitCode, 0) << program << shown.err;
        EXPECT_THAT(shown.out, ::testing::HasSubstr("NAME\n       " + program + " - "));
        if (program == "tolvane") {
            EXPECT_THAT(shown.out, ::testing::HasSubstr("$XDG_CONFIG_HOME/tolvane/config.ini"));
        }
        // The client needs a display platform even for its help.
        const RunResult help = run(path("bin/" + program).string(), {"--help"},
                                   {.env = {"QT_QPA_PLATFORM=offscreen"}});
        ASSERT_EQ(help.exitCode, 0) << program << help.err;
        const std::set<std::string> options = helpOptions(help.out);
        EXPECT_GE(options.size(), 3u) << program << help.out;
        for (const std::string& option : options) {
            EXPECT_THAT(shown.out, ::testing::HasSubstr(option)) << program << " " << page;
        }
    }
}

// Waits until `child`'s output holds `needle` `count` times.
bool waitForCount(const ChildProcess& child, const std::string& needle, size_t count) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
        const std::string out = child.out();
        size_t found = 0;
        for (size_t at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1)) {
            ++found;
        }
        if (found >= count) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// The installed server with the installed demo configuration; the installed
// client with no TOLVANE_CONFIG and no file beside it, once with
// XDG_CONFIG_HOME naming the folder and once with only HOME. It logs in (so
// it read that file) and a SIGTERM closes its window and ends it cleanly.
TEST_F(Installed, ClientStartsWithOnlyAnXdgConfiguration) {
    ChildProcess server;
    std::string error;
    ASSERT_TRUE(
        server.start(path("bin/tolvane-server").string(),
                     {"--config", path("share/tolvane/server-demo.ini").string(), "--port", "0"},
                     error, {.mergeStderr = true}))
        << error;
    const std::vector<std::string> listening =
        server.waitForOutput(std::regex("listening on http://127.0.0.1:([0-9]+)/\\S+ "
                                        "\\(1 users, 2 feeds"),
                             30s);
    ASSERT_EQ(listening.size(), 2u) << server.out();

    const std::string login = "\"POST /tolvane/userverify\" 200";
    size_t logins = 0;
    for (const bool viaHome : {false, true}) {
        TempDir user("tolvane-user");
        const fs::path home = user.path() / "home";
        const fs::path configHome = viaHome ? home / ".config" : user.path() / "xdg";
        fs::create_directories(configHome / "tolvane");
        std::ofstream(configHome / "tolvane" / "config.ini")
            << "[TolvaneWin32]\nTolvane_Host=127.0.0.1\nTolvane_Port=" << listening[1]
            << "\nUser_Email=demo@tolvane.local\nUser_Pass=demo\nlanguage=en-US\n";
        fs::create_directory(user.path() / "run");
        fs::permissions(user.path() / "run", fs::perms::owner_all);
        const std::vector<std::string> env{"HOME=" + home.string(),
                                           "XDG_CONFIG_HOME=" +
                                               (viaHome ? std::string() : configHome.string()),
                                           "XDG_RUNTIME_DIR=" + (user.path() / "run").string(),
                                           "TOLVANE_CONFIG=", "QT_QPA_PLATFORM=offscreen"};
        ChildProcess client;
        ASSERT_TRUE(client.start(path("bin/tolvane").string(), {}, error, {.env = env})) << error;
        EXPECT_TRUE(waitForCount(server, login, ++logins))
            << (viaHome ? "HOME" : "XDG_CONFIG_HOME") << ": " << server.out() << client.err();
        ASSERT_TRUE(client.signal(SIGTERM));
        ASSERT_TRUE(client.wait(10s)) << client.err();
        EXPECT_EQ(client.exitCode(), 0) << client.err();
    }
    EXPECT_FALSE(fs::exists(path("bin/config.ini")));
    ASSERT_TRUE(server.signal(SIGTERM));
    ASSERT_TRUE(server.wait(30s));
    EXPECT_EQ(server.exitCode(), 0) << server.out();
}

} // namespace
} // namespace tolvane::test
