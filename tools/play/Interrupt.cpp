#include "tools/play/Interrupt.h"

#include <csignal>

namespace tolvane::play {

namespace {

volatile std::sig_atomic_t gRequested = 0;
struct sigaction gOldInt {};
struct sigaction gOldTerm {};
struct sigaction gOldPipe {};

void onSignal(int) {
    gRequested = 1;
}

} // namespace

Interrupt::Interrupt() {
    gRequested = 0;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in poll() returns at once.
    sigaction(SIGINT, &action, &gOldInt);
    sigaction(SIGTERM, &action, &gOldTerm);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &gOldPipe);
}

Interrupt::~Interrupt() {
    sigaction(SIGINT, &gOldInt, nullptr);
    sigaction(SIGTERM, &gOldTerm, nullptr);
    sigaction(SIGPIPE, &gOldPipe, nullptr);
}

bool Interrupt::requested() {
    return gRequested != 0;
}

} // namespace tolvane::play
