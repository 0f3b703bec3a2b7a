#include "tools/play/KeyReader.h"

#include <poll.h>
#include <unistd.h>

namespace tolvane::play {

KeyReader::KeyReader() {
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp() ||
        tcgetattr(STDIN_FILENO, &saved_) != 0) {
        return;
    }
    termios raw = saved_;
    raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    listening_ = active_;
}

KeyReader::~KeyReader() {
    if (active_) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
}

char KeyReader::wait(std::chrono::milliseconds timeout) {
    if (!listening_) {
        poll(nullptr, 0, int(timeout.count()));
        return 0;
    }
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (poll(&in, 1, int(timeout.count())) <= 0) {
        return 0;
    }
    char key = 0;
    if (!(in.revents & POLLIN) || read(STDIN_FILENO, &key, 1) != 1) {
        // The terminal hung up: stop listening rather than spin on it.
        listening_ = !(in.revents & (POLLHUP | POLLERR | POLLNVAL));
        return 0;
    }
    return key;
}

} // namespace tolvane::play
