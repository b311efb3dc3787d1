// Turning one valid frame into the six values the controller receives.
#pragma once

#include <cstdint>

#include "sensor/frame.h"

class SensorState;

// Processing state of the stream; owned by the stream loop for the life of the process.
struct WrenchState {
    double offset_wrench[6] = {};     // mapped sample after bias or desired-output offset
    double smoothed_raw[6] = {};      // mapped sample before any offset, always smoothed
    double filtered_wrench[6] = {};   // the filter's state and the values sent
    double output_reference[6] = {};  // smoothed_raw captured when a desired output is taken
    double filter_alpha = 0.32;       // close to the factor for the default 50 Hz
    uint32_t previous_timestamp = 0;
    bool have_previous_timestamp = false;  // the first frame measures no frequency
    bool seed_pending = false;    // synced on a non-finite frame: the next finite one seeds
    double factor_cutoff_hz = 0;  // the cut-off the factor below was computed for
    double factor = 0;            // filter_factor(factor_cutoff_hz)
};

// The first-order low-pass factor dt / (RC + dt) for a cut-off, with dt fixed at 1.5 ms.
double filter_factor(double cutoff_hz);

// The frame's six values in the robot's axes: (fy, -fx, fz, ty, -tx, tz).
void map_sample(const SensorFrame& frame, float mapped[6]);

// Restarts the smoothed signal at the frame that established synchronisation; a frame with
// a non-finite value leaves that to the next finite frame.
void seed_wrench(WrenchState& ws, const SensorFrame& frame);

// A valid frame's share in the sample frequency and its status report. Every CRC-valid frame
// of the synced stream takes it, dropped or processed; process_wrench begins with it.
void measure_frame(WrenchState& ws, SensorState& state, const SensorFrame& frame);

// Processes one valid frame with finite values; returns ws.filtered_wrench, the six values
// to send.
const double* process_wrench(WrenchState& ws, SensorState& state, const SensorFrame& frame);
