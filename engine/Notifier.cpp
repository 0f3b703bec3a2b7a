#include "engine/Notifier.h"

#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "platform/Thread.h"

namespace tolvane {

using namespace std::chrono_literals;
using platform::Event;
using platform::kWmUser;
using platform::MessageQueue;
using platform::ThreadMessage;

namespace {
std::atomic<int> gLiveThreads{0};
constexpr uint32_t kLastAsyncOffset = 0x3DFF;
constexpr auto kQuitWait = 500ms;
} // namespace

struct Notifier::State {
    Mp3Callback callback;
    MessageQueue queue;
    // Set once the queue serves, and again after each waiting event.
    Event callbackEvent{Event::Reset::Manual};
    std::atomic<int32_t> result{0};
    // Set when the thread is given up: its owner, and the engine the function
    // may refer to, can be gone; the events still queued are dropped.
    std::atomic<bool> abandoned{false};
    platform::Thread thread;
};

uint32_t Notifier::messageForCode(uint32_t code) {
    return code <= 0xFFFF ? kWmUser + code : (code >> 16) + 0x41FF;
}

uint32_t Notifier::codeForMessage(uint32_t message, bool& waiting) {
    const uint32_t offset = message - kWmUser;
    waiting = offset > kLastAsyncOffset;
    return waiting ? uint32_t((uint64_t(offset) + 0xC201) << 16) : offset;
}

namespace {

void serve(const std::shared_ptr<Notifier::State>& state);

} // namespace

Notifier::Notifier() = default;

Notifier::~Notifier() {
    std::lock_guard lock(mutex_);
    mask_ = 0;
    stopThread();
}

int Notifier::liveThreads() {
    return gLiveThreads.load();
}

bool Notifier::setCallback(Mp3Callback callback, uint32_t mask, const char*& error) {
    std::lock_guard lock(mutex_);
    mask_ = 0;
    stopThread();
    if (!callback) {
        return true;
    }
    auto state = std::make_shared<State>();
    state->callback = std::move(callback);
    ++gLiveThreads;
    // The thread holds its own reference: it may outlive this object.
    if (!state->thread.start([state] {
            serve(state);
            --gLiveThreads;
        })) {
        --gLiveThreads;
        error = "SetCallbackFunc->Can't create callback thread !";
        return false;
    }
    state->callbackEvent.wait();
    state_ = std::move(state);
    mask_ = mask;
    return true;
}

void Notifier::stopThread() {
    if (!state_) {
        return;
    }
    state_->queue.postQuit();
    if (!state_->thread.join(kQuitWait)) {
        // Blocked in the user's function: let it finish on its own state,
        // calling the function no more.
        state_->abandoned = true;
        state_->thread.detach();
    }
    state_.reset();
}

int32_t Notifier::notify(uint32_t code, uintptr_t param1, uintptr_t param2) {
    const uint32_t mask = mask_.load();
    const uint32_t waitingCode = code <= 0xFFFF ? waitingForm(code) : code;
    int32_t result = 0;
    if (mask & waitingCode) {
        result = post(waitingCode, param1, param2);
    }
    if (code <= 0xFFFF && (mask & code)) {
        post(code, param1, param2);
    }
    return result;
}

int32_t Notifier::post(uint32_t code, uintptr_t param1, uintptr_t param2) {
    std::shared_ptr<State> state;
    {
        std::lock_guard lock(mutex_);
        state = state_;
    }
    if (!state) {
        return 0;
    }
    state->result = 0;
    const uint32_t message = messageForCode(code);
    if (code <= 0xFFFF) {
        state->queue.post(message, param1, intptr_t(param2));
        return state->result.load();
    }
    state->callbackEvent.reset();
    // A queue that is being shut down refuses the event; nobody would answer.
    if (!state->queue.post(message, param1, intptr_t(param2))) {
        return 0;
    }
    state->callbackEvent.wait();
    return state->result.load();
}

namespace {

void serve(const std::shared_ptr<Notifier::State>& state) {
    state->callbackEvent.set();
    ThreadMessage message;
    while (state->queue.get(message)) {
        bool waiting = false;
        const uint32_t code = Notifier::codeForMessage(message.message, waiting);
        if (!state->abandoned) {
            state->result = state->callback(code, message.wParam, uintptr_t(message.lParam));
        }
        if (waiting) {
            state->callbackEvent.set();
        }
    }
    // A waiter whose event was refused behind the quit request is released.
    state->callbackEvent.set();
}

} // namespace

} // namespace tolvane
