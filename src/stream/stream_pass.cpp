#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "driver/interrupt.h"
#include "driver/sensor_state.h"
#include "stream/stream_loop.h"

namespace {
constexpr double header_timeout_s = 10.0;
constexpr double crc_error_ratio = 0.01;
constexpr unsigned long crc_report_min_frames = 100;
const auto relaxed = std::memory_order_relaxed;

// A CRC-valid frame with a value that is not finite would poison the filter for good.
bool drop_if_not_finite(const SensorFrame& frame) {
    if (frame.values_finite()) return false;
    fprintf(stderr, "Non-finite sample in frame, dropped\n");
    return true;
}
}  // namespace

FrameVerdict judge_synced_frame(const SensorFrame& frame) {
    if (frame.crc_valid()) return FrameVerdict::valid;
    return frame.header() == sync_header ? FrameVerdict::crc_error : FrameVerdict::lost_sync;
}

bool crc_report_due(unsigned long crc_errors, unsigned long frames) {
    return frames > crc_report_min_frames && double(crc_errors) / double(frames) > crc_error_ratio;
}

void search_pass(StreamContext& ctx, SensorState& state, StreamPort& port) {
    time_t now = port.now();
    SensorFrame& frame = ctx.frame;
    frame.bytes[0] = 0;
    if (state.configuring.load(relaxed)) return;  // the sensor is being reconfigured

    if (port.read_fully(frame.bytes, 1) != 0 && difftime(now, ctx.search_start) > header_timeout_s) {
        fprintf(stderr, "Read frame header from serial port failed! Exiting...\n");
        fatal_exit(1);
    }
    if (frame.header() != sync_header) return;

    if (port.read_fully(frame.bytes + 1, frame_rest_size) != 0) {
        // Whatever the buffer holds now is partly stale: never test it.
        fprintf(stderr, "Read frame from serial port failed!\n");
        ctx.search_start = port.now();
        state.running.store(false, relaxed);
        return;
    }
    if (!frame.crc_valid()) {
        port.read_byte();
        fprintf(stderr, "Skipping incomplete frame\n");
        return;
    }

    fprintf(stderr, "Frame synced with 0x%X header\n", unsigned(sync_header));
    if (!drop_if_not_finite(frame)) seed_wrench(ctx.wrench, frame);
    state.running.store(true, relaxed);
    if (state.configuring.load(relaxed)) {
        ctx.search_start = port.now();
        return;
    }
    ctx.synced = true;
    ctx.crc_error_count = 0;
    ctx.frame_count = 0;
}

void synced_pass(StreamContext& ctx, SensorState& state, StreamPort& port) {
    SensorFrame& frame = ctx.frame;
    if (port.read_fully(frame.bytes, frame_size) != 0) {
        // The buffer holds an old frame or a mix: nothing of it may reach the controller.
        fprintf(stderr, "Read frame from serial port failed while synched!\n");
        ctx.search_start = port.now();
        state.running.store(false, relaxed);
        ctx.synced = false;
        return;
    }

    switch (judge_synced_frame(frame)) {
        case FrameVerdict::valid:
            if (!drop_if_not_finite(frame) &&
                port.send(process_wrench(ctx.wrench, state, frame)) != 0) {
                perror("Sending data package to controller failed, exiting");
                fatal_exit(1);
            }
            break;
        case FrameVerdict::crc_error:
            ++ctx.crc_error_count;
            fprintf(stderr, "CRC error\n");
            break;
        case FrameVerdict::lost_sync:
            fprintf(stderr, "Lost sync\n");
            ctx.search_start = port.now();
            ctx.synced = false;
            return;
    }

    ++ctx.frame_count;
    if (crc_report_due(ctx.crc_error_count, ctx.frame_count)) {
        fprintf(stderr, "Too many crc errors: %lu/%lu\n", ctx.crc_error_count, ctx.frame_count);
        std::cout << "Too many crc errors: " << ctx.crc_error_count << "/" << ctx.frame_count
                  << std::endl;
    }
    if (state.configuring.load(relaxed)) {
        ctx.search_start = port.now();
        state.running.store(false, relaxed);
        ctx.synced = false;
    }
}
