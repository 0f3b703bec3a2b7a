#pragma once

#include "playback/PlaybackController.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/NewsItemController.h"
#include "protocol/SpeechJobController.h"
#include "protocol/UserVerifyController.h"
#include "ui/QtDialogPort.h"
#include "ui/TraceWindow.h"
#include "ui/WaitingWindow.h"
#include "ui/core/MainDialogCore.h"

namespace tolvane::ui {

// The client's process-wide objects, built in this order once the application
// object exists and destroyed in reverse after the main window has gone. The
// dialog port comes first: every controller's last wait pumps it.
struct ClientObjects {
    QtDialogPort port;
    SpeechJobController job;
    UserVerifyController verify;
    NewsItemController news;
    NetworkVerifyController door;
    WaitingWindow waiting;
    PlaybackController playback;
    TraceWindow trace;

    DialogControllers controllers() { return {job, verify, news, door, playback}; }
};

} // namespace tolvane::ui
