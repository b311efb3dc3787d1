// How the process ends: after a fatal error, or at the end of a stop.
#pragma once

// Ends the process with status after a fatal error, unless a stop is already ending it:
// then the calling thread waits for that end. The stop closes the ports, which makes the
// other threads' reads and writes fail, and their end must not race the stop's and turn a
// clean stop (status 2) into a failure. Like the stop's, the end does not wait on stdio
// (_exit): every line is written and flushed by then, and exit's flush of a stream that a
// thread blocked on a full pipe holds would wait for ever.
[[noreturn]] void fatal_exit(int status);

// Marks a stop as under way, for good; the stop then ends the process itself.
void begin_stop();

// True once a stop signal is being handled.
bool stopping();
