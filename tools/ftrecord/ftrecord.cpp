// ftrecord: records the raw bytes that a sensor port delivers, with their arrival times, so
// that a fault seen in the field can be replayed on the bench (tools/ftreplay).
//
//   ftrecord [--seconds S] [--force] PORT FILE
//
// The port is opened as the daemon opens it (init_serialport at 460800 baud: exclusive, raw,
// reads returning after 0.1 s of silence, low latency), so the reads see what the daemon's
// reads would see. FILE is text: a few '#' lines, then one line per read that delivered bytes,
//   <microseconds since the port was opened> <the bytes, two lower-case hex digits each>
// Stops after S seconds, or on SIGINT or SIGTERM. A port that another process holds open (the
// daemon, say) is refused unless --force: two readers would each get part of the bytes.
// Exit status: 0 done, 1 the port or the file failed, or another process holds the port,
// 2 usage.

#include <dirent.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "sensor/serial_port.h"

namespace {
volatile sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

const char* const usage_text =
    "usage: ftrecord [--seconds S] [--force] PORT FILE\n"
    "Records the bytes the sensor port PORT delivers, with their times, into FILE.\n"
    "\n"
    "  --seconds S    stop after S seconds (default: at SIGINT or SIGTERM)\n"
    "  --force        record even when another process holds the port open\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "exit status: 0 done, 1 the port or the file failed, or another process holds the port,\n"
    "2 usage error\n";

[[noreturn]] void usage(const std::string& why) {
    fprintf(stderr, "ftrecord: %s\nusage: ftrecord [--seconds S] [--force] PORT FILE\n",
            why.c_str());
    exit(2);
}

bool is_pty_slave(dev_t rdev) {
    return major(rdev) >= 136 && major(rdev) <= 143;  // the Unix98 pty slave majors
}

// Other processes with the device behind path open, as "PID (name)". The exclusive flag keeps
// out other users' opens, but not root's: their descriptors are looked for instead. Processes
// whose descriptors cannot be read are not ours to see, and the flag covers those.
std::vector<std::string> port_holders(const char* path) {
    std::vector<std::string> found;
    struct stat port;
    if (stat(path, &port) != 0 || !S_ISCHR(port.st_mode))
        return found;
    DIR* proc = opendir("/proc");
    if (!proc)
        return found;
    const std::string self = std::to_string(getpid());
    while (dirent* p = readdir(proc)) {
        if (!isdigit(static_cast<unsigned char>(p->d_name[0])) || p->d_name == self)
            continue;
        std::string fd_dir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (!fds)
            continue;
        while (dirent* f = readdir(fds)) {
            struct stat st;
            if (f->d_name[0] == '.' || stat((fd_dir + "/" + f->d_name).c_str(), &st) != 0)
                continue;
            // A pty slave's number is only unique within its devpts instance, and another
            // instance (a container's, a sandbox's) has its own /dev/pts/N.
            bool same_pty_instance = !is_pty_slave(port.st_rdev) || st.st_dev == port.st_dev;
            if (S_ISCHR(st.st_mode) && st.st_rdev == port.st_rdev && same_pty_instance) {
                std::string name;
                std::getline(std::ifstream(std::string("/proc/") + p->d_name + "/comm"), name);
                found.push_back(std::string(p->d_name) + " (" + name + ")");
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

int main(int argc, char** argv) {
    double seconds = 0;  // 0: until a signal
    bool force = false;
    static const option options[] = {{"seconds", required_argument, nullptr, 's'},
                                     {"force", no_argument, nullptr, 'f'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {"version", no_argument, nullptr, 'V'},
                                     {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", options, nullptr)) != -1) {
        switch (c) {
            case 's': {
                char* end;
                seconds = strtod(optarg, &end);
                if (!*optarg || *end || !(seconds > 0) || seconds > 1e6)
                    usage("not a duration");
                break;
            }
            case 'f':
                force = true;
                break;
            case 'h':
                fputs(usage_text, stdout);
                return 0;
            case 'V':
                printf("ftrecord %s\n", FTBRIDGE_VERSION);
                return 0;
            case ':':
                usage(std::string(argv[optind - 1]) + " needs a value");
            default:
                usage(std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (argc - optind != 2)
        usage("expected a port and a file");
    const char* port = argv[optind];
    const char* path = argv[optind + 1];

    if (!force) {
        std::vector<std::string> holders = port_holders(port);
        if (!holders.empty()) {
            std::string list;
            for (const std::string& h : holders)
                list += (list.empty() ? "" : ", ") + h;
            fprintf(stderr,
                    "ftrecord: %s is open in another process: %s; two readers would each get "
                    "part of the bytes. Stop it first, or use --force to record anyway\n",
                    port, list.c_str());
            return 1;
        }
    }

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
