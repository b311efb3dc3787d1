#include <unistd.h>

#include <chrono>

#include "driver/debug_log.h"
#include "driver/fatal_exit.h"
#include "driver/interrupt.h"
#include "driver/sensor_state.h"
#include "sensor/reconfigure_command.h"

namespace {
// One command on the port: true when every byte went out in one write.
bool send_command(int fd, const char* bytes, size_t length) {
    return write(fd, bytes, length) == ssize_t(length);
}
}  // namespace

// Every step runs even after a failed write, so that a sensor that did take the first
// commands still gets its "#R"; the answer is then 1, as when there is no port, and the
// sequence is not counted. The stop waits for a sequence under way (sensor_command_lock);
// once it has begun, none starts.
int32_t SensorState::reconfigure_sensor(double requested_rate) {
    std::lock_guard<std::mutex> lock(reconfigure_mutex);
    int fd = serial_fd.load(std::memory_order_relaxed);
    if (fd < 0)
        return 1;  // no streaming port yet: nothing may be written anywhere
    std::lock_guard<std::timed_mutex> stop_waits(sensor_command_lock());
    if (stopping())
        return 1;  // queued ahead of the stop: starting now would leave the sensor mute

    configure_started_ns.store(monotonic_ns(), std::memory_order_relaxed);
    configuring.store(true, std::memory_order_relaxed);
    int number = reconfigure_number(filter_enabled.load(std::memory_order_relaxed), requested_rate);
    char line[48];
    int length = format_reconfigure_line(line, sizeof line, number);
    bool sent = send_command(fd, "C", 1);
    stream_log(line);
    sent &= send_command(fd, line, size_t(length));
    sent &= send_command(fd, "s", 1);
    sleep(2);
    sent &= send_command(fd, "#", 1);
    sent &= send_command(fd, "R", 1);
    if (sent)
        stats.reconfigurations.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> cleared(configured_mutex);
        configuring.store(false, std::memory_order_relaxed);
    }
    configured.notify_all();
    return sent ? 0 : 1;
}

void SensorState::wait_while_configuring() {
    std::unique_lock<std::mutex> lock(configured_mutex);
    configured.wait_for(lock, std::chrono::milliseconds(100),
                        [this] { return !configuring.load(std::memory_order_relaxed); });
}
