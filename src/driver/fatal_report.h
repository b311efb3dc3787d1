// The reason of a fatal end, where the journal files it as an error.
#pragma once

// Writes one formatted line to standard error in a single write, so that no other thread's
// line lands inside it. When standard error is the journal's stream, the line carries the
// "<3>" prefix that gives it priority err (journalctl -p err shows it); on a terminal or in
// a file it is written as it is.
void report_fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the process with status 1 after a fatal error (through fatal_exit), its reason a line
// of its own in the debug log and, as report_fatal writes it, in the journal.
[[noreturn]] void fail_logged(const char* format, ...) __attribute__((format(printf, 1, 2)));
