#include "driver/diagnostics.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/debug_log.h"
#include "driver/fatal_exit.h"

std::atomic<uint64_t> lines_dropped{0};
std::atomic<uint64_t> lines_left_out{0};

namespace {
const auto relaxed = std::memory_order_relaxed;
// Four a second: readable, and far below the journal's 10,000 lines in 30 s.
constexpr int64_t report_interval_ns = 250000000;

// Held while a stream line is written; the stop takes it once, after it has begun.
std::mutex stream_lines;

void count(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, relaxed);
}

// How a line reaches standard error without waiting: a pipe through a descriptor of its
// own opened non-blocking (the shared one stays as it is for everyone else); a socket (the
// journal's) with MSG_DONTWAIT; anything else (a file, a terminal) once poll says it can.
enum class ErrMode { poll_write, own_fd, socket };
ErrMode err_mode = ErrMode::poll_write;
int err_fd = STDERR_FILENO;

// Waits until standard error can take a line, at most wait_ms.
bool err_writable(int wait_ms) {
    pollfd p{err_fd, POLLOUT, 0};
    return poll(&p, 1, wait_ms) == 1 && (p.revents & POLLOUT);
}

bool write_err(const char* line, size_t n) {
    ssize_t w;
    switch (err_mode) {
        case ErrMode::socket:
            w = send(err_fd, line, n, MSG_DONTWAIT | MSG_NOSIGNAL);
            break;
        case ErrMode::own_fd:
            w = write(err_fd, line, n);  // at most PIPE_BUF: all or nothing
            break;
        default:
            if (!err_writable(0))
                return false;
            w = write(err_fd, line, n);
    }
    return w == ssize_t(n);
}

}  // namespace

void diagnostics_start() {
    struct stat st;
    if (fstat(STDERR_FILENO, &st) == 0) {
        if (S_ISSOCK(st.st_mode)) {
            err_mode = ErrMode::socket;
        } else if (S_ISFIFO(st.st_mode)) {
            int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                err_fd = fd;
                err_mode = ErrMode::own_fd;
            }
        }
    }
}

void stream_stderr(const char* line) {
    std::lock_guard<std::mutex> lock(stream_lines);
    if (!stopping() && !write_err(line, strlen(line)))
        count(lines_dropped);
}

bool stderr_line_bounded(const char* line, int wait_ms) {
    const size_t n = strlen(line);
    if (write_err(line, n))
        return true;
    if (!err_writable(wait_ms) || !write_err(line, n)) {
        count(lines_dropped);
        return false;
    }
    return true;
}

// The debug log is a regular file or /dev/null (never a pipe or a FIFO), which takes a line
// from the page cache at once: every line is kept, and the rotation bounds the disk it uses.
void stream_log(const char* line) {
    std::lock_guard<std::mutex> lock(stream_lines);
    if (stopping())
        return;
    fputs(line, stdout);
    fflush(stdout);
    debug_log_check();
}

void end_stream_lines() {
    std::lock_guard<std::mutex> lock(stream_lines);
}

bool report_due(ReportLimit& limit, int64_t now_ns) {
    if (now_ns < limit.next_ns) {
        ++limit.left_out;
        count(lines_left_out);
        return false;
    }
    limit.next_ns = now_ns + report_interval_ns;
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
