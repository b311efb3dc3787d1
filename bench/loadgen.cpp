// Load generator for the benchmark: the sensor and the controller in one process.
//
// A writer thread feeds sensor frames into a pty whose slave is linked as the sensor's port;
// a reader thread serves the controller's RTDE port and reads the data packages. Both stamp
// CLOCK_MONOTONIC, so a frame's latency is the time from its last byte written to its
// package read. Every frame carries its sequence number in force[2], which is how packages
// are matched to frames (through the filter, by inverting its recurrence).
//
// Protocol with the driver, on stdin/stdout:
//   -> "READY"                 pty linked, port listening, warm-up frames flowing
//   -> "STREAMING"             packages arrive
//   <- "GO <pid> <allocfile>"  measure now (allocfile "-" when none)
//   -> "RESULT {json}"         figures of the measured phase

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sensor/frame.h"

namespace {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void die(const char* what) {
    fprintf(stderr, "loadgen: %s: %s\n", what, strerror(errno));
    exit(2);
}

struct Options {
    std::string link = "/dev/ttyUSB0";
    bool paced = false;
    long frames = 200000;
    double rate = 1245.0;
    // How packages map a frame's values: "mapped" (the bridge's axes, filter off),
    // "filtered" (the bridge with its low-pass at alpha), "raw" (a relay copying in order).
    std::string verify = "mapped";
    double alpha = 0.0;
    std::string dump;  // file for per-frame written/read times, for a closer look
};

// The frame for sequence number s; force[2] carries s itself (exact in a float below 2^24).
void frame_values(long s, float force[3], float torque[3]) {
    force[0] = 0.25f * float(s % 1000);
    force[1] = -0.5f * float(s % 777);
    force[2] = float(s % (1L << 24));
    torque[0] = 0.125f * float(s % 333);
    torque[1] = 1.5f;
    torque[2] = -2.0f;
}

SensorFrame make_frame(long s) {
    float f[3], t[3];
    frame_values(s, f, t);
    return encode_frame(0, f, t, uint32_t(s * 803));
}

double be_double(const uint8_t* p) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = bits << 8 | p[i];
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

struct Shared {
    Options opt;
    int master = -1;
    std::atomic<bool> go{false};
    std::atomic<bool> writer_done{false};
    std::atomic<long> first_measured{-1};  // sequence number of the first measured frame
    std::atomic<long> packages{0};
    std::vector<int64_t> written_ns;  // per measured frame
    std::vector<int64_t> read_ns;     // per measured frame, 0 when its package never came
    long lost = 0, out_of_order = 0, received = 0;
    std::atomic<long> corrupted{0};  // packages whose values match no frame
    bool write_stalled = false;
};

// Writes all of buf to the non-blocking master, waiting for room; false when the reader
// side took nothing for 5 s (the bridge is gone or stuck: never block for ever).
bool write_all(int fd, const uint8_t* buf, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w > 0) {
            buf += w;
            n -= size_t(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 5000) == 0)
            return false;
    }
    return true;
}

void writer(Shared& sh) {
    long seq = 0;
    // Warm-up: a frame every millisecond until the driver says go; what does not fit while
    // nobody reads the port is dropped, as a real line would lose it.
    while (!sh.go.load()) {
        SensorFrame f = make_frame(seq++);
        (void)!write(sh.master, f.bytes, frame_size);
        usleep(1000);
    }
    const long n = sh.opt.frames;
    const long first = seq;
    sh.first_measured.store(first);
    if (!sh.opt.paced) {
        // As fast as the pty takes them, a batch per write so the generator is not the limit.
        constexpr long batch = 64;
        std::vector<uint8_t> buf(batch * frame_size);
        for (long i = 0; i < n; i += batch) {
            long m = std::min(batch, n - i);
            for (long k = 0; k < m; ++k) {
                SensorFrame f = make_frame(first + i + k);
                std::memcpy(&buf[k * frame_size], f.bytes, frame_size);
            }
            if (!write_all(sh.master, buf.data(), size_t(m * frame_size))) {
                sh.write_stalled = true;
                break;
            }
            int64_t t = now_ns();
            for (long k = 0; k < m; ++k) sh.written_ns[i + k] = t;
        }
    } else {
        const int64_t period = int64_t(1e9 / sh.opt.rate);
        int64_t start = now_ns() + 1000000;
        for (long i = 0; i < n; ++i) {
            int64_t due = start + i * period;
            timespec ts{time_t(due / 1000000000), long(due % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            SensorFrame f = make_frame(first + i);
            if (!write_all(sh.master, f.bytes, frame_size)) {
                sh.write_stalled = true;
                break;
            }
            sh.written_ns[i] = now_ns();
        }
    }
    sh.writer_done.store(true);
}

int listen_controller() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        die("socket");
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(30004);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        die("bind 30004");
    if (listen(s, 1) != 0)
        die("listen");
    return s;
}

bool read_exact(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// The controller: answers the set-up, then reads and matches packages.
void reader(Shared& sh, int listener) {
    int c = accept(listener, nullptr, nullptr);
    if (c < 0)
        die("accept");
    uint8_t req[24];
    if (!read_exact(c, req, sizeof req) || std::memcmp(req, "\x00\x18Iexternal_force_torque", 24))
        die("set-up request");
    const uint8_t reply[] = {0x00, 0x0C, 'I', 1, 'V', 'E', 'C', 'T', 'O', 'R', '6', 'D'};
    if (write(c, reply, sizeof reply) != ssize_t(sizeof reply))
        die("set-up reply");
    timeval tv{1, 0};  // lets the loop notice the end of a run that lost packages
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    const Options& o = sh.opt;
    const long n = o.frames;
    std::vector<uint8_t> buf(1 << 16);
    size_t have = 0;
    double prev_out = NAN;  // previous package's channel 2, for the filter's inversion
    long expected = -1;
    int64_t last_progress = now_ns();
    for (;;) {
        ssize_t r = read(c, buf.data() + have, buf.size() - have);
        int64_t t = now_ns();
        if (r == 0)
            break;
        if (r < 0) {
            if (errno != EAGAIN && errno != EINTR)
                break;
        } else {
            have += size_t(r);
        }
        size_t pos = 0;
        for (; have - pos >= 52; pos += 52) {
            const uint8_t* p = &buf[pos];
            if (p[0] != 0 || p[1] != 52 || p[2] != 'U' || p[3] != 1)
                die("malformed package");
            sh.packages.fetch_add(1, std::memory_order_relaxed);
            double v[6];
            for (int k = 0; k < 6; ++k) v[k] = be_double(p + 4 + 8 * k);
            long seq;
            if (o.verify == "filtered") {
                if (std::isnan(prev_out)) {
                    prev_out = v[2];
                    continue;
                }
                seq = std::lround(prev_out + (v[2] - prev_out) / o.alpha);
                prev_out = v[2];
            } else {
                if (!(v[2] >= 0 && v[2] < double(1L << 24))) {
                    ++sh.corrupted;
                    continue;
                }
                seq = long(v[2]);
                float f[3], tq[3];
                frame_values(seq, f, tq);
                const double want_mapped[6] = {f[1], -f[0], f[2], tq[1], -tq[0], tq[2]};
                const double want_raw[6] = {f[0], f[1], f[2], tq[0], tq[1], tq[2]};
                const double* want = o.verify == "raw" ? want_raw : want_mapped;
                if (double(seq) != v[2] || std::memcmp(want, v, sizeof v) != 0) {
                    ++sh.corrupted;
                    continue;
                }
            }
            long first = sh.first_measured.load();
            if (first < 0 || seq < first)
                continue;  // warm-up
            long i = seq - first;
            if (expected < 0)
                expected = 0;
            if (i >= n) {
                ++sh.corrupted;
                continue;
            }
            if (i < expected) {
                ++sh.out_of_order;
                continue;
            }
            if (i > expected)
                sh.lost += i - expected;
            sh.read_ns[i] = t;
            ++sh.received;
            expected = i + 1;
            last_progress = t;
        }
        std::memmove(buf.data(), buf.data() + pos, have - pos);
        have -= pos;
        if (expected >= n)
            break;
        if (sh.writer_done.load() && t - last_progress > 2000000000LL)
            break;
    }
    if (expected < n)
        sh.lost += n - std::max(expected, 0L);
    close(c);
}

struct ProcSample {
    double cpu_ticks_s = -1;  // utime+stime in seconds (clock ticks)
    double run_ns = -1;       // sum of the threads' on-CPU time, from schedstat
    long rss_kib = -1;
    long hwm_kib = -1;
    long allocs = -1;
};

ProcSample sample_proc(int pid, const std::string& allocfile) {
    ProcSample s;
    if (pid <= 0)
        return s;
    char path[128];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    if (FILE* f = fopen(path, "r")) {
        char line[2048];
        if (fgets(line, sizeof line, f)) {
            const char* p = strrchr(line, ')');
            unsigned long ut = 0, st = 0;
            // Fields after the command: state is field 3, utime 14, stime 15.
            if (p &&
                sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) == 2)
                s.cpu_ticks_s = double(ut + st) / double(sysconf(_SC_CLK_TCK));
        }
        fclose(f);
    }
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    if (FILE* f = fopen(path, "r")) {
        char line[256];
        while (fgets(line, sizeof line, f)) {
            sscanf(line, "VmRSS: %ld", &s.rss_kib);
            sscanf(line, "VmHWM: %ld", &s.hwm_kib);
        }
        fclose(f);
    }
    snprintf(path, sizeof path, "/proc/%d/task", pid);
    std::string cmd = std::string("cat ") + path + "/*/schedstat 2>/dev/null";
    if (FILE* f = popen(cmd.c_str(), "r")) {
        double total = 0, run;
        while (fscanf(f, "%lf %*s %*s", &run) == 1) total += run;
        pclose(f);
        s.run_ns = total;
    }
    if (allocfile != "-") {
        int fd = open(allocfile.c_str(), O_RDONLY);
        uint64_t count;
        if (fd >= 0 && pread(fd, &count, sizeof count, 0) == ssize_t(sizeof count))
            s.allocs = long(count);
        if (fd >= 0)
            close(fd);
    }
    return s;
}

double percentile(std::vector<double>& v, double q) {
    if (v.empty())
        return NAN;
    size_t k = size_t(std::ceil(q * double(v.size()))) - 1;
    return v[std::min(k, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    Shared sh;
    Options& o = sh.opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--link")
            o.link = v;
        else if (k == "--mode")
            o.paced = v == "paced";
        else if (k == "--frames")
            o.frames = atol(v.c_str());
        else if (k == "--rate")
            o.rate = atof(v.c_str());
        else if (k == "--verify")
            o.verify = v;
        else if (k == "--alpha")
            o.alpha = atof(v.c_str());
        else if (k == "--dump")
            o.dump = v;
        else {
            fprintf(stderr, "loadgen: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (o.frames <= 0 || o.frames >= (1L << 23)) {
        fprintf(stderr, "loadgen: --frames must be in 1..2^23\n");
        return 2;
    }
    sh.written_ns.assign(size_t(o.frames), 0);
    sh.read_ns.assign(size_t(o.frames), 0);

    // The sensor's end: a pty pair in raw mode from the start, the slave held open by us so
    // the pair outlives the bridge's closes and reopens of its port.
    sh.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (sh.master < 0 || grantpt(sh.master) != 0 || unlockpt(sh.master) != 0)
        die("posix_openpt");
    const char* slave_name = ptsname(sh.master);
    if (!slave_name)
        die("ptsname");
    std::string slave_path = slave_name;
    int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0)
        die("open slave");
    termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    tcgetattr(sh.master, &tio);
    cfmakeraw(&tio);
    tcsetattr(sh.master, TCSANOW, &tio);
    unlink(o.link.c_str());
    if (symlink(slave_path.c_str(), o.link.c_str()) != 0)
        die("symlink");

    int listener = listen_controller();
    std::thread rd(reader, std::ref(sh), listener);
    std::thread wr(writer, std::ref(sh));
    printf("READY\n");
    fflush(stdout);

    while (sh.packages.load() < 50) usleep(2000);
    printf("STREAMING\n");
    fflush(stdout);

    char line[512];
    int pid = 0;
    char allocfile[400] = "-";
    if (!fgets(line, sizeof line, stdin) || sscanf(line, "GO %d %399s", &pid, allocfile) < 1) {
        fprintf(stderr, "loadgen: expected GO <pid> <allocfile>\n");
        return 2;
    }
    ProcSample before = sample_proc(pid, allocfile);
    long corrupted_before = sh.corrupted;
    sh.go.store(true);
    wr.join();
    rd.join();
    ProcSample after = sample_proc(pid, allocfile);
    unlink(o.link.c_str());

    // Figures over the frames whose packages arrived.
    const long n = o.frames;
    std::vector<double> lat_us;
    lat_us.reserve(size_t(n));
    int64_t t_first = sh.written_ns[0], t_last = 0;
    for (long i = 0; i < n; ++i) {
        if (sh.read_ns[i] == 0 || sh.written_ns[i] == 0)
            continue;
        lat_us.push_back(double(sh.read_ns[i] - sh.written_ns[i]) / 1e3);
        t_last = std::max(t_last, sh.read_ns[i]);
    }
    if (!o.dump.empty()) {
        if (FILE* f = fopen(o.dump.c_str(), "w")) {
            for (long i = 0; i < n; ++i)
                fprintf(f, "%ld %lld %lld\n", i, (long long)sh.written_ns[i],
                        (long long)sh.read_ns[i]);
            fclose(f);
        }
    }
    std::sort(lat_us.begin(), lat_us.end());
    double span_s = double(t_last - t_first) / 1e9;
    double mean = 0;
    for (double x : lat_us) mean += x;
    mean = lat_us.empty() ? NAN : mean / double(lat_us.size());

    auto num = [](double x) {
        char b[64];
        if (std::isnan(x))
            snprintf(b, sizeof b, "null");
        else
            snprintf(b, sizeof b, "%.6g", x);
        return std::string(b);
    };
    std::string j = "{";
    j += "\"frames\":" + std::to_string(n);
    j += ",\"received\":" + std::to_string(sh.received);
    j += ",\"lost\":" + std::to_string(sh.lost);
    j += ",\"out_of_order\":" + std::to_string(sh.out_of_order);
    j += ",\"corrupted\":" + std::to_string(sh.corrupted - corrupted_before);
    j += ",\"write_stalled\":" + std::string(sh.write_stalled ? "true" : "false");
    j += ",\"span_s\":" + num(span_s);
    j += ",\"frames_per_s\":" + num(span_s > 0 ? double(sh.received) / span_s : NAN);
    j += ",\"lat_us\":{\"mean\":" + num(mean) + ",\"p50\":" + num(percentile(lat_us, 0.5)) +
         ",\"p99\":" + num(percentile(lat_us, 0.99)) +
         ",\"p999\":" + num(percentile(lat_us, 0.999)) +
         ",\"max\":" + num(lat_us.empty() ? NAN : lat_us.back()) + "}";
    double cpu_ticks = after.cpu_ticks_s - before.cpu_ticks_s;
    double run_s = (after.run_ns - before.run_ns) / 1e9;
    j += ",\"cpu_pct\":" + num(span_s > 0 ? 100 * cpu_ticks / span_s : NAN);
    j += ",\"cpu_sched_pct\":" + num(span_s > 0 ? 100 * run_s / span_s : NAN);
    j += ",\"rss_kib_start\":" + std::to_string(before.rss_kib);
    j += ",\"rss_kib_end\":" + std::to_string(after.rss_kib);
    j += ",\"hwm_kib_end\":" + std::to_string(after.hwm_kib);
    j += ",\"allocs\":" + std::to_string(after.allocs >= 0 ? after.allocs - before.allocs : -1);
    j += "}";
    printf("RESULT %s\n", j.c_str());
    fflush(stdout);
    close(listener);
    return 0;
}
