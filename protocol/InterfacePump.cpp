#include "protocol/InterfacePump.h"

#include <algorithm>

namespace tolvane {

namespace {
constexpr std::chrono::milliseconds kPollInterval{5};
}

InterfacePump::InterfacePump(Handler handler)
    : handler_(std::move(handler)), interfaceThread_(std::this_thread::get_id()) {}

void InterfacePump::send(uint32_t message, uint32_t code, intptr_t argument) {
    if (onInterfaceThread()) {
        handler_(message, code, argument);
        return;
    }
    Call call{message, code, argument, std::this_thread::get_id()};
    std::unique_lock lock(mutex_);
    calls_.push_back(&call);
    queued_.notify_all();
    served_.wait(lock, [&] { return call.done; });
}

void InterfacePump::pump() {
    for (;;) {
        Call* call = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (calls_.empty()) {
                return;
            }
            call = calls_.front();
            calls_.pop_front();
        }
        {
            HandlingReport handling(call->sender);
            handler_(call->message, call->code, call->argument);
        }
        std::lock_guard lock(mutex_);
        call->done = true;
        served_.notify_all();
    }
}

bool InterfacePump::pumpUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pump();
        if (done()) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        // `done` may turn true without a report (a worker ending), so the wait
        // is sliced.
        std::unique_lock lock(mutex_);
        queued_.wait_for(
            lock, std::min<std::chrono::steady_clock::duration>(kPollInterval, deadline - now),
            [&] { return !calls_.empty(); });
    }
}

} // namespace tolvane
