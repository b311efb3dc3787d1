// The debug log: standard output once the sensor is found, bounded on disk, and the last
// run's log kept, so that the reason of an end outlives the supervisor's restart; the log of
// the last run that streamed is kept through any number of failed starts.
#pragma once

// Holds what the log's fallback needs (/dev/null) before any other thread can take the last
// descriptor. Called once, first thing at start-up.
void debug_log_prepare();

// Keeps the log that is there as "qrm_debug_output.txt.1", redirects standard output to a
// new "qrm_debug_output.txt" and writes its first line, "Start log file". Called before
// anything is written to standard output.
void debug_log_start();

// To be called after a line is written to standard output. Once the log has reached its
// size limit, it becomes "qrm_debug_output.txt.1" and a new one begins with "Log continued";
// in a run that has streamed, the new one is "qrm_debug_output.txt.streamed" too.
// Costs a position lookup on the stream; does nothing before debug_log_start.
void debug_log_check();

// To be called once the first data package has gone: the current log is also named
// "qrm_debug_output.txt.streamed" (replacing the earlier run's), so that failed starts
// do not push it out. Does nothing before debug_log_start or after its first call.
void debug_log_streamed();
