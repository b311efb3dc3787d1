#include "driver/fatal_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "driver/debug_log.h"
#include "driver/diagnostics.h"
#include "driver/fatal_exit.h"

namespace {
// systemd names the stream it connects to a service's standard error in JOURNAL_STREAM as
// "device:inode"; a descriptor inherited by something else does not match it.
bool stderr_is_journal() {
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st;
    if (!stream || sscanf(stream, "%llu:%llu", &device, &inode) != 2 || fstat(2, &st) != 0)
        return false;
    return st.st_dev == device && st.st_ino == inode;
}

// Bounded, as a standard error nobody reads must not keep the process from ending. A stop
// under way closes the ports under the other threads: what then fails is the stop, no fault.
void report_line(const char* line) {
    if (!stopping())
        stderr_line_bounded(line, 1000);
}

// The reason as one line, "<3>" first where the journal reads it; returns the prefix's length.
int format_reason(char (&line)[1024], const char* format, va_list args) {
    const int prefix = stderr_is_journal() ? snprintf(line, sizeof line, "<3>") : 0;
    const int n = vsnprintf(line + prefix, sizeof line - size_t(prefix), format, args);
    if (n < 0)
        line[prefix] = 0;
    else if (prefix + n >= int(sizeof line))
        line[sizeof line - 2] = '\n';  // a cut line still ends as a line
    return prefix;
}

[[noreturn]] void end_with(int status, bool logged, const char* format, va_list args) {
    char line[1024];
    const int prefix = format_reason(line, format, args);
    if (logged)
        stream_log(line + prefix);
    report_line(line);
    debug_log_settle();  // a run that streamed for a moment still keeps its log
    fatal_exit(status);
}
}  // namespace

void report_fatal(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    format_reason(line, format, args);
    va_end(args);
    report_line(line);
}

void fail(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    end_with(status, false, format, args);
}

void fail_logged(const char* format, ...) {
    va_list args;
    va_start(args, format);
    end_with(1, true, format, args);
}
