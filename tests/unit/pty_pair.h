// A pseudo-terminal that stands in for the sensor's serial port in unit tests, and a few
// helpers for watching descriptors.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// Master and slave of a fresh pty, both raw from the start so that no byte written to the
// master is translated. The slave stays open in the test (so the master never sees a
// hang-up) but the test itself never reads it.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slave_path;

    PtyPair() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            std::abort();
        slave_path = name;
        struct termios tio;
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 1;
        tcsetattr(slave, TCSANOW, &tio);
        // A real line drops what nobody reads; the test must never block on a full buffer.
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        close(master);
        close(slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Sends bytes towards whoever has the slave open; true when all of them fitted.
    bool send(const void* data, size_t size) const {
        return write(master, data, size) == ssize_t(size);
    }
    bool send(const std::vector<uint8_t>& data) const { return send(data.data(), data.size()); }
};

// One byte that came out of the master, with the moment it was seen.
struct TimedByte {
    uint8_t value;
    std::chrono::steady_clock::time_point at;
};

// Reads the master until `count` bytes came or `timeout` passed without any byte.
inline std::vector<TimedByte> read_master(int master, size_t count,
                                          std::chrono::milliseconds timeout) {
    std::vector<TimedByte> got;
    while (got.size() < count) {
        struct pollfd p = {master, POLLIN, 0};
        int ready = poll(&p, 1, int(timeout.count()));
        if (ready <= 0)
            break;
        uint8_t buf[64];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EAGAIN)
                continue;
            break;
        }
        auto now = std::chrono::steady_clock::now();
        for (ssize_t i = 0; i < n; ++i) got.push_back({buf[i], now});
    }
    return got;
}

inline int open_fd_count() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (struct dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

inline std::string fd_target(int fd);

// Descriptors of this process open on `path`. Counting only these keeps the check immune to
// other threads (or a sanitizer's runtime) opening and closing files meanwhile.
inline int open_fd_count_to(const std::string& path) {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (struct dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.' && fd_target(atoi(entry->d_name)) == path)
            ++count;
    closedir(dir);
    return count;
}

inline std::string fd_target(int fd) {
    char target[256];
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    return n > 0 ? std::string(target, size_t(n)) : std::string();
}

inline pid_t current_tid() {
    return pid_t(syscall(SYS_gettid));
}

// True once thread `tid` of this process sits in read() on a descriptor (other than
// `except_fd`) that refers to `path`. Tells a feeder that the code under test has opened and
// flushed the port and is now waiting for bytes, so nothing written from then on is lost.
inline bool thread_reading(pid_t tid, const std::string& path, int except_fd) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    std::string fd_hex;
    if (!(in >> number >> fd_hex) || number != SYS_read)
        return false;
    int fd = int(std::strtol(fd_hex.c_str(), nullptr, 16));
    return fd != except_fd && fd_target(fd) == path;
}

// Waits (polling /proc) until thread_reading holds; false after `limit`.
inline bool await_thread_reading(pid_t tid, const std::string& path, int except_fd,
                                 std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (thread_reading(tid, path, except_fd))
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

}  // namespace testutil
