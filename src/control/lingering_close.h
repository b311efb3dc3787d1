// Closing a connection whose request may not have been read whole, as HTTP servers do. A
// socket closed with bytes unread answers with a reset, and the client's kernel may then
// throw the answer away before the client reads it. So the sending side is shut down (the
// answer, then end of file), what the client still sends is read and discarded until it
// closes, within a bound of time and bytes, and only then is the descriptor closed.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <vector>

// Long enough for a client to finish sending a refused body; a client that neither sends
// nor closes meanwhile is closed on.
constexpr std::chrono::seconds linger_time{5};
// Twice the largest body the library reads: more is no client waiting for its answer.
constexpr size_t linger_bytes = 1 << 20;

// Closes fd so, waiting in the calling thread.
void close_lingering(int fd);

// The refused connections of the thread that accepts them, closed so without holding it up:
// it waits for its next connection in wait_for, which serves them meanwhile. Not thread-safe.
class LingeringSet {
  public:
    // Shuts fd's sending side and keeps it; one beyond max_kept is closed at once.
    void add(int fd);
    // Returns once listener has a connection waiting (or has failed, or the wait did).
    void wait_for(int listener);

    static constexpr size_t max_kept = 256;

  private:
    using clock = std::chrono::steady_clock;
    struct Kept {
        int fd;
        clock::time_point end;
        size_t bytes;
    };
    std::vector<Kept> kept_;
    std::vector<pollfd> polled_;
};
