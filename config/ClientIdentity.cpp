#include "config/ClientIdentity.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/utsname.h>
#include <tuple>
#include <unistd.h>

namespace tolvane {

namespace {

struct LanguageName {
    uint16_t langId;
    std::string_view name;
};

// Sorted by LANGID; the blanks inside the names are part of the names.
constexpr std::array<LanguageName, 105> kLanguageNames = {{
    {0x0401, "Arabic  (Saudi   Arabia)"},
    {0x0402, "Bulgarian"},
    {0x0403, "Catalan"},
    {0x0404, "Chinese  (Taiwan   Region)"},
    {0x0405, "Czech"},
    {0x0406, "Danish"},
    {0x0407, "German  (Standard)"},
    {0x0408, "Greek"},
    {0x0409, "English  (United   States)"},
    {0x040A, "Spanish  (Traditional  Sort)"},
    {0x040B, "Finnish"},
    {0x040C, "French  (Standard)"},
    {0x040D, "Hebrew"},
    {0x040E, "Hungarian"},
    {0x040F, "Icelandic"},
    {0x0410, "Italian  (Standard)"},
    {0x0411, "Japanese"},
    {0x0412, "Korean"},
    {0x0413, "Dutch  (Standard)"},
    {0x0414, "Norwegian  (Bokmal)"},
    {0x0415, "Polish"},
    {0x0416, "Portuguese  (Brazilian)"},
    {0x0418, "Romanian"},
    {0x0419, "Russian"},
    {0x041A, "Croatian"},
    {0x041B, "Slovak"},
    {0x041C, "Albanian"},
    {0x041D, "Swedish"},
    {0x041E, "Thai"},
    {0x041F, "Turkish"},
    {0x0421, "Indonesian"},
    {0x0422, "Ukrainian"},
    {0x0423, "Belarusian"},
    {0x0424, "Slovenian"},
    {0x0425, "Estonian"},
    {0x0426, "Latvian"},
    {0x0427, "Lithuanian"},
    {0x0429, "Farsi"},
    {0x042A, "Vietnamese"},
    {0x042D, "Basque"},
    {0x0436, "Afrikaans"},
    {0x0438, "Faeroese"},
    {0x0801, "Arabic  (Iraq)"},
    {0x0804, "Chinese  (PRC)"},
    {0x0807, "German  (Swiss)"},
    {0x0809, "English  (United   Kingdom)"},
    {0x080A, "Spanish  (Mexican)"},
    {0x080C, "French  (Belgian)"},
    {0x0810, "Italian  (Swiss)"},
    {0x0812, "Korean  (Johab)"},
    {0x0813, "Dutch  (Belgian)"},
    {0x0814, "Norwegian  (Nynorsk)"},
    {0x0816, "Portuguese  (Standard)"},
    {0x081A, "Serbian  (Latin)"},
    {0x081D, "Swedish  (Finland)"},
    {0x0C01, "Arabic  (Egypt)"},
    {0x0C04, "Chinese  (Hong   Kong   SAR,   PRC)"},
    {0x0C07, "German  (Austrian)"},
    {0x0C09, "English  (Australian)"},
    {0x0C0A, "Spanish  (Modern  Sort)"},
    {0x0C0C, "French  (Canadian)"},
    {0x0C1A, "Serbian  (Cyrillic)"},
    {0x1001, "Arabic  (Libya)"},
    {0x1004, " Chinese  (Singapore)"},
    {0x1007, "German  (Luxembourg)"},
    {0x1009, "English  (Canadian)"},
    {0x100A, "Spanish  (Guatemala)"},
    {0x100C, "French  (Swiss)"},
    {0x1401, "Arabic  (Algeria)"},
    {0x1407, "German  (Liechtenstein)"},
    {0x1409, "English  (New  Zealand)"},
    {0x140A, "Spanish  (Costa  Rica)"},
    {0x140C, "French  (Luxembourg)"},
    {0x1801, "Arabic  (Morocco)"},
    {0x1809, "English  (Ireland)"},
    {0x180A, "Spanish  (Panama)"},
    {0x1C01, " Arabic  (Tunisia)"},
    {0x1C09, "English  (South  Africa)"},
    {0x1C0A, "Spanish  (Dominican  Republic)"},
    {0x2001, "Arabic  (Oman)"},
    {0x2009, "English  (Jamaica)"},
    {0x200A, "Spanish  (Venezuela)"},
    {0x2401, "Arabic  (Yemen)"},
    {0x2409, "English  (Caribbean)"},
    {0x240A, "Spanish  (Colombia)"},
    {0x2801, "Arabic  (Syria)"},
    {0x2809, "English  (Belize) "},
    {0x280A, "Spanish  (Peru)"},
    {0x2C01, "Arabic  (Jordan)"},
    {0x2C09, "English  (Trinidad) "},
    {0x2C0A, "Spanish  (Argentina)"},
    {0x3001, "Arabic  (Lebanon)"},
    {0x300A, "Spanish  (Ecuador)"},
    {0x3401, "Arabic  (Kuwait)"},
    {0x340A, "Spanish  (Chile)"},
    {0x3801, "Arabic  (U.A.E.)"},
    {0x380A, "Spanish  (Uruguay)"},
    {0x3C01, "Arabic  (Bahrain)"},
    {0x3C0A, "Spanish  (Paraguay)"},
    {0x4001, " Arabic  (Qatar)"},
    {0x400A, "Spanish  (Bolivia)"},
    {0x440A, "Spanish  (El  Salvador)"},
    {0x480A, "Spanish  (Honduras)"},
    {0x4C0A, "Spanish  (Nicaragua)"},
    {0x500A, "Spanish  (Puerto  Rico)"},
}};

struct LocaleLangId {
    std::string_view locale;
    uint16_t langId;
};

// Locale names (language_REGION, with a modifier where it picks the script) of
// every LANGID above that a locale can name; sorted by name.
constexpr std::array<LocaleLangId, 107> kLocaleLangIds = {{
    {"af_ZA", 0x0436},       {"ar_AE", 0x3801}, {"ar_BH", 0x3C01},       {"ar_DZ", 0x1401},
    {"ar_EG", 0x0C01},       {"ar_IQ", 0x0801}, {"ar_JO", 0x2C01},       {"ar_KW", 0x3401},
    {"ar_LB", 0x3001},       {"ar_LY", 0x1001}, {"ar_MA", 0x1801},       {"ar_OM", 0x2001},
    {"ar_QA", 0x4001},       {"ar_SA", 0x0401}, {"ar_SY", 0x2801},       {"ar_TN", 0x1C01},
    {"ar_YE", 0x2401},       {"be_BY", 0x0423}, {"bg_BG", 0x0402},       {"ca_ES", 0x0403},
    {"cs_CZ", 0x0405},       {"da_DK", 0x0406}, {"de_AT", 0x0C07},       {"de_CH", 0x0807},
    {"de_DE", 0x0407},       {"de_LI", 0x1407}, {"de_LU", 0x1007},       {"el_GR", 0x0408},
    {"en_AU", 0x0C09},       {"en_BZ", 0x2809}, {"en_CA", 0x1009},       {"en_GB", 0x0809},
    {"en_IE", 0x1809},       {"en_JM", 0x2009}, {"en_NZ", 0x1409},       {"en_TT", 0x2C09},
    {"en_US", 0x0409},       {"en_ZA", 0x1C09}, {"es_AR", 0x2C0A},       {"es_BO", 0x400A},
    {"es_CL", 0x340A},       {"es_CO", 0x240A}, {"es_CR", 0x140A},       {"es_DO", 0x1C0A},
    {"es_EC", 0x300A},       {"es_ES", 0x0C0A}, {"es_GT", 0x100A},       {"es_HN", 0x480A},
    {"es_MX", 0x080A},       {"es_NI", 0x4C0A}, {"es_PA", 0x180A},       {"es_PE", 0x280A},
    {"es_PR", 0x500A},       {"es_PY", 0x3C0A}, {"es_SV", 0x440A},       {"es_UY", 0x380A},
    {"es_VE", 0x200A},       {"et_EE", 0x0425}, {"eu_ES", 0x042D},       {"fa_IR", 0x0429},
    {"fi_FI", 0x040B},       {"fo_FO", 0x0438}, {"fr_BE", 0x080C},       {"fr_CA", 0x0C0C},
    {"fr_CH", 0x100C},       {"fr_FR", 0x040C}, {"fr_LU", 0x140C},       {"he_IL", 0x040D},
    {"hr_HR", 0x041A},       {"hu_HU", 0x040E}, {"id_ID", 0x0421},       {"in_ID", 0x0421},
    {"is_IS", 0x040F},       {"it_CH", 0x0810}, {"it_IT", 0x0410},       {"iw_IL", 0x040D},
    {"ja_JP", 0x0411},       {"ko_KR", 0x0412}, {"lt_LT", 0x0427},       {"lv_LV", 0x0426},
    {"nb_NO", 0x0414},       {"nl_BE", 0x0813}, {"nl_NL", 0x0413},       {"nn_NO", 0x0814},
    {"no_NO", 0x0414},       {"pl_PL", 0x0415}, {"pt_BR", 0x0416},       {"pt_PT", 0x0816},
    {"ro_RO", 0x0418},       {"ru_RU", 0x0419}, {"sk_SK", 0x041B},       {"sl_SI", 0x0424},
    {"sq_AL", 0x041C},       {"sr_CS", 0x0C1A}, {"sr_CS@latin", 0x081A}, {"sr_RS", 0x0C1A},
    {"sr_RS@latin", 0x081A}, {"sv_FI", 0x081D}, {"sv_SE", 0x041D},       {"th_TH", 0x041E},
    {"tr_TR", 0x041F},       {"uk_UA", 0x0422}, {"vi_VN", 0x042A},       {"zh_CN", 0x0804},
    {"zh_HK", 0x0C04},       {"zh_SG", 0x1004}, {"zh_TW", 0x0404},
}};

constexpr uint16_t kUsEnglish = 0x0409;
constexpr uint16_t kPrimaryLanguageMask = 0x03FF;

std::optional<uint16_t> findLocale(std::string_view name) {
    const auto it = std::lower_bound(
        kLocaleLangIds.begin(), kLocaleLangIds.end(), name,
        [](const LocaleLangId& entry, std::string_view key) { return entry.locale < key; });
    if (it == kLocaleLangIds.end() || it->locale != name) {
        return std::nullopt;
    }
    return it->langId;
}

// The primary language of the first locale of `language`, with sublanguage 0.
uint16_t primaryLanguageOf(std::string_view language) {
    for (const LocaleLangId& entry : kLocaleLangIds) {
        const std::string_view entryLanguage = entry.locale.substr(0, entry.locale.find('_'));
        if (entryLanguage == language) {
            return entry.langId & kPrimaryLanguageMask;
        }
    }
    return 0;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int32_t leadingNumber(std::string_view text, size_t& position) {
    int64_t number = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
        number = std::min<int64_t>(number * 10 + (text[position] - '0'), INT32_MAX);
        ++position;
    }
    return static_cast<int32_t>(number);
}

} // namespace

SystemValues ClientIdentity::systemValues(int32_t screenWidth, int32_t screenHeight) {
    SystemValues values;
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    values.processorCount = processors > 0 ? static_cast<uint32_t>(processors) : 1;
    values.processorType = processorType();
    struct utsname system {};
    if (uname(&system) == 0) {
        std::tie(values.majorVersion, values.minorVersion) = kernelVersion(system.release);
    }
    values.langId = systemLangId();
    values.screenWidth = screenWidth;
    values.screenHeight = screenHeight;
    return values;
}

std::string ClientIdentity::format(const SystemValues& values) {
    const std::string name(languageName(values.langId));
    char line[512];
    std::snprintf(
        line, sizeof line,
        "win32[CPU Number:%u; CPU Type: %u; Windows %d.%d; %s, Width:%d,Height:%d]",
        static_cast<unsigned>(values.processorCount), static_cast<unsigned>(values.processorType),
        static_cast<int>(values.majorVersion), static_cast<int>(values.minorVersion), name.c_str(),
        static_cast<int>(values.screenWidth), static_cast<int>(values.screenHeight));
    return line;
}

std::string_view ClientIdentity::languageName(uint16_t langId) {
    const auto it = std::lower_bound(
        kLanguageNames.begin(), kLanguageNames.end(), langId,
        [](const LanguageName& entry, uint16_t key) { return entry.langId < key; });
    return it != kLanguageNames.end() && it->langId == langId ? it->name : std::string_view();
}

uint16_t ClientIdentity::langIdOfLocale(std::string_view locale) {
    const std::string_view modifier =
        locale.find('@') == std::string_view::npos ? "" : locale.substr(locale.find('@'));
    const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") {
        return kUsEnglish;
    }
    if (const auto found = findLocale(std::string(name) + std::string(modifier))) {
        return *found;
    }
    if (const auto found = findLocale(name)) {
        return *found;
    }
    return primaryLanguageOf(name.substr(0, name.find('_')));
}

uint16_t ClientIdentity::systemLangId() {
    std::string locale = environment("LC_ALL");
    if (locale.empty()) {
        locale = environment("LANG");
    }
    return langIdOfLocale(locale);
}

std::pair<int32_t, int32_t> ClientIdentity::kernelVersion(std::string_view release) {
    size_t position = 0;
    const int32_t major = leadingNumber(release, position);
    if (position >= release.size() || release[position] != '.') {
        return {major, 0};
    }
    ++position;
    return {major, leadingNumber(release, position)};
}

uint32_t ClientIdentity::processorType() {
#if defined(__x86_64__)
    return 8664;
#elif defined(__i386__)
    return 586;
#elif defined(__aarch64__)
    return 43620;
#else
    return 0;
#endif
}

} // namespace tolvane
