// The environment announceStreamIdentity leaves for the sound server's client
// library: its labels, except where the user already names a property.
#include "platform/StreamIdentity.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tolvane::platform {
namespace {

const char* const kVariables[] = {
    "PULSE_PROP",
    "PULSE_PROP_OVERRIDE",
    "PIPEWIRE_PROPS",
    "PULSE_PROP_application.name",
    "PULSE_PROP_application.icon_name",
    "PULSE_PROP_media.role",
    "PULSE_PROP_OVERRIDE_application.name",
    "PULSE_PROP_OVERRIDE_application.icon_name",
    "PULSE_PROP_OVERRIDE_media.role",
};

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "(unset)";
}

// Runs the announcement in an environment holding only `user`'s variables
// among those it reads or writes, and returns the overrides it leaves.
std::string announce(std::initializer_list<std::pair<const char*, const char*>> user,
                     const StreamIdentity& identity = {"Tolvane", "tolvane", "speech"}) {
    for (const char* name : kVariables) {
        ::unsetenv(name);
    }
    for (const auto& [name, value] : user) {
        ::setenv(name, value, 1);
    }
    announceStreamIdentity(identity);
    return variable("PULSE_PROP_OVERRIDE_application.name") + "|" +
           variable("PULSE_PROP_OVERRIDE_application.icon_name") + "|" +
           variable("PULSE_PROP_OVERRIDE_media.role");
}

TEST(StreamIdentity, LabelsWhatTheUserLeavesOpen) {
    EXPECT_EQ(announce({}), "Tolvane|tolvane|speech");
    EXPECT_EQ(variable("PIPEWIRE_PROPS"), "{ application.name = \"Tolvane\" "
                                          "application.icon-name = \"tolvane\" "
                                          "media.role = \"speech\" }");
    // Quoted values, several names in one list, each way of naming one.
    EXPECT_EQ(announce({{"PULSE_PROP", "media.role='a b' application.icon_name=\"x\""}}),
              "Tolvane|(unset)|(unset)");
    EXPECT_EQ(announce({{"PULSE_PROP_OVERRIDE", "application.name=Mine"}}),
              "(unset)|tolvane|speech");
    EXPECT_EQ(announce({{"PULSE_PROP_media.role", "music"},
                        {"PULSE_PROP_OVERRIDE_application.icon_name", "mine"}}),
              "Tolvane|mine|(unset)");
    // A value holding another key's name does not name that key.
    EXPECT_EQ(announce({{"PULSE_PROP", "media.name='media.role=x'"}}), "Tolvane|tolvane|speech");
    // A list the client library cannot parse, it ignores; so is it here.
    EXPECT_EQ(announce({{"PULSE_PROP", "media.role='unterminated"}}), "Tolvane|tolvane|speech");
    // PipeWire's list is the user's whole when set; quotes in a name are escaped.
    announce({{"PIPEWIRE_PROPS", "{ media.role = Music }"}});
    EXPECT_EQ(variable("PIPEWIRE_PROPS"), "{ media.role = Music }");
    announce({}, {"Say \"Hi\"", "tolvane", "music"});
    EXPECT_EQ(variable("PIPEWIRE_PROPS"), "{ application.name = \"Say \\\"Hi\\\"\" "
                                          "application.icon-name = \"tolvane\" "
                                          "media.role = \"music\" }");
}

} // namespace
} // namespace tolvane::platform
