#include "sensor/probe.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "sensor/frame.h"
#include "sensor/serial_io.h"
#include "sensor/serial_port.h"

bool probe_serialport(const char* path, double limit_s) {
    sensor_fd = init_serialport(path, 460800);
    if (sensor_fd == -1)
        return false;
    fprintf(stderr, "Opened port %s and check for valid frame\n", path);

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
            fprintf(stderr, "Read frame from serial port failed! Exiting...\n");
            close(sensor_fd);
            return false;
        }
        if (frame.crc_valid()) {
            close(sensor_fd);
            return true;
        }
        read_byte();
        fprintf(stderr, "Skipping incomplete frame\n");
        now = time(nullptr);
    }
    close(sensor_fd);
    return false;
}
