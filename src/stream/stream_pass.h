// One pass of the stream over a port it is given: the search for the frame header, or one
// synchronised frame; what the loop keeps from pass to pass.
#pragma once

#include <cstdint>
#include <ctime>

#include "driver/diagnostics.h"
#include "driver/sensor_state.h"
#include "sensor/frame.h"
#include "stream/wrench.h"

// Everything a pass needs from the outside world, so that passes run without a device.
class StreamPort {
  public:
    virtual ~StreamPort() = default;
    // read_fully on the sensor port: 0 when all n bytes came, 1 otherwise.
    virtual int read_fully(uint8_t* buf, int n) = 0;
    // One byte of the sensor port; ends the process when none comes.
    virtual int read_byte() = 0;
    // Whole-second calendar clock.
    virtual time_t now() = 0;
    // One data package to the controller: 0 when sent, 1 when the connection is gone, 2 when
    // not sent because the controller is not taking packages now (RtdeOffer).
    virtual int send(const double wrench[6]) = 0;
    // After a send: whether the controller acknowledged bytes since the send before, or
    // nothing of ours waited for it. Only that shows it taking data; a send returning does not.
    virtual bool controller_took() { return false; }
    // The search's header read; a device port paces failures to its silence window.
    virtual int read_header(uint8_t* byte) { return read_fully(byte, 1); }
    // Holds the stream while a reconfiguration runs; a pass makes no read meanwhile.
    virtual void wait_while_configuring(SensorState&) {}
    // The coarse monotonic clock, for the 0.1 s without a package that clears running.
    virtual int64_t now_ns() { return monotonic_ns(); }
};

// What the loop keeps from pass to pass.
struct StreamContext {
    WrenchState wrench;
    SensorFrame frame{};
    time_t search_start = 0;
    bool synced = false;
    unsigned long crc_error_count = 0;  // CRC failures with a right header, since the sync
    unsigned long frame_count = 0;      // valid frames and counted failures, since the sync
    int64_t quiet_since_ns = 0;         // first synced frame that sent nothing; 0: none yet
    int64_t refused_since_ns = 0;  // first refusal since the controller last took data; 0: none
    bool kept = false;             // a package the controller refused waits to go next
    double kept_wrench[6] = {};
    int64_t kept_tried_ns = 0;
    // The per-frame reports on standard error, one limit for each.
    ReportLimit crc_error_limit;
    ReportLimit crc_ratio_limit;
    ReportLimit skip_limit;
    ReportLimit synced_limit;
    ReportLimit lost_sync_limit;
    ReportLimit read_failed_limit;
    ReportLimit synced_read_failed_limit;
    ReportLimit non_finite_limit;
};

// The controller is lost once it has taken no data for more than 10 s while a package
// waited for it.
bool controller_lost(int64_t refused_since_ns, int64_t now_ns);

// What a synced pass makes of the frame it read.
enum class FrameVerdict { valid, crc_error, lost_sync };
FrameVerdict judge_synced_frame(const SensorFrame& frame);

// The high-CRC-error report is due when more than 1% of more than 100 frames failed.
bool crc_report_due(unsigned long crc_errors, unsigned long frames);

// One pass of the search for the frame header (one header byte, and the rest of a frame
// behind it), and one pass of the synced state (one whole frame).
void search_pass(StreamContext& ctx, SensorState& state, StreamPort& port);
void synced_pass(StreamContext& ctx, SensorState& state, StreamPort& port);

inline void stream_pass(StreamContext& ctx, SensorState& state, StreamPort& port) {
    if (ctx.synced)
        synced_pass(ctx, state, port);
    else
        search_pass(ctx, state, port);
}
