// Feeds an arbitrary byte stream through the stream's search and synced passes and checks
// that every package sent stands for a CRC-valid, finite frame that was just read.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/sensor_state.h"
#include "stream/stream_pass.h"

namespace {
class BytesPort : public StreamPort {
  public:
    BytesPort(const uint8_t* data, size_t size, const StreamContext& ctx)
        : data_(data), size_(size), ctx_(ctx) {}

    // A zero byte in the stream stands for a silence that makes the read in progress
    // time out; the real line has one whenever the sensor pauses.
    int read_fully(uint8_t* buf, int n) override {
        for (int i = 0; i < n; ++i) {
            if (pos_ >= size_)
                return 1;
            if (silence_next())
                return 1;
            buf[i] = data_[pos_++];
        }
        return 0;
    }
    int read_byte() override {
        if (pos_ >= size_)
            return 0;
        return data_[pos_++];
    }
    time_t now() override { return 0; }  // the header timeout never fires
    int send(const double wrench[6]) override {
        if (!ctx_.frame.crc_valid() || !ctx_.frame.values_finite())
            abort();
        for (int k = 0; k < 6; ++k)
            if (!std::isfinite(wrench[k]))
                abort();
        ++sent;
        return 0;
    }
    bool exhausted() const { return pos_ >= size_; }
    size_t sent = 0;

  private:
    bool silence_next() {
        // Escape: 0xFE 0x00 is a silence, so that a plain 0x00 can still be data.
        if (pos_ + 1 < size_ && data_[pos_] == 0xFE && data_[pos_ + 1] == 0x00) {
            pos_ += 2;
            return true;
        }
        return false;
    }
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    const StreamContext& ctx_;
};
}  // namespace

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
    BytesPort port(data + 1, size - 1, ctx);
    for (int guard = 0; !port.exhausted() && guard < 1 << 20; ++guard)
        stream_pass(ctx, state, port);
    if (port.sent > size / 37)
        abort();  // more packages than whole frames could carry
    return 0;
}
