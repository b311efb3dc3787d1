#include "control/lingering_close.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {
// Reads and discards what fd holds. True once the client has closed, the connection has
// failed, or more than linger_bytes came in all.
bool discard_input(int fd, size_t* bytes) {
    char scratch[16384];
    for (;;) {
        ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n < 0)
            return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
        if (n == 0 || (*bytes += size_t(n)) > linger_bytes)
            return true;
    }
}

// Milliseconds from now to end, rounded up so that a wait never ends before it.
int millis_until(std::chrono::steady_clock::time_point end) {
    auto left = end - std::chrono::steady_clock::now();
    return left.count() <= 0 ? 0 : int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}
}  // namespace

void close_lingering(int fd) {
    shutdown(fd, SHUT_WR);
    const auto end = std::chrono::steady_clock::now() + linger_time;
    size_t bytes = 0;
    int wait;
    while (!discard_input(fd, &bytes) && (wait = millis_until(end)) > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait) < 0 && errno != EINTR)
            break;
    }
    close(fd);
}

void LingeringSet::add(int fd) {
    shutdown(fd, SHUT_WR);
    if (kept_.size() >= max_kept)
        close(fd);
    else
        kept_.push_back({fd, clock::now() + linger_time, 0});
}

void LingeringSet::wait_for(int listener) {
    for (;;) {
        polled_.assign(1, pollfd{listener, POLLIN, 0});
        int timeout = -1;
        for (const Kept& k : kept_) {
            polled_.push_back(pollfd{k.fd, POLLIN, 0});
            int wait = millis_until(k.end);
            if (timeout < 0 || wait < timeout)
                timeout = wait;
        }
        int ready = poll(polled_.data(), polled_.size(), timeout);
        if (ready < 0 && errno != EINTR) {
            // Short of memory: a moment's pause, then the accept has its turn.
            timespec pause{0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
            return;
        }
        const auto now = clock::now();
        size_t left = 0;
        for (size_t i = 0; i < kept_.size(); ++i) {
            Kept& k = kept_[i];
            bool readable = ready > 0 && polled_[i + 1].revents != 0;
            if (now >= k.end || (readable && discard_input(k.fd, &k.bytes)))
                close(k.fd);
            else
                kept_[left++] = k;
        }
        kept_.resize(left);
        if (ready > 0 && polled_[0].revents != 0)
            return;
    }
}
