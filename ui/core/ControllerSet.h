#pragma once

#include "playback/PlaybackController.h"
#include "protocol/NetworkVerifyController.h"
#include "protocol/NewsItemController.h"
#include "protocol/SpeechJobController.h"
#include "protocol/UserVerifyController.h"
#include "ui/core/MainDialogCore.h"

namespace tolvane {

// The controllers a front end without a window owns for its dialog. Declared
// so that they are destroyed in reverse: the speech job before the playback
// it hands audio to. Their owner must be destroyed before the port they
// report to.
struct ControllerSet {
    PlaybackController playback;
    NetworkVerifyController door;
    UserVerifyController verify;
    NewsItemController news;
    SpeechJobController job;

    DialogControllers refs() { return {job, verify, news, door, playback}; }
    // True while any of them has a worker or playback under way.
    bool busy() const {
        return door.running() || verify.running() || news.running() || job.running() ||
               playback.running() || playback.state() != PlaybackController::State::kStopped;
    }
};

} // namespace tolvane
