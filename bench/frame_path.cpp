// In-process driver of the per-frame path for callgrind: a large batch of recorded frames
// goes through the synced pass exactly as the stream loop runs it, with the port replaced
// by memory. Only the marked section is counted (callgrind starts with collection off).
//
//   frame_path <section> <frames> [filter-on|filter-off]
//   section: pass (the whole synced pass), crc, process, encode

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/sensor_state.h"
#include "fake_port.h"
#include "rtde/rtde_package.h"
#include "stream/stream_pass.h"
#include "stream/wrench.h"

namespace {

std::vector<SensorFrame> record(long n) {
    std::vector<SensorFrame> frames;
    frames.reserve(size_t(n));
    for (long i = 0; i < n; ++i) {
        const float force[3] = {0.25f * float(i % 1000), -0.5f * float(i % 777), float(i)};
        const float torque[3] = {0.125f * float(i % 333), 1.5f, -2.0f};
        frames.push_back(encode_frame(0, force, torque, uint32_t(i * 803)));
    }
    return frames;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr,
                "usage: frame_path pass|crc|process|encode FRAMES [filter-on|filter-off]\n");
        return 2;
    }
    const std::string section = argv[1];
    const long n = atol(argv[2]);
    const bool filter = argc < 4 || std::string(argv[3]) != "filter-off";
    std::vector<SensorFrame> frames = record(n);
    SensorState state;
    state.filter_enabled.store(filter);
    StreamContext ctx;
    ctx.synced = true;
    unsigned sink = 0;
    uint8_t package[rtde_data_package_size];
    // The recorded frames from memory: a copy stands in for the read, which costs the daemon
    // a system call and no instructions of its own. What the pass sends is encoded as the
    // device port writes it; nothing goes to a descriptor.
    FakePort port;
    port.repeat(frames);
    port.on_send = [&](const double* wrench) {
        rtde_encode_data(package, 1, wrench);
        sink ^= package[11];
    };

    CALLGRIND_TOGGLE_COLLECT;
    if (section == "pass") {
        for (long i = 0; i < n; ++i) synced_pass(ctx, state, port);
    } else if (section == "crc") {
        for (const SensorFrame& f : frames) sink += f.crc_valid();
    } else if (section == "process") {
        for (const SensorFrame& f : frames)
            sink ^= unsigned(process_wrench(ctx.wrench, state, f)[2]);
    } else if (section == "encode") {
        const double values[6] = {1, -2, 3.5, -4, 5, 6.25};
        for (long i = 0; i < n; ++i) {
            rtde_encode_data(package, uint8_t(i), values);
            sink ^= package[7];
        }
    }
    CALLGRIND_TOGGLE_COLLECT;

    if (section == "pass" && !ctx.synced) {
        fprintf(stderr, "frame_path: the pass lost sync\n");
        return 1;
    }
    printf("%u\n", sink);
    return 0;
}
