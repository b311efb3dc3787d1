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
}  // namespace

void report_fatal(const char* format, ...) {
    // A stop under way closes the ports under the other threads: what then fails in them is
    // the stop, not a fault to report.
    if (stopping())
        return;
    char line[1024];
    int length = stderr_is_journal() ? snprintf(line, sizeof line, "<3>") : 0;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + length, sizeof line - size_t(length), format, args);
    va_end(args);
    if (n < 0)
        return;
    length += n;
    if (length >= int(sizeof line)) {
        length = int(sizeof line) - 1;
        line[length - 1] = '\n';  // a cut line still ends as a line
    }
    fflush(stderr);
    // Bounded, as a standard error nobody reads must not keep the process from ending.
    stderr_line_bounded(line, 1000);
}

void fail_logged(const char* format, ...) {
    char message[256];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    puts(message);
    report_fatal("%s\n", message);
    fatal_exit(1);
}
