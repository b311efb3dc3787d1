#include "driver/fatal_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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

void report(const char* format, va_list args) {
    if (stopping())
        return;
    char line[1024];
    int length = stderr_is_journal() ? snprintf(line, sizeof line, "<3>") : 0;
    int n = vsnprintf(line + length, sizeof line - size_t(length), format, args);
    if (n < 0)
        return;
    length += n;
    if (length >= int(sizeof line)) {
        length = int(sizeof line) - 1;
        line[length - 1] = '\n';  // a cut line still ends as a line
    }
    // Bounded, as a standard error nobody reads must not keep the process from ending.
    stderr_line_bounded(line, 1000);
}

[[noreturn]] void end_with(int status, bool logged, const char* format, va_list args) {
    if (logged) {
        char message[256];
        va_list copy;
        va_copy(copy, args);
        if (vsnprintf(message, sizeof message, format, copy) >= int(sizeof message))
            message[sizeof message - 2] = '\n';
        va_end(copy);
        stream_log(message);
    }
    report(format, args);
    fatal_exit(status);
}
}  // namespace

void report_fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    report(format, args);
    va_end(args);
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
