#include "config/ConfigStore.h"

#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/stat.h>

namespace tolvane {

namespace fs = std::filesystem;
using platform::IniFile;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// The first `units` UTF-16 units of `text`, never splitting a surrogate pair.
std::u16string_view leadingUnits(std::u16string_view text, size_t units) {
    if (text.size() <= units) {
        return text;
    }
    return text.substr(0, isHighSurrogate(text[units - 1]) ? units - 1 : units);
}

// `text` in the ANSI charset, shortened by whole characters to fit 255 bytes.
std::string fitAnsi(std::u16string_view text) {
    text = leadingUnits(text, ConfigStore::kMaxText);
    std::string ansi = platform::utf16ToAnsi(text);
    while (ansi.size() > ConfigStore::kMaxText) {
        // Every character takes at most four bytes, so this many must go.
        const size_t excess = (ansi.size() - ConfigStore::kMaxText + 3) / 4;
        size_t keep = text.size();
        for (size_t dropped = 0; dropped < excess && keep > 0; ++dropped) {
            keep -= keep >= 2 && isHighSurrogate(text[keep - 2]) ? 2 : 1;
        }
        text = text.substr(0, keep);
        ansi = platform::utf16ToAnsi(text);
    }
    return ansi;
}

std::string fitAnsi(std::string_view ansi) {
    if (ansi.size() <= ConfigStore::kMaxText) {
        return std::string(ansi);
    }
    return fitAnsi(platform::ansiToUtf16(ansi));
}

// A text key as the desktop reads it: at most 255 UTF-16 units, the default
// when missing or empty, held in the ANSI charset.
std::string readText(const std::optional<IniFile>& ini, std::string_view key,
                     std::string_view fallback) {
    const std::optional<std::string> value =
        ini ? ini->value(ConfigStore::kSection, key) : std::nullopt;
    const std::u16string text = platform::utf8ToUtf16(value.value_or(""));
    if (text.empty()) {
        return std::string(fallback);
    }
    return fitAnsi(text);
}

int readInt(const std::optional<IniFile>& ini, std::string_view key, int fallback) {
    const std::optional<std::string> value =
        ini ? ini->value(ConfigStore::kSection, key) : std::nullopt;
    return value ? IniFile::leadingInt(*value) : fallback;
}

// Creates the missing folders above `file`, private to this user as the XDG
// configuration folders are meant to be.
bool makeParents(const fs::path& file, std::string* error) {
    fs::path dir;
    for (const fs::path& part : file.parent_path()) {
        dir /= part;
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error != nullptr) {
                *error = "cannot create " + dir.string() + ": " + std::strerror(errno);
            }
            return false;
        }
    }
    return true;
}

} // namespace

ConfigStore::Lookup ConfigStore::Lookup::fromEnvironment() {
    return {environment("TOLVANE_CONFIG"), platform::executableDir(),
            environment("XDG_CONFIG_HOME"), environment("HOME")};
}

fs::path ConfigStore::locate(const Lookup& lookup) {
    std::error_code ec;
    if (!lookup.configVariable.empty()) {
        const fs::path named = fs::absolute(lookup.configVariable, ec);
        return ec ? fs::path(lookup.configVariable) : named;
    }
    const fs::path beside = lookup.executableDir / kFileName;
    if (!lookup.executableDir.empty() && fs::exists(beside, ec)) {
        return beside;
    }
    fs::path base = lookup.xdgConfigHome;
    if (!base.is_absolute()) {
        if (lookup.home.empty()) {
            return beside;
        }
        base = fs::path(lookup.home) / ".config";
    }
    return base / "tolvane" / kFileName;
}

ConfigStore::ConfigStore()
    : host_(kDefaultHost), port_(kDefaultPort), language_(kDefaultLanguage),
      baseUrl_(makeBaseUrl(kDefaultHost, kDefaultPort)), userEmail_(kDefaultUser),
      userPass_(kDefaultUser), debugTrace_(kDefaultDebugTrace) {}

void ConfigStore::locateAndRead() {
    const Lookup lookup = Lookup::fromEnvironment();
    read(locate(lookup), lookup.executableDir);
}

void ConfigStore::read(const fs::path& configPath, const fs::path& executableDir) {
    std::string problem;
    std::optional<IniFile> ini = IniFile::load(configPath, &problem);
    std::error_code ec;
    if (ini || !fs::exists(configPath, ec)) {
        problem.clear();
    }
    std::string host = readText(ini, "Tolvane_Host", kDefaultHost);
    std::string port = readText(ini, "Tolvane_Port", kDefaultPort);
    std::string language = readText(ini, "language", kDefaultLanguage);
    std::string email = readText(ini, "User_Email", kDefaultUser);
    std::string password = readText(ini, "User_Pass", kDefaultUser);
    std::string debugTrace = readText(ini, "Debug_Trace", kDefaultDebugTrace);
    const int connectTimeOut = readInt(ini, "Connect_TimeOut", kDefaultConnectTimeOut);
    const int timeOut = readInt(ini, "TimeOut", kDefaultTimeOut);
    const std::string mode = readText(ini, "Download_Mode", kDownloadFile);
    const int downloadMaxMb = readInt(ini, "Download_Max_MB", kDefaultDownloadMaxMb);
    Speech speech;
    speech.rate = readInt(ini, "Speech_Rate", Speech::kDefaultRate);
    speech.volume = readInt(ini, "Speech_Volume", Speech::kDefaultVolume);
    speech.punctuation = readInt(ini, "Speech_Punctuation", Speech::kDefaultPunctuation);
    speech.voice = readText(ini, "Speech_Voice", Speech::kDefaultVoice);
    const bool memory = mode.size() == kDownloadMemory.size() &&
                        std::equal(mode.begin(), mode.end(), kDownloadMemory.begin(),
                                   [](char a, char b) { return std::toupper(uint8_t(a)) == b; });

    std::lock_guard lock(mutex_);
    executableDir_ = executableDir;
    configPath_ = configPath;
    baseUrl_ = makeBaseUrl(host, port);
    host_ = std::move(host);
    port_ = std::move(port);
    language_ = std::move(language);
    userEmail_ = std::move(email);
    userPass_ = std::move(password);
    debugTrace_ = std::move(debugTrace);
    connectTimeOut_ = connectTimeOut;
    timeOut_ = timeOut;
    downloadMode_ = memory ? kDownloadMemory : kDownloadFile;
    downloadMaxBytes_ =
        downloadMaxMb >= 1 ? uint64_t(downloadMaxMb) * kBytesPerMb : kDefaultDownloadMaxBytes;
    readProblem_ = std::move(problem);
    speech_ = bounded(std::move(speech));
}

bool ConfigStore::writeDebugTrace(std::string_view value, std::string* error) {
    const std::string text = fitAnsi(value);
    fs::path file;
    {
        std::lock_guard lock(mutex_);
        debugTrace_ = text;
        file = configPath_;
    }
    if (file.empty()) {
        file = locate(Lookup::fromEnvironment());
    }
    return makeParents(file, error) &&
           IniFile::writeString(file, kSection, "Debug_Trace", platform::ansiToUtf8(text), error);
}

ConfigStore::Speech ConfigStore::bounded(Speech speech) {
    speech.rate = std::clamp(speech.rate, 0, Speech::kMaxLevel);
    speech.volume = std::clamp(speech.volume, 0, Speech::kMaxLevel);
    if (speech.punctuation < 0 || speech.punctuation > Speech::kMaxPunctuation) {
        speech.punctuation = Speech::kDefaultPunctuation;
    }
    speech.voice =
        speech.voice.empty() ? std::string(Speech::kDefaultVoice) : fitAnsi(speech.voice);
    return speech;
}

void ConfigStore::setSpeech(const Speech& speech) {
    Speech kept = bounded(speech);
    std::lock_guard lock(mutex_);
    speech_ = std::move(kept);
}

bool ConfigStore::writeSpeech(const Speech& speech, std::string* error) {
    const Speech kept = bounded(speech);
    fs::path file;
    {
        std::lock_guard lock(mutex_);
        speech_ = kept;
        file = configPath_;
    }
    if (file.empty()) {
        file = locate(Lookup::fromEnvironment());
    }
    if (!makeParents(file, error)) {
        return false;
    }
    const std::pair<std::string_view, std::string> values[] = {
        {"Speech_Rate", std::to_string(kept.rate)},
        {"Speech_Volume", std::to_string(kept.volume)},
        {"Speech_Punctuation", std::to_string(kept.punctuation)},
        {"Speech_Voice", platform::ansiToUtf8(kept.voice)},
    };
    for (const auto& [key, value] : values) {
        if (!IniFile::writeString(file, kSection, key, value, error)) {
            return false;
        }
    }
    return true;
}

ConfigStore::Speech ConfigStore::speech() const {
    std::lock_guard lock(mutex_);
    return speech_;
}

void ConfigStore::setServer(std::string_view host, std::string_view port) {
    std::string newHost = fitAnsi(host);
    std::string newPort = fitAnsi(port);
    std::lock_guard lock(mutex_);
    baseUrl_ = makeBaseUrl(newHost, newPort);
    host_ = std::move(newHost);
    port_ = std::move(newPort);
}

void ConfigStore::setUser(std::string_view email, std::string_view password) {
    std::string newEmail = fitAnsi(email);
    std::string newPassword = fitAnsi(password);
    std::lock_guard lock(mutex_);
    userEmail_ = std::move(newEmail);
    userPass_ = std::move(newPassword);
}

void ConfigStore::setClientIdentity(std::string_view identity) {
    std::lock_guard lock(mutex_);
    clientIdentity_ = identity;
}

std::string ConfigStore::makeBaseUrl(std::string_view host, std::string_view port) {
    return "http://" + std::string(host) + ":" + std::string(port) + "/tolvane/tolvanedoor.php";
}

fs::path ConfigStore::executableDir() const {
    std::lock_guard lock(mutex_);
    return executableDir_;
}

fs::path ConfigStore::configPath() const {
    std::lock_guard lock(mutex_);
    return configPath_;
}

std::string ConfigStore::host() const {
    std::lock_guard lock(mutex_);
    return host_;
}

std::string ConfigStore::port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

std::string ConfigStore::language() const {
    std::lock_guard lock(mutex_);
    return language_;
}

std::string ConfigStore::baseUrl() const {
    std::lock_guard lock(mutex_);
    return baseUrl_;
}

std::string ConfigStore::userEmail() const {
    std::lock_guard lock(mutex_);
    return userEmail_;
}

std::string ConfigStore::userPass() const {
    std::lock_guard lock(mutex_);
    return userPass_;
}

std::string ConfigStore::debugTrace() const {
    std::lock_guard lock(mutex_);
    return debugTrace_;
}

int ConfigStore::connectTimeOut() const {
    std::lock_guard lock(mutex_);
    return connectTimeOut_;
}

int ConfigStore::timeOut() const {
    std::lock_guard lock(mutex_);
    return timeOut_;
}

std::string ConfigStore::clientIdentity() const {
    std::lock_guard lock(mutex_);
    return clientIdentity_;
}

std::string ConfigStore::downloadMode() const {
    std::lock_guard lock(mutex_);
    return downloadMode_;
}

uint64_t ConfigStore::downloadMaxBytes() const {
    std::lock_guard lock(mutex_);
    return downloadMaxBytes_;
}

std::string ConfigStore::readProblem() const {
    std::lock_guard lock(mutex_);
    return readProblem_;
}

} // namespace tolvane
