#include "driver/debug_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/diagnostics.h"
#include "driver/sensor_state.h"

namespace {
const char log_name[] = "qrm_debug_output.txt";
const char kept_name[] = "qrm_debug_output.txt.1";
// A second name of the newest log file of the last run that sent a package: failed starts
// push only qrm_debug_output.txt.1 out. Three names, each file 8 MiB at most: bounded for
// any length of run and any number of restarts on the controller's disk.
const char streamed_name[] = "qrm_debug_output.txt.streamed";
// Where that name is made before it replaces the earlier run's.
const char streamed_draft[] = "qrm_debug_output.txt.streamed.new";
constexpr off_t log_limit = 8L << 20;
// What a full log still takes while its turn-over waits for the log's thread; past it, lines
// are lost, so the bound holds however late that thread runs.
constexpr off_t turn_over_slack = 64L << 10;
constexpr int wait_ms = 1000;
constexpr int64_t loss_note_ns = 60LL * 1000000000;

// Priority-inheriting: a thread of normal priority that holds it runs at the stream's while
// the stream waits for it.
class PiMutex {
  public:
    PiMutex() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }
    bool lock_within_a_second() {
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);  // the clock pthread_mutex_timedlock reads
        until.tv_sec += 1;
        return pthread_mutex_timedlock(&mutex_, &until) == 0;
    }

  private:
    pthread_mutex_t mutex_;
};

PiMutex writing;  // held for one line's write
// Under `writing`:
bool started = false;        // standard output is the log, or /dev/null where it could not be
bool live = false;           // standard output is the log
bool ended = false;          // the stop's line is written: it stays the last
off_t size = 0;              // of the log behind standard output
bool turn_over_due = false;  // the log has reached its limit
bool streamed = false;       // this run has sent a package
bool losing = false;         // the last line was lost
int64_t loss_said_ns = 0;

// Held by whoever changes the log's names; the stop waits for it, so that its line lands in
// the newest file.
PiMutex names;
bool marked = false;  // under `names`: the current log is also the streamed one
sem_t work;           // posted when the log's thread has something to do
// /dev/null, opened before any control connection can take the last descriptor, so that the
// fallback never needs a new one.
int null_fd = -1;

const char* reason(int error) {
    return error == EINVAL ? "not a regular file" : strerror(error);
}

void cannot_keep(const char* as, int error) {
    char line[160];
    snprintf(line, sizeof line, "Cannot keep %s as %s: %s\n", log_name, as, reason(error));
    stderr_line_bounded(line, wait_ms);
}

int failed(int fd, int error) {
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}

// The log as an empty regular file of this directory, open for appending, or -1 with errno
// set (EINVAL: something else is in its place). Nothing outside the directory is written: a
// symbolic link is not followed, a FIFO fails at once (ENXIO) instead of waiting for a
// reader, and a file that has another name as well (.streamed, or a hard link from
// elsewhere) keeps its text: this name goes to a new file.
int open_log() {
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    for (;;) {
        const int fd = open(log_name, flags, 0666);
        struct stat st;
        if (fd < 0)
            return failed(fd, errno == ELOOP ? EINVAL : errno);
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            return failed(fd, EINVAL);
        if (st.st_nlink == 1)
            return ftruncate(fd, 0) == 0 && fcntl(fd, F_SETFL, O_APPEND) == 0 ? fd
                                                                              : failed(fd, errno);
        close(fd);
        if (flags & O_EXCL)
            return failed(-1, EINVAL);
        if (unlink(log_name) != 0)
            return -1;
        flags |= O_EXCL;
    }
}

bool same_file(const char* name, int fd) {
    struct stat a, b;
    return lstat(name, &a) == 0 && fstat(fd, &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

// Gives the log behind standard output the second name that keeps it through failed starts.
// Made under a draft name and renamed over, so that the earlier run's stays until the new
// one is there.
void mark_streamed() {
    unlink(streamed_draft);  // left by a run that ended between the two steps
    int error = 0;
    if (link(log_name, streamed_draft) != 0)
        error = errno;
    else if (!same_file(streamed_draft, STDOUT_FILENO))
        error = EINVAL;  // the name no longer stands for the log
    else if (rename(streamed_draft, streamed_name) != 0)
        error = errno;
    marked = error == 0;
    if (marked)
        return;
    unlink(streamed_draft);
    cannot_keep(streamed_name, error);
}

// Under `writing`: one line into the log, whole or not at all (a part that a full disk cut
// off is taken back). A lost line is counted; returns the reason to say when it begins a
// loss (once a minute at most), else 0.
int put(const char* line) {
    const size_t n = strlen(line);
    ssize_t written = -1;
    errno = EFBIG;  // the turn-over is late: the bound holds all the same
    if (size + off_t(n) <= log_limit + turn_over_slack)
        written = write(STDOUT_FILENO, line, n);
    if (written == ssize_t(n)) {
        size += off_t(n);
        losing = false;
        if (size >= log_limit && !turn_over_due) {
            turn_over_due = true;
            sem_post(&work);
        }
        return 0;
    }
    const int error = written < 0 ? errno : ENOSPC;
    if (written > 0 && ftruncate(STDOUT_FILENO, size) != 0)
        size += off_t(written);
    lines_dropped.fetch_add(1, std::memory_order_relaxed);
    const int64_t now = monotonic_ns();
    const bool say = !losing && (loss_said_ns == 0 || now - loss_said_ns >= loss_note_ns);
    losing = true;
    if (!say)
        return 0;
    loss_said_ns = now;
    return error;
}

// Under `writing`: the line wherever standard output is now; the loss to say, or 0.
int emit(const char* line) {
    if (ended)
        return 0;
    if (!started)
        return stdout_line_bounded(line, wait_ms), 0;
    return live ? put(line) : 0;
}

// Said without waiting: the stream may be the writer that found the loss.
void say_loss(int error) {
    if (error == 0)
        return;
    char note[160];
    snprintf(note, sizeof note, "Cannot write %s: %s; its lines are dropped until there is room\n",
             log_name, reason(error));
    stream_stderr(note);
}

// Under `names`: keeps the log that is there and starts a new one with first_line. A log
// that cannot be made is said on standard error and standard output goes to /dev/null:
// descriptor 1 is never left on the kept file nor closed, where the next socket would take
// it. The stream matters more than its log, so it goes on either way. The names change
// without `writing`, so no writer waits for them: until the new file takes descriptor 1,
// lines go on into the kept one.
void begin(const char* first_line) {
    {
        std::lock_guard<PiMutex> lock(writing);
        if (ended)
            return;
    }
    if (rename(log_name, kept_name) != 0 && errno != ENOENT)
        cannot_keep(kept_name, errno);
    const int fd = open_log();
    int error = errno;
    bool taken, to_null = false, mark;
    int loss = 0;
    {
        std::lock_guard<PiMutex> lock(writing);
        started = true;
        taken = live = fd >= 0 && dup2(fd, STDOUT_FILENO) == STDOUT_FILENO;
        if (fd >= 0 && !taken)
            error = errno;
        size = 0;
        turn_over_due = false;
        if (taken)
            loss = emit(first_line);
        else
            to_null = null_fd >= 0 && dup2(null_fd, STDOUT_FILENO) == STDOUT_FILENO;
        mark = taken && streamed;
    }
    if (fd >= 0)
        close(fd);
    say_loss(loss);
    marked = false;
    if (mark)
        mark_streamed();
    if (taken)
        return;
    char line[160];
    snprintf(line, sizeof line, "Cannot write %s: %s%s\n", log_name, reason(error),
             to_null ? "; standard output goes to /dev/null" : "");
    stderr_line_bounded(line, wait_ms);
}

// Under `names`: gives the log its streamed name if it is due.
void mark_if_streamed() {
    bool mark;
    {
        std::lock_guard<PiMutex> lock(writing);
        mark = live && streamed && !ended;
    }
    if (mark && !marked)
        mark_streamed();
}

// The log's own thread, of normal priority: a turn-over and the second name change the
// directory, which may take long on a busy disk, and only the ends of the process wait for
// that.
void* log_thread(void*) {
    for (;;) {
        while (sem_wait(&work) != 0) {
        }
        std::lock_guard<PiMutex> lock(names);
        bool turn;
        {
            std::lock_guard<PiMutex> w(writing);
            turn = turn_over_due && !ended;
        }
        if (turn)
            begin("Log continued\n");
        else
            mark_if_streamed();
    }
}
}  // namespace

void debug_log_prepare() {
    null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
}

void debug_log_start() {
    std::lock_guard<PiMutex> lock(names);
    sem_init(&work, 0, 0);
    begin("Start log file\n");
    pthread_t thread;
    if (pthread_create(&thread, nullptr, log_thread, nullptr) == 0)
        pthread_detach(thread);  // without it the log stops at its bound, its loss said
}

void stream_log(const char* line) {
    int loss;
    {
        std::lock_guard<PiMutex> lock(writing);
        loss = emit(line);
    }
    say_loss(loss);
}

void stream_logf(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    if (n >= int(sizeof line))
        line[sizeof line - 2] = '\n';  // a cut line still ends as a line
    stream_log(line);
}

void debug_log_settle() {
    if (!names.lock_within_a_second())
        return;
    mark_if_streamed();
    names.unlock();
}

void debug_log_end(const char* line) {
    const bool turning = names.lock_within_a_second();
    if (turning)
        mark_if_streamed();
    {
        std::lock_guard<PiMutex> lock(writing);
        emit(line);
        ended = true;
    }
    if (turning)
        names.unlock();
}

void debug_log_streamed() {
    std::lock_guard<PiMutex> lock(writing);
    if (!live || streamed)
        return;
    streamed = true;
    sem_post(&work);
}
