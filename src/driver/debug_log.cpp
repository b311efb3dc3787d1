#include "driver/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/diagnostics.h"

namespace {
const char log_name[] = "qrm_debug_output.txt";
const char kept_name[] = "qrm_debug_output.txt.1";
// A second name of the newest log file of the last run that sent a package: failed starts
// push only qrm_debug_output.txt.1 out. Three names, each file 8 MiB at most: bounded for
// any length of run and any number of restarts on the controller's disk.
const char streamed_name[] = "qrm_debug_output.txt.streamed";
constexpr long log_limit = 8L << 20;
// A turn-over may happen on the stream thread, under its line lock: its own lines never wait.
constexpr int turn_over_wait_ms = 0;
constexpr int start_wait_ms = 1000;

std::atomic<bool> logging{false};
std::mutex rotation;    // the stream and a reconfiguration may both find the log full
bool streamed = false;  // under rotation: this run has sent a package
// /dev/null, opened before any control connection can take the last descriptor, so that the
// fallback never needs a new one.
int null_fd = -1;

// "Cannot keep" with errno's reason, on standard error within wait_ms.
void cannot_keep(const char* as, int wait_ms) {
    char line[160];
    snprintf(line, sizeof line, "Cannot keep %s as %s: %s\n", log_name, as, strerror(errno));
    stderr_line_bounded(line, wait_ms);
}

// The log as a regular file, or -1 with errno set. Opened without blocking, so that a FIFO
// in its place fails at once (ENXIO) instead of waiting for a reader; anything but a regular
// file (a FIFO that has a reader, a device) is refused.
int open_log() {
    int fd = open(log_name, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, 0);
    return fd;
}

// Puts fd in the place of standard output; the stream's position follows the new file.
// False, with errno set, when descriptor 1 or the position did not follow.
bool take_stdout(int fd) {
    fflush(stdout);
    bool taken = dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
    int error = errno;
    clearerr(stdout);
    if (taken && fseek(stdout, 0, SEEK_END) != 0) {
        taken = false;
        error = errno;
    }
    errno = error;
    return taken;
}

// Gives the current log the second name that keeps it through failed starts.
void mark_streamed(int wait_ms) {
    if ((unlink(streamed_name) != 0 && errno != ENOENT) || link(log_name, streamed_name) != 0)
        cannot_keep(streamed_name, wait_ms);
}

// Keeps the log that is there and starts a new one with first_line. A log that cannot be
// written is said on standard error and standard output goes to /dev/null: descriptor 1 is
// never left on the kept file, which would grow without a bound, nor closed, where the next
// socket would take it and printed lines would go into the controller's stream. The stream
// matters more than its log, so it goes on either way. Standard output stays locked
// throughout, so that first_line is the file's first line whichever thread writes next.
void begin(const char* first_line, int wait_ms) {
    flockfile(stdout);
    if (rename(log_name, kept_name) != 0 && errno != ENOENT)
        cannot_keep(kept_name, wait_ms);
    int fd = open_log();
    bool taken = fd >= 0 && take_stdout(fd);
    int error = errno;
    if (fd >= 0)
        close(fd);
    if (taken) {
        fputs(first_line, stdout);
        fputc('\n', stdout);
        fflush(stdout);
        if (streamed)
            mark_streamed(wait_ms);
    } else {
        logging.store(false, std::memory_order_relaxed);
        if (null_fd < 0)
            null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const bool to_null = null_fd >= 0 && take_stdout(null_fd);
        char line[160];
        snprintf(line, sizeof line, "Cannot write %s: %s%s\n", log_name,
                 error == EINVAL ? "not a regular file" : strerror(error),
                 to_null ? "; standard output goes to /dev/null" : "");
        stderr_line_bounded(line, wait_ms);
    }
    funlockfile(stdout);
}
}  // namespace

void debug_log_prepare() {
    null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
}

void debug_log_start() {
    // Before anything is written to standard output: C allows no other time.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    logging.store(true, std::memory_order_relaxed);
    begin("Start log file", start_wait_ms);
}

void debug_log_check() {
    if (!logging.load(std::memory_order_relaxed) || ftell(stdout) < log_limit)
        return;
    std::lock_guard<std::mutex> lock(rotation);
    if (logging.load(std::memory_order_relaxed) && ftell(stdout) >= log_limit)
        begin("Log continued", turn_over_wait_ms);
}

void debug_log_streamed() {
    std::lock_guard<std::mutex> lock(rotation);
    if (streamed || !logging.load(std::memory_order_relaxed))
        return;
    streamed = true;
    mark_streamed(turn_over_wait_ms);
}
