// The reason of a fatal end, where the journal files it as an error, and the end itself.
#pragma once

// Writes one formatted line to standard error in a single bounded write, so that no other
// thread's line lands inside it. When standard error is the journal's stream, the line
// carries the "<3>" prefix that gives it priority err (journalctl -p err shows it); on a
// terminal or in a file it is written as it is. Nothing once a stop has begun: what fails
// then is the stop closing the ports, not a fault.
void report_fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The one fatal end: the reason (a line, its line end included) as report_fatal writes it,
// then fatal_exit(status).
[[noreturn]] void fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// As fail with status 1, the reason first a line of its own in the debug log too.
[[noreturn]] void fail_logged(const char* format, ...) __attribute__((format(printf, 1, 2)));
