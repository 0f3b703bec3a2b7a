#include "platform/Thread.h"

#include <new>
#include <system_error>

namespace tolvane::platform {

namespace {
constexpr std::chrono::milliseconds kPumpInterval{5};
}

Thread::~Thread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Thread::start(std::function<void()> body) {
    if (thread_.joinable()) {
        return false;
    }
    // The system may refuse a thread (its limit reached, no memory); callers
    // report that as their own failure, so nothing is thrown past this point.
    try {
        auto finished = std::make_shared<Event>(Event::Reset::Manual);
        thread_ = std::thread([finished, body = std::move(body)] {
            body();
            finished->set();
        });
        finished_ = std::move(finished);
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool Thread::running() const {
    return thread_.joinable() && finished_ && !finished_->isSet();
}

void Thread::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool Thread::join(std::chrono::milliseconds timeout) {
    if (!thread_.joinable()) {
        return true;
    }
    if (!finished_->waitFor(timeout)) {
        return false;
    }
    thread_.join();
    return true;
}

void Thread::detach() {
    if (thread_.joinable()) {
        thread_.detach();
    }
    finished_.reset();
}

void waitPumping(Thread& thread, const std::function<void()>& pump) {
    if (!pump) {
        thread.join();
        return;
    }
    while (!thread.join(kPumpInterval)) {
        pump();
    }
}

} // namespace tolvane::platform
