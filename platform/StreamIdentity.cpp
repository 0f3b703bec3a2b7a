#include "platform/StreamIdentity.h"

#include <pulse/proplist.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace tolvane::platform {

namespace {

struct ProplistFree {
    void operator()(pa_proplist* list) const { pa_proplist_free(list); }
};

// Whether the property list held in environment variable `variable` (in the
// sound server's own notation, read with its own parser) names `key`. A list
// that does not parse names nothing: the client library ignores it as well.
bool listNames(const char* variable, const char* key) {
    const char* text = std::getenv(variable);
    if (text == nullptr) {
        return false;
    }
    const std::unique_ptr<pa_proplist, ProplistFree> list(pa_proplist_from_string(text));
    return list && pa_proplist_contains(list.get(), key) == 1;
}

bool userNames(const std::string& key) {
    return listNames("PULSE_PROP", key.c_str()) || listNames("PULSE_PROP_OVERRIDE", key.c_str()) ||
           std::getenv(("PULSE_PROP_" + key).c_str()) != nullptr ||
           std::getenv(("PULSE_PROP_OVERRIDE_" + key).c_str()) != nullptr;
}

void setUnlessNamed(const std::string& key, std::string_view value) {
    if (!value.empty() && !userNames(key)) {
        ::setenv(("PULSE_PROP_OVERRIDE_" + key).c_str(), std::string(value).c_str(), 1);
    }
}

// `value` as a quoted string of PipeWire's property notation.
std::string pipeWireString(std::string_view value) {
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + '"';
}

} // namespace

void announceStreamIdentity(const StreamIdentity& identity) {
    setUnlessNamed(PA_PROP_APPLICATION_NAME, identity.name);
    setUnlessNamed(PA_PROP_APPLICATION_ICON_NAME, identity.iconName);
    setUnlessNamed(PA_PROP_MEDIA_ROLE, identity.role);
    if (std::getenv("PIPEWIRE_PROPS") == nullptr) {
        const std::string props = "{ application.name = " + pipeWireString(identity.name) +
                                  " application.icon-name = " + pipeWireString(identity.iconName) +
                                  " media.role = " + pipeWireString(identity.role) + " }";
        ::setenv("PIPEWIRE_PROPS", props.c_str(), 1);
    }
}

} // namespace tolvane::platform
