// How a thread ends the process after a fatal error while a stop may be under way.
#pragma once

// Ends the process with status after a fatal error, unless a stop is already ending it:
// then the calling thread waits for that end. The stop closes the ports, which makes the
// other threads' reads and writes fail, and their exit(1) must not race the stop's exit
// and turn a clean stop (status 2) into a failure.
[[noreturn]] void fatal_exit(int status);

// Marks a stop as under way, for good; the stop then ends the process itself.
void begin_stop();

// True once a stop signal is being handled.
bool stopping();
