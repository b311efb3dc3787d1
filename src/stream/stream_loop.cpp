#include "stream/stream_loop.h"

#include "driver/descriptor_io.h"
#include "driver/diagnostics.h"
#include "driver/interrupt.h"
#include "driver/sensor_state.h"
#include "driver/service_notify.h"
#include "rtde/rtde_client.h"
#include "sensor/serial_io.h"
#include "stream/realtime.h"
#include "stream/stream_pass.h"

namespace {
// The real world: the sensor port, the calendar clock and the controller connection.
class DevicePort : public StreamPort {
  public:
    explicit DevicePort(const uint8_t& recipe_id) : recipe_id_(recipe_id) {}
    int read_fully(uint8_t* buf, int n) override { return ::read_fully(sensor_fd, buf, n); }
    int read_byte() override { return ::read_byte(); }
    int read_header(uint8_t* byte) override { return read_port(sensor_fd, byte, 1); }
    void wait_while_configuring(SensorState& state) override { state.wait_while_configuring(); }
    time_t now() override { return time(nullptr); }
    int send(const double wrench[6]) override {
        return rtde_offer_data(rtde_socket, recipe_id_, wrench, flow_);
    }
    bool controller_took() override { return flow_.took; }

  private:
    const uint8_t& recipe_id_;  // start-up's, read for every package
    RtdeFlow flow_;
};
}  // namespace

void stream_loop(SensorState& state, const uint8_t& recipe_id) {
    make_stream_realtime(&state, sizeof state);
    DevicePort port(recipe_id);
    StreamContext ctx;
    ctx.search_start = port.now();
    service_phase(ServicePhase::streaming);
    for (;;) {
        stream_pass(ctx, state, port);
        note_stream_pass();
    }
}
