#include "config/ConfigStore.h"

#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/SettingsFile.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
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

// The decimal number at the start of `text`, exponent included, so "1e20" is
// read as the large number it says; infinite when too large for a double.
// Nothing when the text does not begin with a number.
std::optional<double> leadingNumber(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc::invalid_argument || std::isnan(number)) {
        return std::nullopt;
    }
    if (error == std::errc::result_out_of_range) {
        const std::string_view read(text.data(), size_t(end - text.data()));
        const bool tiny = read.find("e-") != read.npos || read.find("E-") != read.npos;
        const bool negative = text.front() == '-';
        return tiny ? 0.0 : negative ? -HUGE_VAL : HUGE_VAL;
    }
    return number;
}

// A count key held to 1..`max`: no number or one below 1 gives `fallback`, a
// larger one `max`, a fraction its whole part; each of these adds a note.
int readCount(const std::optional<IniFile>& ini, std::string_view key, int fallback, int max,
              std::vector<std::string>& notes) {
    const std::optional<std::string> value =
        ini ? ini->value(ConfigStore::kSection, key) : std::nullopt;
    if (!value) {
        return fallback;
    }
    const std::string written = std::string(key) + " \"" + *value + "\" ";
    const std::string usingDefault = "; using the default, " + std::to_string(fallback);
    const std::optional<double> number = leadingNumber(*value);
    if (!number) {
        notes.push_back(written + "is not a number" + usingDefault);
        return fallback;
    }
    if (*number < 1) {
        notes.push_back(written + "is less than 1" + usingDefault);
        return fallback;
    }
    if (*number > max) {
        notes.push_back(written + "is more than " + std::to_string(max) + "; using " +
                        std::to_string(max));
        return max;
    }
    const int whole = int(*number);
    if (whole != *number) {
        notes.push_back(written + "is not a whole number; using " + std::to_string(whole));
    }
    return whole;
}

// A host or port from the file that cannot stand in the base URL gives the
// default and a note, so that it cannot name another server there.
std::string checkedServerPart(std::string value, std::string_view key, std::string_view fallback,
                              bool (*valid)(std::string_view), std::string_view what,
                              std::vector<std::string>& notes) {
    if (valid(value)) {
        return value;
    }
    notes.push_back(std::string(key) + " \"" + value + "\" is not " + std::string(what) +
                    "; using the default, " + std::string(fallback));
    return std::string(fallback);
}

fs::path besideConfig(const fs::path& configPath) {
    return configPath.parent_path() / PronunciationFile::kFileName;
}

// The rules of the pronunciations file beside `configPath`; a missing file
// has none. What is skipped is noted.
std::vector<Pronunciation> readPronunciations(const fs::path& configPath,
                                              std::vector<std::string>& notes) {
    const fs::path file = besideConfig(configPath);
    const platform::SettingsFile::Contents contents =
        platform::SettingsFile::read(file, PronunciationFile::kMaxFileBytes);
    if (contents.status != platform::SettingsFile::Status::kOk) {
        if (contents.status == platform::SettingsFile::Status::kFailed) {
            notes.push_back(contents.error + "; no pronunciations are used");
        }
        return {};
    }
    PronunciationFile::Parsed parsed = PronunciationFile::parse(contents.bytes);
    for (const std::string& problem : parsed.problems) {
        notes.push_back(file.string() + " " + problem + "; the line is skipped");
    }
    return std::move(parsed.rules);
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
    std::vector<std::string> notes;
    std::string host =
        checkedServerPart(readText(ini, "Tolvane_Host", kDefaultHost), "Tolvane_Host", kDefaultHost,
                          &isHostName, "a host name or address", notes);
    std::string port =
        checkedServerPart(readText(ini, "Tolvane_Port", kDefaultPort), "Tolvane_Port", kDefaultPort,
                          &isPortNumber, "a port number from 1 to 65535", notes);
    std::string language = readText(ini, "language", kDefaultLanguage);
    std::string email = readText(ini, "User_Email", kDefaultUser);
    std::string password = readText(ini, "User_Pass", kDefaultUser);
    std::string debugTrace = readText(ini, "Debug_Trace", kDefaultDebugTrace);
    const int connectTimeOut =
        readCount(ini, "Connect_TimeOut", kDefaultConnectTimeOut, kMaxConnectTimeOut, notes);
    const int timeOut = readCount(ini, "TimeOut", kDefaultTimeOut, kMaxTimeOut, notes);
    const std::string mode = readText(ini, "Download_Mode", kDownloadFile);
    const int downloadMaxMb =
        readCount(ini, "Download_Max_MB", kDefaultDownloadMaxMb, kMaxDownloadMaxMb, notes);
    std::vector<Pronunciation> pronunciations = readPronunciations(configPath, notes);
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
    downloadMaxBytes_ = uint64_t(downloadMaxMb) * kBytesPerMb;
    readProblem_ = std::move(problem);
    readNotes_ = std::move(notes);
    speech_ = bounded(std::move(speech));
    pronunciations_ = std::move(pronunciations);
}

bool ConfigStore::writeDebugTrace(std::string_view value, std::string* error) {
    const std::string text = fitAnsi(value);
    {
        std::lock_guard lock(mutex_);
        debugTrace_ = text;
    }
    const fs::path file = fileInUse();
    return platform::makePrivateParents(file, error) &&
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
    {
        std::lock_guard lock(mutex_);
        speech_ = kept;
    }
    const fs::path file = fileInUse();
    if (!platform::makePrivateParents(file, error)) {
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

std::vector<Pronunciation> ConfigStore::pronunciations() const {
    std::lock_guard lock(mutex_);
    return pronunciations_;
}

fs::path ConfigStore::pronunciationsPath() const {
    return besideConfig(fileInUse());
}

// The configuration file read, or without one the file a write creates
// (looked up outside the lock: it asks the file system).
fs::path ConfigStore::fileInUse() const {
    fs::path file;
    {
        std::lock_guard lock(mutex_);
        file = configPath_;
    }
    return file.empty() ? locate(Lookup::fromEnvironment()) : file;
}

bool ConfigStore::writePronunciations(std::vector<Pronunciation> rules, std::string* error) {
    const fs::path file = pronunciationsPath();
    {
        std::lock_guard lock(mutex_);
        pronunciations_ = rules;
    }
    return platform::makePrivateParents(file, error) &&
           platform::SettingsFile::rewrite(
               file, PronunciationFile::kMaxFileBytes,
               [&rules](std::string_view old, std::string*) {
                   return std::optional(PronunciationFile::merged(old, rules));
               },
               error);
}

ConfigStore::Speech ConfigStore::speech() const {
    std::lock_guard lock(mutex_);
    return speech_;
}

bool ConfigStore::setServer(std::string_view host, std::string_view port) {
    std::string newHost = fitAnsi(host);
    std::string newPort = fitAnsi(port);
    if (!isHostName(newHost) || !isPortNumber(newPort)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    baseUrl_ = makeBaseUrl(newHost, newPort);
    host_ = std::move(newHost);
    port_ = std::move(newPort);
    return true;
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

bool ConfigStore::isHostName(std::string_view host) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        const std::string_view address = host.substr(1, host.size() - 2);
        return std::all_of(address.begin(), address.end(), [&](char c) {
            return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
                   c == '.';
        });
    }
    const auto nameByte = [&](char c) {
        return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
               c == '.' || c == '_' || uint8_t(c) >= 0x80;
    };
    return !host.empty() && host.front() != '-' && host.front() != '.' &&
           std::all_of(host.begin(), host.end(), nameByte);
}

bool ConfigStore::isPortNumber(std::string_view port) {
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const int number = std::stoi(std::string(port));
    return number >= 1 && number <= 65535;
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

std::vector<std::string> ConfigStore::readNotes() const {
    std::lock_guard lock(mutex_);
    return readNotes_;
}

} // namespace tolvane
