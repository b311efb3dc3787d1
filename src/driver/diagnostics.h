// The one writer of a diagnostic line on standard error: bounded in time, a line goes whole
// or is counted dropped, never a fragment and then a repeat. The stream's lines never wait.
// The debug log's lines have their own writer (debug_log.h).
#pragma once

#include <atomic>
#include <cstdint>

// Lines that standard error (or standard output, for the stop's report) did not take whole
// or the debug log could not take (a full disk), and per-frame reports left out of standard
// error by their rate limit.
extern std::atomic<uint64_t> lines_dropped;
extern std::atomic<uint64_t> lines_left_out;

// Chooses how standard error is written without waiting. Called before any thread starts;
// until then it is polled, as in tests.
void diagnostics_start();

// Writes a line to standard error if it can start now; counts it in lines_dropped if not.
// Once the stop has begun, it writes nothing.
void stream_stderr(const char* line);

// A line that must not be lost lightly (a fatal reason, the stop's report): waits up to
// wait_ms for standard error to take it, so that a stuck reader cannot keep the process from
// ending. False when it did not go out whole.
bool stderr_line_bounded(const char* line, int wait_ms);

// The same on standard output, whatever it is at the moment.
bool stdout_line_bounded(const char* line, int wait_ms);

// Called by the stop once it has begun: waits for a stream line under way, after which the
// stream writes none, so the stop's own lines are the last.
void end_stream_lines();

// A per-frame report on standard error: a burst of a few, then a few a second at most.
struct ReportLimit {
    int64_t next_ns = 0;  // when the burst is whole again plus one interval
    unsigned long left_out = 0;
};
// True when the report may go out at now_ns (and the limit moves on); false counts it left out.
bool report_due(ReportLimit& limit, int64_t now_ns);
// The report through its limit; the first one to go out after others were left out is
// preceded by "Left out N more \"<line up to a colon>\" lines".
void stream_report(ReportLimit& limit, int64_t now_ns, const char* line);
