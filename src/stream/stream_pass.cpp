#include "stream/stream_pass.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/debug_log.h"
#include "driver/diagnostics.h"
#include "driver/fatal_exit.h"
#include "driver/fatal_report.h"
#include "driver/sensor_state.h"
#include "rtde/rtde_client.h"

namespace {
constexpr double header_timeout_s = 10.0;
constexpr unsigned long crc_error_divisor = 100;  // reported above 1 in 100
constexpr unsigned long crc_report_min_frames = 100;
constexpr int64_t running_grace_ns = 100000000;  // 0.1 s without a package: not running
constexpr int64_t controller_lost_ns = 10000000000;
constexpr int64_t kept_retry_ns = 1000000;
const auto relaxed = std::memory_order_relaxed;

// The stream is the only writer of its counters: a load and a store, no locked add.
void count(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(relaxed) + 1, relaxed);
}

// A synced frame that sends nothing (a CRC error, a dropped value): still synced, but once
// the controller has heard nothing for 0.1 s the stream is no longer running. Timed from
// the first such frame, one frame after the last package.
void note_no_package(StreamContext& ctx, SensorState& state, StreamPort& port) {
    const int64_t now = port.now_ns();
    if (ctx.quiet_since_ns == 0)
        ctx.quiet_since_ns = now;
    else if (now - ctx.quiet_since_ns > running_grace_ns)
        state.running.store(false, relaxed);
}

// The controller did not take a package now: it is kept to go next, unless a newer one
// replaces it first. A controller that takes no data for long while a package waits is as
// lost as a vanished one; the time starts again whenever it takes some.
void note_skipped(StreamContext& ctx, StreamPort& port, const double* wrench) {
    if (wrench != ctx.kept_wrench)
        for (int k = 0; k < 6; ++k) ctx.kept_wrench[k] = wrench[k];
    ctx.kept = true;
    const int64_t now = port.now_ns();
    ctx.kept_tried_ns = now;
    if (ctx.refused_since_ns == 0 || port.controller_took()) {
        ctx.refused_since_ns = now;
    } else if (controller_lost(ctx.refused_since_ns, now)) {
        fail_logged("Controller took no data package for 10 s, exiting\n");
    }
}

// Offers one package; returns what became of it (RtdeOffer), having ended the process on a
// failed send.
int offer(StreamContext& ctx, SensorState& state, StreamPort& port, const double* wrench) {
    const int result = port.send(wrench);
    if (result == rtde_skipped) {
        note_skipped(ctx, port, wrench);
        return result;
    }
    if (result != rtde_sent)
        fail(1, "Sending data package to controller failed, exiting: %s\n", strerror(errno));
    ctx.kept = false;
    if (port.controller_took())
        ctx.refused_since_ns = 0;
    SensorState::Statistics& stats = state.stats;
    for (int k = 0; k < 6; ++k) stats.last_wrench[k].store(wrench[k], relaxed);
    const uint64_t packages = stats.packages.load(relaxed) + 1;
    stats.packages.store(packages, relaxed);
    if (packages == 1)
        debug_log_streamed();  // once a run: its log now outlives failed starts
    // The clock with every eighth package, the first included: the time of the last package
    // to within eight frames, for an eighth of the clock's cost on the per-frame path.
    if (packages % 8 == 1)
        stats.last_package_ns.store(port.now_ns(), relaxed);
    return result;
}

void send_package(StreamContext& ctx, SensorState& state, StreamPort& port) {
    const double* wrench = process_wrench(ctx.wrench, state, ctx.frame);
    // A newer package replaces the one kept back, which is then skipped for good.
    if (ctx.kept)
        count(state.stats.skipped_packages);
    if (offer(ctx, state, port, wrench) != rtde_sent) {
        note_no_package(ctx, state, port);
        return;
    }
    ctx.quiet_since_ns = 0;
    // A controller that set up recipe id 0 discards every package: nothing runs.
    state.running.store(!state.recipe_refused(), relaxed);
}

// A package kept back goes once the controller takes data again, frames or none: when they
// stop, the controller's last value is the newest the stream had. The search's passes turn
// at least every 0.1 s; between frames it is offered at most once a millisecond.
void offer_kept(StreamContext& ctx, SensorState& state, StreamPort& port) {
    if (ctx.kept && port.now_ns() - ctx.kept_tried_ns >= kept_retry_ns)
        (void)offer(ctx, state, port, ctx.kept_wrench);
}

// A per-frame report, counted before it is written: whoever reads the line finds it counted.
void report(StreamPort& port, ReportLimit& limit, const char* line, std::atomic<uint64_t>& n) {
    count(n);
    stream_report(limit, port.now_ns(), line);
}

void report_non_finite(StreamContext& ctx, SensorState& state, StreamPort& port) {
    report(port, ctx.non_finite_limit, "Non-finite sample in frame, dropped\n",
           state.stats.non_finite);
}

// A CRC-valid frame with a value that is not finite would poison the filter for good. It
// still counts towards the sample frequency and reports its status.
void drop_non_finite(StreamContext& ctx, SensorState& state, StreamPort& port) {
    measure_frame(ctx.wrench, state, ctx.frame);
    report_non_finite(ctx, state, port);
    note_no_package(ctx, state, port);
}

// Back to the search, its silence timed from now; nothing runs until a package goes again.
void lose_sync(StreamContext& ctx, SensorState& state, StreamPort& port) {
    ctx.search_start = port.now();
    state.running.store(false, relaxed);
    ctx.synced = false;
}
}  // namespace

bool controller_lost(int64_t refused_since_ns, int64_t now_ns) {
    return refused_since_ns != 0 && now_ns - refused_since_ns > controller_lost_ns;
}

FrameVerdict judge_synced_frame(const SensorFrame& frame) {
    if (frame.crc_valid())
        return FrameVerdict::valid;
    return frame.header() == sync_header ? FrameVerdict::crc_error : FrameVerdict::lost_sync;
}

// errors / frames > 1/100 in integers, as errors > floor(frames / 100): the same decision as
// the floating-point ratio, and no product that can overflow a 32-bit unsigned long.
bool crc_report_due(unsigned long crc_errors, unsigned long frames) {
    return frames > crc_report_min_frames && crc_errors > frames / crc_error_divisor;
}

void search_pass(StreamContext& ctx, SensorState& state, StreamPort& port) {
    offer_kept(ctx, state, port);
    time_t now = port.now();
    SensorFrame& frame = ctx.frame;
    frame.bytes[0] = 0;
    if (state.configuring.load(relaxed)) {
        // Time spent reconfiguring is not silence: the timer starts again once it ends.
        port.wait_while_configuring(state);
        lose_sync(ctx, state, port);
        return;
    }

    // Timed from the last restart, not from the last byte: bytes that never synchronise, with
    // gaps between them, end the process, and the supervisor's restart probes again.
    if (port.read_header(frame.bytes) != 0) {
        if (difftime(now, ctx.search_start) > header_timeout_s)
            fail(1, "Read frame header from serial port failed! Exiting...\n");
        return;
    }
    if (frame.header() != sync_header)
        return;

    if (port.read_fully(frame.bytes + 1, frame_rest_size) != 0) {
        // Whatever the buffer holds now is partly stale: never test it.
        report(port, ctx.read_failed_limit, "Read frame from serial port failed!\n",
               state.stats.read_failures);
        lose_sync(ctx, state, port);
        return;
    }
    if (!frame.crc_valid()) {
        port.read_byte();
        stream_report(ctx.skip_limit, port.now_ns(), "Skipping incomplete frame\n");
        return;
    }

    char line[48];
    snprintf(line, sizeof line, "Frame synced with 0x%X header\n", unsigned(sync_header));
    report(port, ctx.synced_limit, line, state.stats.synchronisations);
    seed_wrench(ctx.wrench, frame);
    if (ctx.wrench.seed_pending)
        report_non_finite(ctx, state, port);
    ctx.crc_error_count = 0;
    ctx.frame_count = 0;
    ctx.synced = true;
    if (state.configuring.load(relaxed))
        lose_sync(ctx, state, port);
}

void synced_pass(StreamContext& ctx, SensorState& state, StreamPort& port) {
    SensorFrame& frame = ctx.frame;
    if (port.read_fully(frame.bytes, frame_size) != 0) {
        // The buffer holds an old frame or a mix: nothing of it may reach the controller.
        report(port, ctx.synced_read_failed_limit,
               "Read frame from serial port failed while synched!\n", state.stats.read_failures);
        lose_sync(ctx, state, port);
        return;
    }

    switch (judge_synced_frame(frame)) {
        case FrameVerdict::valid:
            count(state.stats.frames);
            if (frame.values_finite())
                send_package(ctx, state, port);
            else
                drop_non_finite(ctx, state, port);
            break;
        case FrameVerdict::crc_error:
            ++ctx.crc_error_count;
            report(port, ctx.crc_error_limit, "CRC error\n", state.stats.crc_errors);
            note_no_package(ctx, state, port);
            break;
        case FrameVerdict::lost_sync:
            report(port, ctx.lost_sync_limit, "Lost sync\n", state.stats.lost_sync);
            lose_sync(ctx, state, port);
            return;
    }

    ++ctx.frame_count;
    if (crc_report_due(ctx.crc_error_count, ctx.frame_count)) {
        char line[64];
        snprintf(line, sizeof line, "Too many crc errors: %lu/%lu\n", ctx.crc_error_count,
                 ctx.frame_count);
        stream_report(ctx.crc_ratio_limit, port.now_ns(), line);
        // The log keeps every one, in one line: a reconfiguration's echo cannot land inside.
        stream_log(line);
    }
    if (state.configuring.load(relaxed))
        lose_sync(ctx, state, port);
}
