#pragma once

#include "server/Stored.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane::server {

// Where the verifytimeid sessions of logged-in users live. The protocol sees
// only this table, so the sessions can move from the server's memory
// (SessionStore) to a store that several servers share.
//
// Threads: every operation may be called from any number of HTTP threads at
// once; an implementation guards its own state.
class SessionTable {
  public:
    // Told when sessions end, so a request held under one is answered at
    // once. Called on the thread that ended the session, with none of the
    // table's locks held.
    class Listener {
      public:
        virtual ~Listener() = default;
        // The session `token` has expired or was given up for a newer login.
        virtual void sessionEnded(const std::string& token) = 0;
    };

    virtual ~SessionTable() = default;

    // The listener told of sessions ending (null: none); set before serving.
    virtual void setListener(Listener* listener) = 0;

    // Opens a session of `userId` and returns its verifytimeid. Never ends
    // another user's session: nothing when the table is full and holds none
    // of this user's sessions to give up.
    virtual Stored<std::string> open(int userId) = 0;

    // The user of a live session, and counts as a use of it; nothing when the
    // token is unknown or has expired.
    virtual Stored<int> find(std::string_view token) = 0;

    // Forgets expired sessions.
    virtual void sweep() = 0;

    // Live and not yet swept sessions (0 when the store cannot be asked).
    virtual std::size_t size() const = 0;
};

} // namespace tolvane::server
