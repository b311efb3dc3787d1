// The sensor link's exact-length I/O, port set-up and probe, on pipes and ptys.

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/descriptor_io.h"
#include "driver/interrupt.h"
#include "pty_pair.h"
#include "sensor/frame.h"
#include "sensor/probe.h"
#include "sensor/serial_io.h"
#include "sensor/serial_port.h"

using testutil::PtyPair;
using namespace std::chrono_literals;

// No kernel object answers a write of n > 0 bytes with 0, so the retry path is reached through
// this interposer. It forwards every call unchanged (to the next definition, so sanitizer
// interceptors keep working) unless a test has armed it for one descriptor.
namespace {
std::atomic<int> fake_fd{-1};
std::atomic<int> fake_zero_results{0};  // first calls on fake_fd report 0 bytes written
std::atomic<size_t> fake_max_chunk{0};  // later calls write at most this many bytes (0: all)
std::atomic<int> fake_calls{0};

using write_fn = ssize_t (*)(int, const void*, size_t);
write_fn next_write() {
    static const write_fn next = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    return next;
}

struct WriteFake {
    WriteFake(int fd, int zero_results, size_t max_chunk) {
        fake_zero_results = zero_results;
        fake_max_chunk = max_chunk;
        fake_calls = 0;
        fake_fd = fd;
    }
    ~WriteFake() { fake_fd = -1; }
};
}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
    if (fd >= 0 && fd == fake_fd.load()) {
        ++fake_calls;
        if (fake_zero_results > 0) {
            --fake_zero_results;
            return 0;
        }
        size_t chunk = fake_max_chunk.load();
        if (chunk != 0 && count > chunk)
            count = chunk;
    }
    return next_write()(fd, buf, count);
}

namespace {

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (pipe(fds) != 0)
            std::abort();
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        close_reader();
        close_writer();
    }
    void close_reader() {
        if (r >= 0)
            close(r);
        r = -1;
    }
    void close_writer() {
        if (w >= 0)
            close(w);
        w = -1;
    }
};

// Restores sensor_fd, which the functions under test share through a global.
struct SensorFdGuard {
    int saved = sensor_fd;
    ~SensorFdGuard() { sensor_fd = saved; }
};

// Death tests here start threads in the dying process; fork() from a threaded process is unsafe.
struct ThreadsafeDeathTests {
    std::string saved = GTEST_FLAG_GET(death_test_style);
    ThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    ~ThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, saved); }
};

std::vector<uint8_t> pattern(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(first + 7 * i);
    return v;
}

std::vector<uint8_t> frame_bytes(uint32_t timestamp) {
    const float force[3] = {1.0f, -2.0f, 3.5f};
    const float torque[3] = {0.25f, -0.5f, 0.75f};
    SensorFrame f = encode_frame(0, force, torque, timestamp);
    return std::vector<uint8_t>(f.bytes, f.bytes + frame_size);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// read_fully / write_fully

TEST(ReadFully, CountZeroReadsNothing) {
    Pipe p;
    ASSERT_EQ(write(p.w, "x", 1), 1);
    char buf[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(read_fully(p.r, buf, 0), 0);
    EXPECT_EQ(buf[0], '-');
    EXPECT_EQ(read_fully(-1, buf, 0), 0);  // a read on -1 would have failed
    char left;
    ASSERT_EQ(read(p.r, &left, 1), 1);  // the byte is still in the pipe
    EXPECT_EQ(left, 'x');
}

TEST(ReadFully, AssemblesBytesFromSeveralReads) {
    Pipe p;
    std::vector<uint8_t> data = pattern(36, 3);
    ASSERT_EQ(write(p.w, data.data(), 10), 10);
    pid_t tid = testutil::current_tid();
    std::string pipe_name = testutil::fd_target(p.r);
    std::thread feeder([&] {
        // The rest only once the reader waits in read() with the first 10 already taken.
        if (testutil::await_thread_reading(tid, pipe_name, -1, 5000ms))
            EXPECT_EQ(write(p.w, data.data() + 10, 26), 26);
        else
            p.close_writer();
    });
    uint8_t buf[36] = {};
    EXPECT_EQ(read_fully(p.r, buf, 36), 0);
    feeder.join();
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 36), data);
}

TEST(ReadFully, ShortDataFailsAndKeepsWhatCame) {
    {
        SCOPED_TRACE("10 of 36 bytes, then 0.1 s of silence on a raw pty");
        PtyPair pty;
        std::vector<uint8_t> data = pattern(10, 0xF0);
        ASSERT_TRUE(pty.send(data));
        uint8_t buf[36];
        memset(buf, 0x5A, sizeof buf);
        EXPECT_EQ(read_fully(pty.slave, buf, 36), 1);
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + 10), data);
        EXPECT_EQ(buf[10], 0x5A);
    }
    {
        SCOPED_TRACE("end of data");
        Pipe p;
        ASSERT_EQ(write(p.w, "abcde", 5), 5);
        p.close_writer();
        char buf[8] = {};
        EXPECT_EQ(read_fully(p.r, buf, 8), 1);
        EXPECT_STREQ(buf, "abcde");
    }
    {
        SCOPED_TRACE("read error");
        char buf[1];
        EXPECT_EQ(read_fully(-1, buf, 1), 1);
    }
}

TEST(WriteFully, RetriesZeroAndShortWrites) {
    Pipe p;
    std::vector<uint8_t> data = pattern(36, 1);
    {
        WriteFake fake(p.w, 3, 5);
        EXPECT_EQ(write_fully(p.w, data.data(), 36), 0);
        EXPECT_EQ(fake_zero_results.load(), 0);
        EXPECT_EQ(fake_calls.load(), 3 + 8);  // three zero results, then 5+5+...+1
    }
    p.close_writer();  // a failed write must not leave the read below waiting
    uint8_t back[37];
    ASSERT_EQ(read(p.r, back, 37), 36);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 36), data);
}

TEST(WriteFully, CountZeroWritesNothingAndErrorsFailAtOnce) {
    Pipe p;
    {
        WriteFake fake(p.w, 0, 0);
        EXPECT_EQ(write_fully(p.w, "abc", 0), 0);
        EXPECT_EQ(fake_calls.load(), 0);
    }
    EXPECT_EQ(write_fully(-1, "abc", 3), 1);  // EBADF

    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    p.close_reader();
    {
        WriteFake fake(p.w, 0, 0);
        EXPECT_EQ(write_fully(p.w, "abc", 3), 1);  // EPIPE
        EXPECT_EQ(fake_calls.load(), 1);
    }
    sigaction(SIGPIPE, &old, nullptr);
}

// ---------------------------------------------------------------------------------------------
// read_byte

TEST(ReadByte, ReturnsUnsignedValues) {
    SensorFdGuard guard;
    Pipe p;
    const uint8_t bytes[] = {0x00, 0x7F, 0x80, 0xAA, 0xFF};
    ASSERT_EQ(write(p.w, bytes, sizeof bytes), ssize_t(sizeof bytes));
    sensor_fd = p.r;
    for (uint8_t b : bytes) EXPECT_EQ(read_byte(), int(b));
}

TEST(ReadByteDeathTest, NoByteEndsTheProcess) {
    EXPECT_EXIT(
        {
            Pipe p;
            p.close_writer();
            sensor_fd = p.r;
            read_byte();
        },
        testing::ExitedWithCode(1), "read_byte\\(\\) from serial port failed! Exiting\\.\\.\\.\n");
}

// ---------------------------------------------------------------------------------------------
// speed_code and init_serialport

TEST(SpeedCode, TableAndPassThrough) {
    EXPECT_EQ(speed_code(4800), speed_t(B4800));
    EXPECT_EQ(speed_code(9600), speed_t(B9600));
    EXPECT_EQ(speed_code(19200), speed_t(B19200));
    EXPECT_EQ(speed_code(38400), speed_t(B38400));
    EXPECT_EQ(speed_code(57600), speed_t(B57600));
    EXPECT_EQ(speed_code(115200), speed_t(B115200));
    EXPECT_EQ(speed_code(230400), speed_t(B230400));
    EXPECT_EQ(speed_code(460800), speed_t(4100));
    EXPECT_EQ(speed_code(12345), speed_t(12345));
    EXPECT_EQ(speed_code(0), speed_t(0));
}

TEST(InitSerialport, LeavesRawModeWithReadTimeout) {
    PtyPair pty;
    // Start from a cooked line, so that every raw setting has something to change.
    struct termios cooked;
    ASSERT_EQ(tcgetattr(pty.slave, &cooked), 0);
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &cooked), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &cooked), 0);

    int fd = init_serialport(pty.slave_path.c_str(), 460800);
    ASSERT_GE(fd, 0);
    struct termios got;
    ASSERT_EQ(tcgetattr(fd, &got), 0);
    close(fd);

    struct termios want = cooked;
    cfsetispeed(&want, B460800);
    cfsetospeed(&want, B460800);
    cfmakeraw(&want);
    EXPECT_EQ(got.c_iflag, want.c_iflag);
    EXPECT_EQ(got.c_oflag, want.c_oflag);
    EXPECT_EQ(got.c_cflag, want.c_cflag);
    EXPECT_EQ(got.c_lflag, want.c_lflag);
    EXPECT_EQ(got.c_cc[VMIN], 0);
    EXPECT_EQ(got.c_cc[VTIME], 1);
    EXPECT_EQ(cfgetispeed(&got), speed_t(4100));
    EXPECT_EQ(cfgetospeed(&got), speed_t(4100));
}

TEST(InitSerialport, OpensWithUnknownRateAndWithoutSerialDriverSettings) {
    // A pty refuses TIOCGSERIAL and a rate outside the table is refused by the speed setters;
    // neither may stop the open.
    PtyPair pty;
    testing::internal::CaptureStderr();
    int fd = init_serialport(pty.slave_path.c_str(), 12345);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_GE(fd, 0);
    struct termios got;
    ASSERT_EQ(tcgetattr(fd, &got), 0);
    EXPECT_EQ(got.c_cc[VTIME], 1);
    close(fd);
}

TEST(InitSerialport, PortIsExclusive) {
    PtyPair pty;
    ASSERT_EQ(chmod(pty.slave_path.c_str(), 0666), 0);
    // Root may open an exclusive tty anyway, so the second opener is an unprivileged child.
    auto open_as_nobody = [&]() -> int {
        pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(100);
            int fd = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
            _exit(fd >= 0 ? 0 : errno == EBUSY ? 1 : 2);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    int before = open_as_nobody();
    if (before == 100)
        GTEST_SKIP() << "cannot switch to an unprivileged user here";
    ASSERT_EQ(before, 0) << "the tty should be open to anyone before the port is opened";

    int fd = init_serialport(pty.slave_path.c_str(), 460800);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(open_as_nobody(), 1) << "expected EBUSY";
    close(fd);
}

TEST(InitSerialport, FailuresReportAndLeakNothing) {
    {
        SCOPED_TRACE("open fails");
        testing::internal::CaptureStderr();
        EXPECT_EQ(init_serialport("/nonexistent/ttyUSB0", 460800), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "init_serialport: Unable to open port: No such file or directory\n");
    }
    {
        SCOPED_TRACE("not a terminal");
        int before = testutil::open_fd_count();
        testing::internal::CaptureStderr();
        EXPECT_EQ(init_serialport("/dev/null", 460800), -1);
        EXPECT_EQ(
            testing::internal::GetCapturedStderr(),
            "init_serialport: Couldn't get term attributes: Inappropriate ioctl for device\n");
        EXPECT_EQ(testutil::open_fd_count(), before);
    }
}

// ---------------------------------------------------------------------------------------------
// probe_serialport

namespace {

struct ProbeResult {
    bool found;
    std::string err;
    double seconds;
    int leaked_fds;
};

// Probes the pty's slave while a feeder sends `bytes` once the probe waits for its first byte.
ProbeResult probe_with(const PtyPair& pty, const std::vector<uint8_t>& bytes, double limit_s) {
    SensorFdGuard guard;
    pid_t tid = testutil::current_tid();
    std::thread feeder([&] {
        if (bytes.empty())
            return;
        if (testutil::await_thread_reading(tid, pty.slave_path, pty.slave, 5000ms))
            EXPECT_TRUE(pty.send(bytes));
        else
            ADD_FAILURE() << "the probe never read the port";
    });
    int before = testutil::open_fd_count_to(pty.slave_path);
    auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    bool found = probe_serialport(pty.slave_path.c_str(), limit_s);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sensor_fd.load(), -1) << "the closed port's number is kept for the stop";
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    feeder.join();
    return {found, err, seconds, testutil::open_fd_count_to(pty.slave_path) - before};
}

std::string opened_line(const PtyPair& pty) {
    return "Opened port " + pty.slave_path + " and check for valid frame\n";
}

}  // namespace

TEST(ProbeSerialport, SilentDeviceTimesOut) {
    PtyPair pty;
    ProbeResult r = probe_with(pty, {}, 1.0);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.err, opened_line(pty));
    EXPECT_EQ(r.leaked_fds, 0);
    EXPECT_LT(r.seconds, 2.0);
}

TEST(ProbeSerialport, FindsFrameBehindJunkSilently) {
    PtyPair pty;
    std::vector<uint8_t> bytes = {0x00, 0x0D, 0x0A, 0x55, 0xFF, 0xAB, 0x11};
    std::vector<uint8_t> frame = frame_bytes(1000);
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    ProbeResult r = probe_with(pty, bytes, 2.0);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.err, opened_line(pty));
    EXPECT_EQ(r.leaked_fds, 0);
}

TEST(ProbeSerialport, BadCrcDropsOneMoreByteAndSearchesOn) {
    PtyPair pty;
    std::vector<uint8_t> bytes = frame_bytes(1);
    bytes[20] ^= 0x40;  // CRC mismatch
    // The dropped byte is a header value: taking it as the next frame's start would fail
    // the next CRC as well and print the message twice.
    bytes.push_back(0xAA);
    std::vector<uint8_t> good = frame_bytes(2);
    bytes.insert(bytes.end(), good.begin(), good.end());
    ProbeResult r = probe_with(pty, bytes, 2.0);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.err, opened_line(pty) + "Skipping incomplete frame\n");
    EXPECT_EQ(r.leaked_fds, 0);
}

TEST(ProbeSerialport, TruncatedFrameGivesUpAtOnce) {
    PtyPair pty;
    std::vector<uint8_t> bytes = frame_bytes(5);
    bytes.resize(1 + 20);  // header and 20 of the 36 bytes behind it
    ProbeResult r = probe_with(pty, bytes, 2.0);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.err, opened_line(pty) + "Read frame from serial port failed! Exiting...\n");
    EXPECT_EQ(r.leaked_fds, 0);
}

TEST(ProbeSerialport, MissingPortReportsOpenFailure) {
    SensorFdGuard guard;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(probe_serialport("/nonexistent/ttyUSB7", 1.0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "init_serialport: Unable to open port: No such file or directory\n");
    EXPECT_EQ(sensor_fd, -1);
}

TEST(ProbeSerialportDeathTest, BadCrcWithoutFurtherByteEndsTheProcess) {
    ThreadsafeDeathTests style;
    EXPECT_EXIT(
        {
            PtyPair pty;
            std::vector<uint8_t> bytes = frame_bytes(9);
            bytes[36] ^= 0x01;
            pid_t tid = testutil::current_tid();
            std::thread feeder([&] {
                if (testutil::await_thread_reading(tid, pty.slave_path, pty.slave, 5000ms))
                    pty.send(bytes);
            });
            feeder.detach();
            probe_serialport(pty.slave_path.c_str(), 2.0);
            fprintf(stderr, "probe returned\n");
            _exit(3);
        },
        testing::ExitedWithCode(1),
        "and check for valid frame\nread_byte\\(\\) from serial port failed! Exiting\\.\\.\\.\n");
}
