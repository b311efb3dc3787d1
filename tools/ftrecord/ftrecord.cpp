// ftrecord: records the raw bytes that a sensor port delivers, with their arrival times, so
// that a fault seen in the field can be replayed on the bench (tools/ftreplay).
//
//   ftrecord [--seconds S] PORT FILE
//
// The port is opened as the daemon opens it (init_serialport at 460800 baud: exclusive, raw,
// reads returning after 0.1 s of silence, low latency), so the reads see what the daemon's
// reads would see. FILE is text: a few '#' lines, then one line per read that delivered bytes,
//   <microseconds since the port was opened> <the bytes, two lower-case hex digits each>
// Stops after S seconds, or on SIGINT or SIGTERM. Exit status: 0 done, 1 the port or the file
// failed, 2 usage.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "sensor/serial_port.h"

namespace {
volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

[[noreturn]] void usage(const char* why) {
    fprintf(stderr, "ftrecord: %s\nusage: ftrecord [--seconds S] PORT FILE\n", why);
    exit(2);
}

int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

int main(int argc, char** argv) {
    double seconds = 0;  // 0: until a signal
    int i = 1;
    if (i < argc && strcmp(argv[i], "--seconds") == 0) {
        if (i + 1 >= argc) usage("--seconds needs a value");
        char* end;
        seconds = strtod(argv[i + 1], &end);
        if (!*argv[i + 1] || *end || !(seconds > 0) || seconds > 1e6) usage("not a duration");
        i += 2;
    }
    if (argc - i != 2) usage("expected a port and a file");
    const char* port = argv[i];
    const char* path = argv[i + 1];

    // No SA_RESTART: a signal must interrupt the read so the loop sees the request at once.
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    FILE* out = fopen(path, "w");
    if (!out) {
        fprintf(stderr, "ftrecord: cannot write %s: %s\n", path, strerror(errno));
        return 1;
    }
    int fd = init_serialport(port, 460800);
    if (fd < 0) {
        fclose(out);
        return 1;
    }
    const int64_t start = now_us();
    char stamp[32];
    time_t wall = time(nullptr);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime(&wall));
    fprintf(out,
            "# ftrecord capture 1\n"
            "# port %s at 460800 baud, opened %s\n"
            "# <microseconds since the port was opened> <bytes of one read, in hex>\n",
            port, stamp);
    fprintf(stderr, "ftrecord: recording %s to %s\n", port, path);

    static const char hex[] = "0123456789abcdef";
    unsigned char buf[4096];
    std::string line;
    long long total = 0, reads = 0;
    int status = 0;
    while (!stop_requested) {
        if (seconds > 0 && double(now_us() - start) >= seconds * 1e6) break;
        ssize_t n = read(fd, buf, sizeof buf);
        int64_t t = now_us() - start;
        if (n < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "ftrecord: reading %s failed: %s\n", port, strerror(errno));
            status = 1;
            break;
        }
        if (n == 0) continue;  // 0.1 s of silence; the gap shows in the next line's time
        line = std::to_string(t);
        line += ' ';
        for (ssize_t k = 0; k < n; ++k) {
            line += hex[buf[k] >> 4];
            line += hex[buf[k] & 15];
        }
        line += '\n';
        // Flushed line by line: a recording cut short by a crash still holds what came.
        if (fputs(line.c_str(), out) == EOF || fflush(out) != 0) {
            fprintf(stderr, "ftrecord: writing %s failed: %s\n", path, strerror(errno));
            status = 1;
            break;
        }
        total += n;
        ++reads;
    }
    close(fd);
    if (fclose(out) != 0 && status == 0) {
        fprintf(stderr, "ftrecord: writing %s failed: %s\n", path, strerror(errno));
        status = 1;
    }
    fprintf(stderr, "ftrecord: %lld bytes in %lld reads over %.1f s\n", total, reads,
            double(now_us() - start) / 1e6);
    return status;
}
