#include "effects/EqControlThread.h"

#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "platform/Thread.h"

#include <chrono>
#include <system_error>

namespace tolvane {

using namespace std::chrono_literals;
using platform::Event;
using platform::ThreadMessage;

namespace {
constexpr uint32_t kDesignMessage = platform::kWmUser + 1;
constexpr auto kQuitWait = 500ms;
} // namespace

struct EqControlThread::State {
    Design design;
    platform::MessageQueue queue;
    Event readyEvent{Event::Reset::Manual};
    std::atomic<bool> cancelled{false};
    platform::Thread thread;
};

namespace {

void serve(const std::shared_ptr<EqControlThread::State>& state) {
    state->readyEvent.set();
    ThreadMessage message;
    while (state->queue.get(message)) {
        if (message.message == kDesignMessage) {
            state->design(state->cancelled);
        }
    }
}

} // namespace

EqControlThread::EqControlThread() = default;

EqControlThread::~EqControlThread() {
    stop();
}

bool EqControlThread::start(Design design) {
    if (state_) {
        return true;
    }
    auto state = std::make_shared<State>();
    state->design = std::move(design);
    bool started = false;
    try {
        // The thread holds its own reference: it may outlive this object.
        started = state->thread.start([state] { serve(state); });
    } catch (const std::system_error&) {
        started = false;
    }
    if (!started) {
        return false;
    }
    state->readyEvent.wait();
    state_ = std::move(state);
    return true;
}

bool EqControlThread::requestDesign() {
    return state_ && state_->queue.post(kDesignMessage);
}

void EqControlThread::stop() {
    if (!state_) {
        return;
    }
    state_->cancelled.store(true);
    state_->queue.postQuit();
    if (!state_->thread.join(kQuitWait)) {
        // Still inside a design: let it finish on its own state.
        state_->thread.detach();
    }
    state_.reset();
}

} // namespace tolvane
