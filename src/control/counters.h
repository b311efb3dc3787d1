// The counters the control service reports, each under its get_statistics member and its
// /metrics name: one table, so that the two never list different ones.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/diagnostics.h"
#include "driver/sensor_state.h"

struct CounterRow {
    const char* member;  // in get_statistics
    const char* metric;  // on /metrics
    const char* help;
    std::atomic<uint64_t> SensorState::Statistics::*field;  // the stream's, or
    const std::atomic<uint64_t>* process_wide;              // the diagnostics'
    uint64_t value(const SensorState& state) const {
        return (process_wide ? *process_wide : state.stats.*field).load(std::memory_order_relaxed);
    }
};

inline const CounterRow counter_rows[] = {
    {"frames", "ftbridge_frames_total", "CRC-valid frames read while synchronised.",
     &SensorState::Statistics::frames, nullptr},
    {"packages", "ftbridge_packages_total", "Data packages sent to the controller.",
     &SensorState::Statistics::packages, nullptr},
    {"skipped_packages", "ftbridge_skipped_packages_total",
     "Data packages skipped because the controller took none.",
     &SensorState::Statistics::skipped_packages, nullptr},
    {"crc_errors", "ftbridge_crc_errors_total", "Frames with the right header and a wrong CRC.",
     &SensorState::Statistics::crc_errors, nullptr},
    {"lost_sync", "ftbridge_lost_syncs_total", "Times the frame synchronisation was lost.",
     &SensorState::Statistics::lost_sync, nullptr},
    {"synchronisations", "ftbridge_synchronisations_total",
     "Times the stream found the frame header.", &SensorState::Statistics::synchronisations,
     nullptr},
    {"non_finite", "ftbridge_non_finite_samples_total",
     "Frames dropped for a value that is not finite.", &SensorState::Statistics::non_finite,
     nullptr},
    {"reconfigurations", "ftbridge_reconfigurations_total", "Completed sensor reconfigurations.",
     &SensorState::Statistics::reconfigurations, nullptr},
    {"read_failures", "ftbridge_read_failures_total", "Failed frame reads from the sensor port.",
     &SensorState::Statistics::read_failures, nullptr},
    {"lines_dropped", "ftbridge_lines_dropped_total",
     "Diagnostic lines dropped because their stream did not take them whole in time.", nullptr,
     &lines_dropped},
    {"lines_left_out", "ftbridge_lines_left_out_total",
     "Per-frame reports left out of standard error by their rate limit.", nullptr, &lines_left_out},
};
