// The debug log: standard output once the sensor is found, written by one writer, bounded on
// disk, and the last run's log kept, so that the reason of an end outlives the supervisor's
// restart; the log of the last run that streamed is kept through any number of failed starts.
#pragma once

// Holds what the log's fallback needs (/dev/null) before any other thread can take the last
// descriptor. Called once, first thing at start-up.
void debug_log_prepare();

// Keeps the log that is there as "qrm_debug_output.txt.1", redirects standard output to a
// new "qrm_debug_output.txt" and writes its first line, "Start log file"; starts the thread
// that turns the log over. Called before anything else is written to standard output, on a
// thread of normal priority.
void debug_log_start();

// The one writer of a line on standard output. Before the log's start it goes to standard
// output as the daemon was started with (bounded in time); after it, into the log, whole or
// not at all, and never after the stop's line. A line the log cannot take (a full disk) is
// counted in lines_dropped and said once on standard error; the next one tries again. Once
// the log has reached its size limit, its thread makes it "qrm_debug_output.txt.1" and a new
// one begins with "Log continued": a writer never waits for that, only for another's line.
void stream_log(const char* line);
void stream_logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The stop's line, the last one: written after a turn-over under way (1 s at most), and
// nothing after it.
void debug_log_end(const char* line);

// To be called once the first data package has gone: the log's thread gives the current log
// also the name "qrm_debug_output.txt.streamed" (replacing the earlier run's), so that failed
// starts do not push it out; after a turn-over the name moves to the new log.
void debug_log_streamed();

// Before a fatal end: gives that name now if the thread has not yet (waiting 1 s at most for
// a turn-over under way). The stop's debug_log_end does the same.
void debug_log_settle();
