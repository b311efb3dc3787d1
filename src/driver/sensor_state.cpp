#include "driver/sensor_state.h"

SensorState::SensorState() : started_ns(monotonic_ns()) {
    for (int k = 0; k < 6; ++k) {
        bias[k].store(0.0, std::memory_order_relaxed);
        desired_output[k].store(0.0, std::memory_order_relaxed);
        stats.last_wrench[k].store(0.0, std::memory_order_relaxed);
    }
}

void SensorState::set_port(const std::string& path) {
    std::lock_guard<std::mutex> lock(title_mutex);
    port = path;
}

std::string SensorState::get_port() const {
    std::lock_guard<std::mutex> lock(title_mutex);
    return port;
}

void SensorState::set_title(const std::string& text) {
    std::lock_guard<std::mutex> lock(title_mutex);
    title = text;
}

std::string SensorState::get_title() const {
    std::string result;
    {
        std::lock_guard<std::mutex> lock(title_mutex);
        result = title.empty() ? "No title set" : title;
    }
    return result + " (C++)";
}

// The writers of a mode take mode_mutex, so that two calls never mix their six values or
// leave the flags of neither mode or of both; the stream only loads and never waits. The
// new mode's flag is raised before the other is lowered: a frame read in between sees both
// and takes bias, which is one mode or the other, never none.
int32_t SensorState::set_bias(const double* values) {
    std::lock_guard<std::mutex> lock(mode_mutex);
    for (int k = 0; k < 6; ++k) bias[k].store(values[k], std::memory_order_relaxed);
    bias_active.store(true, std::memory_order_release);
    output_active.store(false, std::memory_order_release);
    return 0;
}

int32_t SensorState::set_output(const double* values) {
    std::lock_guard<std::mutex> lock(mode_mutex);
    for (int k = 0; k < 6; ++k) desired_output[k].store(values[k], std::memory_order_relaxed);
    // Pending before the mode: a stream that sees the mode raised also sees the capture
    // it needs, and never applies the desired output against an old reference.
    output_pending.store(true, std::memory_order_release);
    output_active.store(true, std::memory_order_release);
    bias_active.store(false, std::memory_order_release);
    return 0;
}

int32_t SensorState::enable_filter(bool enable, int32_t type) {
    filter_type.store(type, std::memory_order_relaxed);
    filter_enabled.store(enable, std::memory_order_relaxed);
    static const double cutoffs[] = {50.0, 40.0, 25.0, 12.5};
    if (type < 1 || type > 4)
        return 1;
    cutoff_hz.store(cutoffs[type - 1], std::memory_order_relaxed);
    return 0;
}
