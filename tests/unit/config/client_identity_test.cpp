#include "config/ClientIdentity.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sys/utsname.h>
#include <unistd.h>

namespace tolvane {
namespace {

SystemValues example(uint16_t langId) {
    return {2, 586, 5, 1, langId, 1024, 768};
}

TEST(ClientIdentity, FormatsTheDescriptionLineExactly) {
    EXPECT_EQ(ClientIdentity::format(example(0x0804)),
              "win32[CPU Number:2; CPU Type: 586; Windows 5.1; Chinese  (PRC), "
              "Width:1024,Height:768]");
    EXPECT_EQ(ClientIdentity::format(example(0x1004)),
              "win32[CPU Number:2; CPU Type: 586; Windows 5.1;  Chinese  (Singapore), "
              "Width:1024,Height:768]");
    EXPECT_EQ(ClientIdentity::format({16, 8664, 6, 12, 0x0417, 0, 0}),
              "win32[CPU Number:16; CPU Type: 8664; Windows 6.12; , Width:0,Height:0]");
}

TEST(ClientIdentity, LanguageNamesKeepTheirBlanks) {
    EXPECT_EQ(ClientIdentity::languageName(0x0409), "English  (United   States)");
    EXPECT_EQ(ClientIdentity::languageName(0x0C04), "Chinese  (Hong   Kong   SAR,   PRC)");
    EXPECT_EQ(ClientIdentity::languageName(0x1C01), " Arabic  (Tunisia)");
    EXPECT_EQ(ClientIdentity::languageName(0x4001), " Arabic  (Qatar)");
    EXPECT_EQ(ClientIdentity::languageName(0x2809), "English  (Belize) ");
    EXPECT_EQ(ClientIdentity::languageName(0x2C09), "English  (Trinidad) ");
    EXPECT_EQ(ClientIdentity::languageName(0x0401), "Arabic  (Saudi   Arabia)");
    EXPECT_EQ(ClientIdentity::languageName(0x500A), "Spanish  (Puerto  Rico)");
    // Only an exact 16-bit match names a language: no fallback by primary language.
    for (const uint16_t unknown : {0x0417, 0x0000, 0x0004, 0x0009, 0x0809 | 0x8000, 0xFFFF}) {
        EXPECT_EQ(ClientIdentity::languageName(static_cast<uint16_t>(unknown)), "") << unknown;
    }
}

TEST(ClientIdentity, TheTableNamesOneHundredAndFiveLanguages) {
    std::set<std::string_view> names;
    int named = 0;
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
        const std::string_view name = ClientIdentity::languageName(static_cast<uint16_t>(id));
        if (!name.empty()) {
            ++named;
            names.insert(name);
        }
    }
    EXPECT_EQ(named, 105);
    EXPECT_EQ(names.size(), 105u);
}

TEST(ClientIdentity, LocalesGiveTheirLangIds) {
    EXPECT_EQ(ClientIdentity::langIdOfLocale("zh_CN.UTF-8"), 0x0804);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("zh_CN.GB18030"), 0x0804);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("en_US"), 0x0409);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("zh_SG.UTF-8"), 0x1004);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("es_ES.UTF-8"), 0x0C0A);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("sr_RS.UTF-8@latin"), 0x081A);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("sr_RS@latin"), 0x081A);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("sr_RS"), 0x0C1A);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("de_DE.UTF-8@euro"), 0x0407);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("C.UTF-8"), 0x0409);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("POSIX"), 0x0409);
    // A region the table lacks keeps the language with sublanguage 0: no name.
    EXPECT_EQ(ClientIdentity::langIdOfLocale("de_BE.UTF-8"), 0x0007);
    EXPECT_EQ(ClientIdentity::langIdOfLocale("xx_YY"), 0x0000);
    EXPECT_EQ(ClientIdentity::languageName(ClientIdentity::langIdOfLocale("de_BE")), "");
}

TEST(ClientIdentity, KernelReleaseGivesTheTwoVersionNumbers) {
    EXPECT_EQ(ClientIdentity::kernelVersion("6.1.0-18-amd64"), std::make_pair(6, 1));
    EXPECT_EQ(ClientIdentity::kernelVersion("5.15.153.1-microsoft-standard-WSL2"),
              std::make_pair(5, 15));
    EXPECT_EQ(ClientIdentity::kernelVersion("4"), std::make_pair(4, 0));
    EXPECT_EQ(ClientIdentity::kernelVersion("rolling"), std::make_pair(0, 0));
    EXPECT_EQ(ClientIdentity::kernelVersion("99999999999.3"), std::make_pair(INT32_MAX, 3));
}

TEST(ClientIdentity, GathersThisMachine) {
    const SystemValues values = ClientIdentity::systemValues(1920, 1080);
    EXPECT_EQ(values.processorCount, static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    EXPECT_EQ(std::make_pair(values.majorVersion, values.minorVersion),
              ClientIdentity::kernelVersion(system.release));
    EXPECT_EQ(values.screenWidth, 1920);
    EXPECT_EQ(values.screenHeight, 1080);
#if defined(__x86_64__)
    EXPECT_EQ(values.processorType, 8664u);
#endif
    EXPECT_EQ(ClientIdentity::systemValues().screenWidth, 0);
}

TEST(ClientIdentity, SystemLangIdPrefersLcAllOverLang) {
    const char* savedAll = std::getenv("LC_ALL");
    const char* savedLang = std::getenv("LANG");
    const std::string all = savedAll ? savedAll : "", lang = savedLang ? savedLang : "";
    setenv("LC_ALL", "zh_SG.UTF-8", 1);
    setenv("LANG", "en_GB.UTF-8", 1);
    EXPECT_EQ(ClientIdentity::systemLangId(), 0x1004);
    setenv("LC_ALL", "", 1);
    EXPECT_EQ(ClientIdentity::systemLangId(), 0x0809);
    unsetenv("LC_ALL");
    unsetenv("LANG");
    EXPECT_EQ(ClientIdentity::systemLangId(), 0x0409);
    savedAll ? setenv("LC_ALL", all.c_str(), 1) : unsetenv("LC_ALL");
    savedLang ? setenv("LANG", lang.c_str(), 1) : unsetenv("LANG");
}

} // namespace
} // namespace tolvane
