// Feeds an arbitrary byte stream through the stream's search and synced passes and checks
// that every package sent stands for a CRC-valid, finite frame that was just read.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "driver/sensor_state.h"
#include "fake_port.h"
#include "stream/stream_pass.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    SensorState state;
    // The first byte picks the settings the processing depends on.
    uint8_t mode = data[0];
    state.enable_filter(mode & 1, 1 + (mode >> 1 & 3));
    const double values[6] = {1.0, -2.0, 3.5, 0.25, -0.125, 1e6};
    if (mode & 0x10)
        state.set_bias(values);
    if (mode & 0x20)
        state.set_output(values);
    StreamContext ctx;
    FakePort port;
    ctx.search_start = port.now();  // the clock stands still: the header timeout never fires
    // 0xFE 0x00 stands for a silence that makes the read in progress time out, as the real
    // line has one whenever the sensor pauses; a plain 0x00 is still data.
    size_t from = 1;
    for (size_t i = 1; i + 1 < size; ++i) {
        if (data[i] == 0xFE && data[i + 1] == 0x00) {
            port.add(data + from, int(i - from));
            port.silence();
            from = i + 2;
            ++i;
        }
    }
    if (from < size)
        port.add(data + from, int(size - from));
    port.on_send = [&](const double* wrench) {
        if (!ctx.frame.crc_valid() || !ctx.frame.values_finite())
            abort();
        for (int k = 0; k < 6; ++k)
            if (!std::isfinite(wrench[k]))
                abort();
    };
    try {
        for (int guard = 0; !port.dry() && guard < 1 << 20; ++guard) stream_pass(ctx, state, port);
    } catch (const PortDead&) {
        // Where the daemon's read_byte ends the process.
    }
    if (port.sent.size() > size / 37)
        abort();  // more packages than whole frames could carry
    return 0;
}
