// The debug log: standard output once the sensor is found, bounded on disk, and the last
// run's log kept, so that the reason of an end outlives the supervisor's restart.
#pragma once

// Keeps the log that is there as "qrm_debug_output.txt.1", redirects standard output to a
// new "qrm_debug_output.txt" and writes its first line, "Start log file".
void debug_log_start();

// To be called after a line is written to standard output. Once the log has reached its
// size limit, it becomes "qrm_debug_output.txt.1" and a new one begins with "Log continued".
// Costs a position lookup on the stream; does nothing before debug_log_start.
void debug_log_check();
