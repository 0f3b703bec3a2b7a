#pragma once

#include "config/Pronunciations.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// The configuration values of the process, read once at start-up from section
// "TolvaneWin32" of config.ini. Text fields hold ANSI text (the locale's
// charset) of at most 255 bytes; only Debug_Trace is ever written back.
//
// Threads: the interface thread fills the store before any worker starts; later
// the options sheet may replace values while workers read them, so every field
// is guarded by mutex_ and handed out as a copy.
class ConfigStore {
  public:
    static constexpr std::string_view kSection = "TolvaneWin32";
    static constexpr std::string_view kFileName = "config.ini";
    static constexpr std::string_view kDefaultHost = "localhost";
    static constexpr std::string_view kDefaultPort = "80";
    static constexpr std::string_view kDefaultLanguage = "zh-CN";
    static constexpr std::string_view kDefaultUser = "ruvo";
    static constexpr std::string_view kDefaultDebugTrace = "OFF";
    // Download_Mode: "FILE" downloads the whole audio before playing it,
    // "MEMORY" plays it while it downloads.
    static constexpr std::string_view kDownloadFile = "FILE";
    static constexpr std::string_view kDownloadMemory = "MEMORY";
    // Download_Max_MB: the largest audio download in megabytes, far above any
    // speech, so that a faulty server cannot fill the disk or memory.
    static constexpr int kDefaultDownloadMaxMb = 256;
    static constexpr uint64_t kBytesPerMb = uint64_t(1) << 20;
    static constexpr uint64_t kDefaultDownloadMaxBytes = kDefaultDownloadMaxMb * kBytesPerMb;
    static constexpr int kDefaultConnectTimeOut = 10;
    static constexpr int kDefaultTimeOut = 30;
    // The largest Download_Max_MB, Connect_TimeOut and TimeOut taken from the
    // file; a larger value is held to these. Below 1 gives the default.
    static constexpr int kMaxDownloadMaxMb = 2048;
    static constexpr int kMaxConnectTimeOut = 300;
    static constexpr int kMaxTimeOut = 3600;
    static constexpr size_t kMaxText = 255;

    // How the speech is made: the add request's rate, volume, punctuation and
    // voice. The defaults are what every reading sent before the settings
    // could be changed, so an untouched configuration sends the same request.
    struct Speech {
        static constexpr int kDefaultRate = 50;
        static constexpr int kDefaultVolume = 100;
        static constexpr int kDefaultPunctuation = 0;
        static constexpr std::string_view kDefaultVoice = "VW Lily";
        static constexpr int kMaxLevel = 100;     // rate and volume go from 0
        static constexpr int kMaxPunctuation = 2; // 0 none, 1 all, 2 some

        int rate = kDefaultRate;
        int volume = kDefaultVolume;
        int punctuation = kDefaultPunctuation;
        std::string voice{kDefaultVoice}; // ANSI, at most 255 bytes

        bool operator==(const Speech&) const = default;
    };

    // What the lookup of config.ini depends on, so tests can supply their own.
    struct Lookup {
        std::string configVariable; // $TOLVANE_CONFIG
        std::filesystem::path executableDir;
        std::string xdgConfigHome; // $XDG_CONFIG_HOME
        std::string home;          // $HOME
        static Lookup fromEnvironment();
    };

    // The file in use: the one $TOLVANE_CONFIG names; else config.ini beside the
    // executable when it exists; else $XDG_CONFIG_HOME/tolvane/config.ini (with
    // $HOME/.config standing in for an unset or relative $XDG_CONFIG_HOME).
    static std::filesystem::path locate(const Lookup& lookup);

    ConfigStore();

    // Locates config.ini from the environment and reads it.
    void locateAndRead();
    // Reads every key from `configPath`; a missing file, section or key gives
    // the defaults. Always succeeds.
    void read(const std::filesystem::path& configPath,
              const std::filesystem::path& executableDir = {});

    // Stores `value` ("ON" or "OFF") as Debug_Trace in memory and in the file in
    // use, creating the file (and its folder) when there is none. The in-memory
    // value changes even when the file cannot be written.
    bool writeDebugTrace(std::string_view value, std::string* error = nullptr);

    // The options sheet's in-memory changes; the base URL is rebuilt from the
    // new host and port. Texts are ANSI, cut to 255 bytes. A host or port
    // that fails the checks below changes nothing and gives false.
    bool setServer(std::string_view host, std::string_view port);
    void setUser(std::string_view email, std::string_view password);
    void setClientIdentity(std::string_view identity);

    // The speech settings in memory only (tolvane-say's options). Rate and
    // volume are held to 0-100, a punctuation outside 0-2 becomes 0 and an
    // empty voice the default one; the voice is cut to 255 bytes.
    void setSpeech(const Speech& speech);
    // The same, also written to the file in use as Speech_Rate, Speech_Volume,
    // Speech_Punctuation and Speech_Voice (creating the file as
    // writeDebugTrace does); no other key of the file changes. The values in
    // memory change even when the file cannot be written.
    bool writeSpeech(const Speech& speech, std::string* error = nullptr);
    Speech speech() const;

    // The user's pronunciations, read with the configuration from
    // PronunciationFile::kFileName in the folder of the file in use (each
    // line skipped is named in readNotes()).
    std::vector<Pronunciation> pronunciations() const;
    std::filesystem::path pronunciationsPath() const;
    // Stores `rules` in memory and in that file (creating it, and its folder,
    // when there is none), keeping the file's comments; the rules in memory
    // change even when the file cannot be written.
    bool writePronunciations(std::vector<Pronunciation> rules, std::string* error = nullptr);
    // `speech` held to the ranges above.
    static Speech bounded(Speech speech);

    std::filesystem::path executableDir() const;
    std::filesystem::path configPath() const;
    std::string host() const;
    std::string port() const;
    std::string language() const;
    std::string baseUrl() const;
    std::string userEmail() const;
    std::string userPass() const;
    std::string debugTrace() const;
    int connectTimeOut() const;
    int timeOut() const;
    std::string clientIdentity() const;
    // kDownloadMemory when Download_Mode says "MEMORY" in any letter case,
    // else kDownloadFile.
    std::string downloadMode() const;
    // Download_Max_MB in bytes; the default when it is missing or below 1.
    uint64_t downloadMaxBytes() const;
    // Why an existing config.ini could not be read (empty when it was read or
    // there is none); the defaults are in use then.
    std::string readProblem() const;
    // What the last read did not take as written, one sentence each: a number
    // held to its range, or a host or port refused for the default. Empty
    // when every value stands as written.
    std::vector<std::string> readNotes() const;

    // "http://HOST:PORT/tolvane/tolvanedoor.php", host and port as they are.
    static std::string makeBaseUrl(std::string_view host, std::string_view port);
    // A host that stands in a URL as a host and nothing more: a name or IPv4
    // address of letters, digits, '-', '.', '_' and non-ASCII bytes, not
    // beginning with '-' or '.', or an IPv6 address in brackets.
    static bool isHostName(std::string_view host);
    // Decimal digits only, a number from 1 to 65535.
    static bool isPortNumber(std::string_view port);

  private:
    std::filesystem::path fileInUse() const;
    mutable std::mutex mutex_;
    std::filesystem::path executableDir_;
    std::filesystem::path configPath_;
    std::string host_;
    std::string port_;
    std::string language_;
    std::string baseUrl_;
    std::string userEmail_;
    std::string userPass_;
    std::string debugTrace_;
    int connectTimeOut_ = kDefaultConnectTimeOut;
    int timeOut_ = kDefaultTimeOut;
    std::string clientIdentity_;
    std::string downloadMode_{kDownloadFile};
    uint64_t downloadMaxBytes_ = kDefaultDownloadMaxBytes;
    std::string readProblem_;
    std::vector<std::string> readNotes_;
    Speech speech_;
    std::vector<Pronunciation> pronunciations_;
};

} // namespace tolvane
