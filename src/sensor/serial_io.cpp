#include "sensor/serial_io.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/descriptor_io.h"
#include "driver/fatal_report.h"
#include "driver/interrupt.h"

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

int read_byte() {
    uint8_t byte;
    if (read_fully(sensor_fd, &byte, 1) != 0)
        fail(1, "read_byte() from serial port failed! Exiting...\n");
    return byte;
}
