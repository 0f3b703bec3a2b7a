#pragma once

#include <string_view>

namespace tolvane::platform {

// Who a program's sound streams belong to, as the desktop's mixer shows them
// and as its policies (ducking music under speech, say) match them.
struct StreamIdentity {
    std::string_view name;     // application.name, e.g. "Tolvane"
    std::string_view iconName; // a themed icon's name, e.g. "tolvane"
    std::string_view role;     // media.role, e.g. "speech" or "music"
};

// Labels every sound stream the process opens from now on. Audio goes out
// through ALSA, whose pulse plugin builds each stream's properties from the
// environment when it opens the device, so this sets that environment: one
// PULSE_PROP_OVERRIDE_<key> variable per property (the plugin names the
// application itself, and only an override replaces that name), and for
// PipeWire's own ALSA plugin PIPEWIRE_PROPS. A property the user already names
// (in PULSE_PROP, PULSE_PROP_OVERRIDE or a PULSE_PROP[_OVERRIDE]_<key>
// variable), and PIPEWIRE_PROPS when the user sets it, are left as they are.
//
// Call at start-up before any thread runs (it changes the environment);
// programs the process starts later inherit the variables.
void announceStreamIdentity(const StreamIdentity& identity);

} // namespace tolvane::platform
