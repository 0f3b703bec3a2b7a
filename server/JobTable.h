#pragma once

#include "server/Stored.h"
#include "server/Synthesizer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

namespace tolvane::server {

// An open finished MP3: stays readable while held, even after it expires.
struct AudioFile {
    std::shared_ptr<const int> fd; // closed when the last holder lets go
    std::uint64_t size = 0;

    // A file holding the open descriptor `descriptor`, which it closes.
    static AudioFile adopt(int descriptor) {
        AudioFile file;
        file.fd = std::shared_ptr<const int>(new int(descriptor), [](const int* p) {
            ::close(*p);
            delete p;
        });
        return file;
    }
};

// Where speech jobs are queued and looked up. The protocol and the HTTP layer
// see only this table, so the jobs can move from the server's memory
// (SpeechJobs) to a store that several servers share.
//
// Threads: every operation may be called from any number of threads at once;
// an implementation guards its own state.
class JobTable {
  public:
    struct Request {
        int userId = 0;
        std::string text;
        Synthesizer::Voice voice;
    };

    // UserFull: the user holds their share of the queue already.
    enum class Added { Ok, QueueFull, UserFull, Stopping, StoreDown };

    struct Status {
        std::string ttsStatus; // "wait", "ttsing", "ttsed" or "failed"
        std::string parameter; // six ':'-separated parts describing the job
        std::string failure;   // why a failed job failed
    };

    // Told when jobs end, so a query held for one is answered at once. Called
    // on the thread that ended the job, with none of the table's locks held.
    class Listener {
      public:
        virtual ~Listener() = default;
        // The job of `uuid` is no longer waiting or being read: it is "ttsed"
        // or "failed".
        virtual void jobEnded(const std::string& uuid) = 0;
        // The table stops: no job that waits or is being read will end.
        virtual void jobsStopping() = 0;
    };

    virtual ~JobTable() = default;

    // The listener told of jobs ending (null: none); set before jobs are added.
    virtual void setListener(Listener* listener) = 0;

    // The job file name for `uuid` (also the last part of its URL).
    static std::string fileName(const std::string& uuid) { return uuid + ".mp3"; }

    // Queues a job; its id in `uuid` when Ok.
    virtual Added add(Request request, std::string& uuid) = 0;

    // The job's state, when `uuid` names a live job of `userId`.
    virtual Stored<Status> status(const std::string& uuid, int userId) = 0;

    // The finished MP3 of `uuid`, opened for reading.
    virtual Stored<AudioFile> openAudio(const std::string& uuid) = 0;
};

} // namespace tolvane::server
