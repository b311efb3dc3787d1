#include "stream/wrench.h"

#include <cmath>
#include <cstdio>

#include "driver/debug_log.h"
#include "driver/sensor_state.h"

namespace {
constexpr double ticks_per_second = 1e6;
constexpr double filter_dt = 0.0015;  // fixed; the measured rate does not enter the filter
constexpr double two_pi = 6.283185307179586;
const auto relaxed = std::memory_order_relaxed;
const auto acquire = std::memory_order_acquire;

// The stream's default notation (%g: six significant digits), written in one stdio call so
// that a line from the server thread cannot land inside it.
void print_wrench(const char* label, const double* values) {
    char line[256];
    snprintf(line, sizeof line, "%s%g %g %g %g %g %g\n", label, values[0], values[1], values[2],
             values[3], values[4], values[5]);
    stream_log(line);
}
}  // namespace

double filter_factor(double cutoff_hz) {
    return filter_dt / (1 / (two_pi * cutoff_hz) + filter_dt);
}

void map_sample(const SensorFrame& frame, float mapped[6]) {
    mapped[0] = frame.force(1);
    mapped[1] = -frame.force(0);
    mapped[2] = frame.force(2);
    mapped[3] = frame.torque(1);
    mapped[4] = -frame.torque(0);
    mapped[5] = frame.torque(2);
}

void seed_wrench(WrenchState& ws, const SensorFrame& frame) {
    ws.seed_pending = !frame.values_finite();
    if (ws.seed_pending)
        return;
    float mapped[6];
    map_sample(frame, mapped);
    for (int k = 0; k < 6; ++k) ws.smoothed_raw[k] = mapped[k];
}

void measure_frame(WrenchState& ws, SensorState& state, const SensorFrame& frame) {
    uint32_t t = frame.timestamp_us();
    if (ws.have_previous_timestamp && t > ws.previous_timestamp)
        state.set_sample_freq(ticks_per_second / double(uint32_t(t - ws.previous_timestamp)));
    ws.previous_timestamp = t;
    ws.have_previous_timestamp = true;

    if (frame.status() != 0) {
        char line[32];
        snprintf(line, sizeof line, "Error: %u\n", unsigned(frame.status()));
        stream_log(line);
    }
}

const double* process_wrench(WrenchState& ws, SensorState& state, const SensorFrame& frame) {
    measure_frame(ws, state, frame);
    if (ws.seed_pending)
        seed_wrench(ws, frame);

    float mapped[6];
    map_sample(frame, mapped);

    // The settings hold for all six values of this frame. The mode flags are read before
    // the pending capture, so that a desired output seen active is never applied
    // without the capture that goes with it.
    const bool bias_active = state.bias_active.load(acquire);
    const bool output_active = state.output_active.load(acquire);
    const bool filter_enabled = state.filter_enabled.load(relaxed);
    const double cutoff_hz = state.cutoff_hz.load(relaxed);
    // Cheap test first; the exchange keeps a call that lands in between from being lost.
    if (state.output_pending.load(acquire) && state.output_pending.exchange(false, acquire)) {
        for (int k = 0; k < 6; ++k) ws.output_reference[k] = ws.smoothed_raw[k];
        double desired[6];
        for (int k = 0; k < 6; ++k) desired[k] = state.desired_output[k].load(relaxed);
        print_wrench("Set to desired output: ", desired);
        print_wrench("Offset: ", ws.output_reference);
    }

    // The factor is the same for all six axes of a frame; axis 0's smoothing still uses the
    // previous frame's factor, so the new one takes effect after it.
    if (filter_enabled && cutoff_hz != ws.factor_cutoff_hz) {
        ws.factor_cutoff_hz = cutoff_hz;  // two divisions saved on every other frame
        ws.factor = filter_factor(cutoff_hz);
    }
    const double new_alpha = filter_enabled ? ws.factor : ws.filter_alpha;

    for (int k = 0; k < 6; ++k) {
        const double x = mapped[k];
        if (bias_active)
            ws.offset_wrench[k] = x - state.bias[k].load(relaxed);
        else if (output_active)
            ws.offset_wrench[k] =
                x - ws.output_reference[k] + state.desired_output[k].load(relaxed);
        else
            ws.offset_wrench[k] = x;

        ws.smoothed_raw[k] = ws.smoothed_raw[k] + ws.filter_alpha * (x - ws.smoothed_raw[k]);
        ws.filter_alpha = new_alpha;

        if (filter_enabled)
            ws.filtered_wrench[k] = ws.filtered_wrench[k] +
                                    ws.filter_alpha * (ws.offset_wrench[k] - ws.filtered_wrench[k]);
        else
            ws.filtered_wrench[k] = ws.offset_wrench[k];
        // Offsets near the limits of a double (a bias of +1e308 after one of -1e308) can make
        // the filter's step overflow; a filter at infinity would then give NaN for good. The
        // offset sample itself is always finite (a float sample and a finite offset), so the
        // filter starts again from it.
        if (!std::isfinite(ws.filtered_wrench[k]))
            ws.filtered_wrench[k] = ws.offset_wrench[k];
    }
    return ws.filtered_wrench;
}
