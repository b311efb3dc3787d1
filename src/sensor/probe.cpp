#include "sensor/probe.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "driver/descriptor_io.h"
#include "driver/diagnostics.h"
#include "driver/fatal_report.h"
#include "driver/interrupt.h"
#include "driver/sensor_state.h"
#include "sensor/frame.h"
#include "sensor/serial_io.h"
#include "sensor/serial_port.h"

namespace {
// The settings of the port under probe, for a stop that lands meanwhile.
std::mutex probe_lock;
PortSettings probed;
bool probing = false;

// A port is held exclusively only while it is probed. One that is not the sensor may
// belong to another instrument of the cell: it gets its settings back as they were found.
// The number is cleared before the port closes: a control connection may get it next, and
// the stop must not put its placeholder there.
bool finish(bool accepted, const PortSettings& found) {
    {
        std::lock_guard<std::mutex> hold(probe_lock);
        probing = false;
    }
    const int fd = sensor_fd.exchange(-1);
    if (accepted)
        ioctl(fd, TIOCNXCL);
    else
        restore_serialport(fd, found);
    close(fd);
    return accepted;
}

// read_byte, but a port left for good is first put back as it was found.
void drop_byte(const PortSettings& found) {
    uint8_t byte;
    if (read_fully(sensor_fd, &byte, 1) != 0) {
        restore_serialport(sensor_fd, found);
        fail(1, "read_byte() from serial port failed! Exiting...\n");
    }
}
}  // namespace

bool probe_serialport(const char* path, double limit_s) {
    PortSettings found;
    {
        std::lock_guard<std::mutex> hold(probe_lock);
        sensor_fd = init_serialport(path, 460800, &found);
        if (sensor_fd == -1)
            return false;
        probed = found;
        probing = true;
    }
    char line[300];
    snprintf(line, sizeof line, "Opened port %s and check for valid frame\n", path);
    stderr_line_bounded(line, 1000);
    ReportLimit skip_limit;

    SensorFrame frame;
    time_t start = time(nullptr);
    time_t now = time(nullptr);
    while (difftime(now, start) < limit_s) {
        int failed = read_port(sensor_fd, frame.bytes, 1);
        while (failed && difftime(now, start) < limit_s) {
            now = time(nullptr);
            failed = read_port(sensor_fd, frame.bytes, 1);
        }
        if (failed)
            break;
        if (frame.header() != sync_header) {
            now = time(nullptr);
            continue;
        }
        if (read_fully(sensor_fd, frame.bytes + 1, frame_rest_size) != 0) {
            stderr_line_bounded("Read frame from serial port failed! Exiting...\n", 1000);
            return finish(false, found);
        }
        if (frame.crc_valid())
            return finish(true, found);
        drop_byte(found);
        stream_report(skip_limit, monotonic_ns(), "Skipping incomplete frame\n");
        now = time(nullptr);
    }
    return finish(false, found);
}

void restore_probed_port(int fd) {
    probe_lock.lock();  // never given back
    if (probing && fd >= 0)
        restore_serialport(fd, probed);
}
