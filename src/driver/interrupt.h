// Ending the process on SIGINT with its ports closed.
#pragma once

// Reports the signal, closes the sensor port and the controller socket, exits with
// the signal number.
[[noreturn]] void interrupt_handler(int signal_number);

// Ends the process with status after a fatal error, unless SIGINT is already ending it:
// then the calling thread waits for that end. The handler closes the ports, which makes
// the other threads' reads and writes fail, and their exit(1) must not race the handler's
// exit and turn a clean stop (status 2) into a failure.
[[noreturn]] void fatal_exit(int status);

// Routes SIGINT to interrupt_handler. The handler runs on a thread of its own that waits
// for the signal, not inside an asynchronous signal handler: it writes through stdio and
// exits, which is only safe in ordinary thread context while other threads run. Must be
// called before any other thread exists, so that every later thread inherits the blocked
// signal. Also ignores SIGPIPE: a vanished peer then shows as a failed write (EPIPE),
// not as the end of the process. Returns 0, or non-zero when the thread cannot be created.
int install_interrupt_handler();
