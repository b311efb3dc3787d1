#include "sensor/serial_io.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/fatal_report.h"
#include "driver/interrupt.h"

int sensor_fd = -1;

int read_fully(int fd, void* buf, int count) {
    auto* p = static_cast<uint8_t*>(buf);
    int filled = 0;
    while (filled < count) {
        ssize_t n = read(fd, p + filled, size_t(count - filled));
        if (n <= 0)
            return 1;
        filled += int(n);
    }
    return 0;
}

namespace {
constexpr long silence_window_ns = 100000000;  // VTIME 1
}

int read_port(int fd, void* buf, int count) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (read_fully(fd, buf, count) == 0)
        return 0;
    timespec until = start;
    until.tv_nsec += silence_window_ns;
    if (until.tv_nsec >= 1000000000) {
        until.tv_nsec -= 1000000000;
        ++until.tv_sec;
    }
    // Returns at once when the window has already passed, as after a real silence.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    return 1;
}

int write_fully(int fd, const void* buf, int count) {
    const auto* p = static_cast<const uint8_t*>(buf);
    int sent = 0;
    while (sent < count) {
        ssize_t n = write(fd, p + sent, size_t(count - sent));
        if (n < 0)
            return 1;
        sent += int(n);
    }
    return 0;
}

int read_byte() {
    uint8_t byte;
    if (read_fully(sensor_fd, &byte, 1) != 0) {
        report_fatal("read_byte() from serial port failed! Exiting...\n");
        fatal_exit(1);
    }
    return byte;
}
