// Ending the process on SIGINT or SIGTERM with its ports closed.
#pragma once

#include <atomic>
#include <mutex>

// The descriptors the stop closes: the sensor port open at the moment and the controller
// connection (-1 while there is none). Process-wide for that reason; atomic, as the stop
// reads them on a thread of its own.
extern std::atomic<int> sensor_fd;
extern std::atomic<int> rtde_socket;

// Reports the signal (bounded, on standard output and standard error), waits for a command
// sequence to the sensor to end, closes the sensor port and the controller socket, and ends
// the process with status 2 (SIGINT's number) whichever signal it was, without waiting on
// stdio.
[[noreturn]] void interrupt_handler(int signal_number);

// Held for the whole of a command sequence to the sensor; the interrupt handler takes it
// (waiting 4 s at most) before it closes the port, and keeps it. A sequence that gets it
// after the stop has begun must not start (stopping()).
std::timed_mutex& sensor_command_lock();

// Routes SIGINT and SIGTERM to interrupt_handler and ignores SIGHUP. The handler runs on a
// thread of its own that waits for the signal, not inside an asynchronous signal handler: it
// takes locks and writes, which is only safe in ordinary thread context while other threads run.
// Must be called before any other thread exists, so that every later thread inherits the blocked
// signal. Also ignores SIGPIPE: a vanished peer then shows as a failed write (EPIPE),
// not as the end of the process. Returns 0, or non-zero when the thread cannot be created.
int install_interrupt_handler();
