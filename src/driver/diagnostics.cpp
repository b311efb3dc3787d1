#include "driver/diagnostics.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/fatal_exit.h"
#include "driver/sensor_state.h"

std::atomic<uint64_t> lines_dropped{0};
std::atomic<uint64_t> lines_left_out{0};

namespace {
const auto relaxed = std::memory_order_relaxed;
// Eight at once, then four a second: a burst of faults is seen whole, a flood stays far
// below the journal's 10,000 lines in 30 s.
constexpr int64_t report_interval_ns = 250000000;
constexpr int64_t report_burst = 8;
// A line of which a part went out is finished within this, even by a writer that never waits.
constexpr int64_t finish_ns = 100000000;

// Held while a stream line is written; the stop takes it once, after it has begun.
std::mutex stream_lines;
// Held while any line goes to a descriptor, so that no other thread's line lands inside
// one that went out in parts. Every holder is bounded in time, so a writer that waits for
// it is too; one that never waits (the stream's) does not take it when it is held.
std::mutex line_writes;

void count(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, relaxed);
}

// How a line reaches a descriptor without waiting: a pipe or a device through a descriptor
// of its own opened non-blocking (the shared one stays as it is for everyone else); a socket
// (the journal's) with MSG_DONTWAIT; anything else (a regular file) once poll says it can.
enum class Way { poll_first, own_fd, socket };
struct Channel {
    Way way;
    int fd;
};
Channel err{Way::poll_first, STDERR_FILENO};

Channel open_channel(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return {Way::poll_first, fd};
    if (S_ISSOCK(st.st_mode))
        return {Way::socket, fd};
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        char path[32];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0)
            return {Way::own_fd, own};
    }
    return {Way::poll_first, fd};
}

bool writable(int fd, int64_t wait_ns) {
    pollfd p{fd, POLLOUT, 0};
    const int ms = int(std::min<int64_t>((wait_ns + 999999) / 1000000, 60000));
    return poll(&p, 1, ms) == 1 && (p.revents & POLLOUT);
}

// What the descriptor takes of n bytes now; -1 with EAGAIN when it would wait.
ssize_t write_now(const Channel& c, const char* p, size_t n) {
    if (c.way == Way::socket)
        return send(c.fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (c.way == Way::poll_first && !writable(c.fd, 0)) {
        errno = EAGAIN;
        return -1;
    }
    return write(c.fd, p, n);
}

// The one writer. The line starts within wait_ns or not at all; once a part is out, the
// rest follows within finish_ns at least, never the whole line again. A line that did not
// go out whole is counted dropped.
bool write_line(const Channel& c, const char* line, size_t n, int64_t wait_ns) {
    int64_t deadline = precise_ns() + wait_ns;
    std::unique_lock<std::mutex> lock(line_writes, std::defer_lock);
    if (wait_ns > 0)
        lock.lock();
    else
        lock.try_lock();
    size_t sent = 0;
    while (lock.owns_lock() && sent < n) {
        ssize_t w = write_now(c, line + sent, n - sent);
        if (w > 0) {
            if (sent == 0)
                deadline = std::max(deadline, precise_ns() + finish_ns);
            sent += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        const int64_t left = deadline - precise_ns();
        if (left <= 0 || !writable(c.fd, left))
            break;
    }
    if (sent == n)
        return true;
    count(lines_dropped);
    return false;
}
}  // namespace

void diagnostics_start() {
    err = open_channel(STDERR_FILENO);
}

void stream_stderr(const char* line) {
    std::lock_guard<std::mutex> lock(stream_lines);
    if (!stopping())
        write_line(err, line, strlen(line), 0);
}

bool stderr_line_bounded(const char* line, int wait_ms) {
    return write_line(err, line, strlen(line), int64_t(wait_ms) * 1000000);
}

bool stdout_line_bounded(const char* line, int wait_ms) {
    const Channel out = open_channel(STDOUT_FILENO);
    const bool whole = write_line(out, line, strlen(line), int64_t(wait_ms) * 1000000);
    if (out.fd != STDOUT_FILENO)
        close(out.fd);
    return whole;
}

void end_stream_lines() {
    std::lock_guard<std::mutex> lock(stream_lines);
}

bool report_due(ReportLimit& limit, int64_t now_ns) {
    if (now_ns < limit.next_ns - (report_burst - 1) * report_interval_ns) {
        ++limit.left_out;
        count(lines_left_out);
        return false;
    }
    limit.next_ns = std::max(limit.next_ns, now_ns) + report_interval_ns;
    return true;
}

void stream_report(ReportLimit& limit, int64_t now_ns, const char* line) {
    if (!report_due(limit, now_ns))
        return;
    if (limit.left_out != 0) {
        char note[160];
        snprintf(note, sizeof note, "Left out %lu more \"%.*s\" lines\n", limit.left_out,
                 int(strcspn(line, ":\n")), line);
        stream_stderr(note);
        limit.left_out = 0;
    }
    stream_stderr(line);
}
