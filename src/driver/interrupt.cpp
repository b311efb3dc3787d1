#include "driver/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "driver/debug_log.h"
#include "driver/diagnostics.h"
#include "driver/fatal_exit.h"
#include "sensor/probe.h"

std::atomic<int> sensor_fd{-1};
std::atomic<int> rtde_socket{-1};

namespace {
// SIGINT's number: the status of every clean stop, whichever signal asked for it.
constexpr int stop_status = 2;
std::timed_mutex sensor_commands;
// A sequence takes a little over 2 s; a write that hangs on a wedged adapter must not
// keep the stop waiting for ever.
constexpr std::chrono::seconds command_wait{4};
}  // namespace

std::timed_mutex& sensor_command_lock() {
    return sensor_commands;
}

namespace {
// Closes the port behind fd and leaves in its place one end of a socket pair that nobody
// ever reads or writes: a read on it waits, a write fills it and then waits. The main
// thread, which may be using the descriptor at this moment, thus blocks until the exit
// instead of failing and reporting an error that did not happen, and the number cannot be
// handed to a new control connection that the stream would then write into.
void close_port(int fd, int placeholder) {
    if (fd < 0)
        return;
    if (placeholder < 0 || dup2(placeholder, fd) < 0)
        close(fd);
}
}  // namespace

void interrupt_handler(int signal_number) {
    begin_stop();
    end_stream_lines();
    char line[48];
    snprintf(line, sizeof line, "Interrupt signal (%i) received.\n", signal_number);
    stderr_line_bounded(line, 1000);
    // A command sequence under way ends first (about 2 s): a sensor stopped between its "s"
    // and its "#R" stays silent until it is powered off. The lock is never given back, and a
    // sequence that wins it before the stop does starts nothing, so none starts after this.
    (void)sensor_command_lock().try_lock_for(command_wait);
    // Where the exit's flush would have put it, behind the sequence's echo: the log's last
    // line, or bounded on a standard output nobody reads before the log takes it.
    debug_log_end(line);
    stderr_line_bounded("Close ports!\n", 1000);
    int placeholder[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, placeholder) != 0)
        placeholder[0] = -1;
    restore_probed_port(sensor_fd);
    close_port(sensor_fd, placeholder[0]);
    close_port(rtde_socket, placeholder[0]);
    _exit(stop_status);  // as fatal_exit does: nothing waits on stdio
}

namespace {
sigset_t interrupt_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void* interrupt_thread(void*) {
    sigset_t set = interrupt_signals();
    for (;;) {
        int signal_number;
        if (sigwait(&set, &signal_number) == 0)
            interrupt_handler(signal_number);
    }
}
}  // namespace

int install_interrupt_handler() {
    signal(SIGPIPE, SIG_IGN);
    // Nothing to reload, and a hangup (a closed terminal, a log rotator's habit) is no reason
    // to leave the controller without data.
    signal(SIGHUP, SIG_IGN);
    sigset_t set = interrupt_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t thread;
    return pthread_create(&thread, nullptr, interrupt_thread, nullptr);
}
