#include "sensor/reconfigure.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "driver/debug_log.h"
#include "driver/sensor_state.h"

// Ignores the results of its writes: a lost command byte shows as a stream that does not
// come back, which the stream loop reports.
int32_t SensorState::reconfigure_sensor(double requested_rate) {
    std::lock_guard<std::mutex> lock(reconfigure_mutex);
    int fd = serial_fd.load(std::memory_order_relaxed);
    if (fd < 0)
        return 1;  // no streaming port yet: nothing may be written anywhere

    configuring.store(true, std::memory_order_relaxed);
    int number = reconfigure_number(filter_enabled.load(std::memory_order_relaxed), requested_rate);
    char line[48];
    int length = format_reconfigure_line(line, sizeof line, number);
    ssize_t ignored = write(fd, "C", 1);
    fputs(line, stdout);
    fflush(stdout);
    debug_log_check();
    ignored = write(fd, line, size_t(length));
    ignored = write(fd, "s", 1);
    sleep(2);
    ignored = write(fd, "#", 1);
    ignored = write(fd, "R", 1);
    (void)ignored;
    stats.reconfigurations.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> cleared(configured_mutex);
        configuring.store(false, std::memory_order_relaxed);
    }
    configured.notify_all();
    return 0;
}

void SensorState::wait_while_configuring() {
    std::unique_lock<std::mutex> lock(configured_mutex);
    configured.wait_for(lock, std::chrono::milliseconds(100),
                        [this] { return !configuring.load(std::memory_order_relaxed); });
}
