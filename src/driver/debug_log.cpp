#include "driver/debug_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {
const char log_name[] = "qrm_debug_output.txt";
const char kept_name[] = "qrm_debug_output.txt.1";
// Two files of this size at most: bounded for any length of run on the controller's disk.
constexpr long log_limit = 8L << 20;

std::atomic<bool> logging{false};
std::mutex rotation;  // the stream and a reconfiguration may both find the log full

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
void take_stdout(int fd) {
    fflush(stdout);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    clearerr(stdout);
    fseek(stdout, 0, SEEK_END);
}

// Keeps the log that is there and starts a new one with first_line. A log that cannot be
// written is said on standard error and standard output goes to /dev/null: descriptor 1 is
// never left closed, where the next socket would take it and printed lines would go into
// the controller's stream. The stream matters more than its log, so it goes on either way.
// Standard output stays locked throughout, so that first_line is the file's first line
// whichever thread writes next.
void begin(const char* first_line) {
    flockfile(stdout);
    if (rename(log_name, kept_name) != 0 && errno != ENOENT)
        fprintf(stderr, "Cannot keep %s as %s: %s\n", log_name, kept_name, strerror(errno));
    int fd = open_log();
    if (fd >= 0) {
        take_stdout(fd);
        setvbuf(stdout, nullptr, _IOLBF, 0);
        fputs(first_line, stdout);
        fputc('\n', stdout);
        fflush(stdout);
    } else {
        fprintf(stderr, "Cannot write %s: %s; standard output goes to /dev/null\n", log_name,
                errno == EINVAL ? "not a regular file" : strerror(errno));
        logging.store(false, std::memory_order_relaxed);
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd >= 0)
            take_stdout(null_fd);
    }
    funlockfile(stdout);
}
}  // namespace

void debug_log_start() {
    logging.store(true, std::memory_order_relaxed);
    begin("Start log file");
}

void debug_log_check() {
    if (!logging.load(std::memory_order_relaxed) || ftell(stdout) < log_limit)
        return;
    std::lock_guard<std::mutex> lock(rotation);
    if (logging.load(std::memory_order_relaxed) && ftell(stdout) >= log_limit)
        begin("Log continued");
}
