#pragma once

#include "tools/say/SayOptions.h"

#include <atomic>
#include <iosfwd>
#include <string>

namespace tolvane::say {

// The headless client: network verify, user verify, then the speech job (a
// text longer than the user's limit part after part, or a news feed item by
// item) through the same controllers as the main dialog, printing every
// report the dialog would receive.
//
// Threads: run() is the interface thread; it pumps the reports the workers
// send and acts on them in the handler, as the dialog does. `interrupt` is
// set from a signal handler and read by the pump loop.
class SayApp {
  public:
    SayApp(SayOptions options, std::u16string text, std::ostream& out, std::ostream& err,
           const std::atomic<bool>& interrupt);

    // The exit status: 0 after the reading ended (100/190, or the feed's end),
    // 1 after a failure, 2 for a configuration file that cannot be read, 130
    // after an interrupt (which stops the reading with 100/160).
    int run();

  private:
    SayOptions options_;
    std::u16string text_;
    std::ostream& out_;
    std::ostream& err_;
    const std::atomic<bool>& interrupt_;
};

} // namespace tolvane::say
