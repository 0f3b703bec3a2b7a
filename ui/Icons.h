#pragma once

#include <QIcon>

namespace tolvane::ui {

// The client's icons, from the resources built into this library: "tolvane"
// (the program), "mail" and "feedback" (the dialog's links).
QIcon clientIcon(const char* name);

} // namespace tolvane::ui
