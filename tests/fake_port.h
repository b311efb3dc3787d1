// The one stand-in for the sensor port, the clocks and the controller that stream passes run
// against in-process: the unit tests, the fuzz targets and the frame-path benchmark.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <vector>

#include "sensor/frame.h"
#include "stream/stream_pass.h"

// Thrown where the real read_byte would end the process.
struct PortDead : std::runtime_error {
    PortDead() : std::runtime_error("read_byte found no byte") {}
};

class FakePort : public StreamPort {
  public:
    using Wrench = std::array<double, 6>;

    // Script building. A silence makes the read in progress fail, as 0.1 s without a byte does.
    void add(const SensorFrame& f) { add(f.bytes, frame_size); }
    void add(const uint8_t* p, int n) {
        script_.insert(script_.end(), p, p + n);
        scripted_ += size_t(n);
    }
    void add(std::initializer_list<int> bytes) {
        for (int b : bytes) script_.push_back(b);
        scripted_ += bytes.size();
    }
    void silence() { script_.push_back(silence_mark); }
    // Runs action once the given number of bytes has been delivered in total.
    void at_offset(size_t delivered, std::function<void()> action) {
        hooks_[delivered] = std::move(action);
    }
    // Instead of a script, an endless line for runs of millions of frames: these frames over
    // and over, never a silence. Its packages are not kept: on_send sees them.
    void repeat(const std::vector<SensorFrame>& frames) {
        for (const SensorFrame& f : frames)
            line_.insert(line_.end(), f.bytes, f.bytes + frame_size);
    }

    bool dry() const { return next_ == script_.size() && line_.empty(); }
    size_t delivered() const { return delivered_; }
    size_t scripted() const { return scripted_; }  // bytes added so far, silences not counted

    int read_fully(uint8_t* buf, int n) override {
        ++reads;
        if (line_pos_ + size_t(n) <= line_.size()) {
            // A copy from the endless line, as cheap as the benchmark's read should be.
            std::memcpy(buf, line_.data() + line_pos_, size_t(n));
            line_pos_ = line_pos_ + size_t(n) == line_.size() ? 0 : line_pos_ + size_t(n);
            delivered_ += size_t(n);
            return 0;
        }
        for (int i = 0; i < n; ++i) {
            if (!next_byte(buf[i]))
                return 1;
        }
        return 0;
    }
    int read_byte() override {
        ++reads;
        uint8_t b;
        if (!next_byte(b))
            throw PortDead();
        return b;
    }
    time_t now() override { return clock; }
    int64_t now_ns() override { return clock_ns; }
    int send(const double wrench[6]) override {
        if (on_send)
            on_send(wrench);
        if (!line_.empty())
            return send_result;
        Wrench w;
        for (int k = 0; k < 6; ++k) w[k] = wrench[k];
        sent.push_back(w);
        sent_at.push_back(delivered_);
        return send_result;
    }
    bool controller_took() override { return took; }

    time_t clock = 1000;
    int64_t clock_ns = 1000000000000;  // the monotonic clock, apart from the calendar one
    int send_result = 0;
    bool took = false;  // the controller acknowledged data since the last send
    int reads = 0;
    std::function<void(const double* wrench)> on_send;  // sees each package first
    std::vector<Wrench> sent;
    std::vector<size_t> sent_at;  // bytes delivered when each package went out

  private:
    static constexpr int silence_mark = -1;

    bool next_byte(uint8_t& out) {
        if (!line_.empty()) {
            out = line_[line_pos_];
            line_pos_ = (line_pos_ + 1) % line_.size();
            ++delivered_;
            return true;
        }
        if (next_ == script_.size())
            return false;
        const int b = script_[next_++];
        if (b == silence_mark)
            return false;
        out = uint8_t(b);
        ++delivered_;
        auto hook = hooks_.find(delivered_);
        if (hook != hooks_.end())
            hook->second();
        return true;
    }

    std::vector<int> script_;
    size_t next_ = 0;  // the script's next byte
    std::map<size_t, std::function<void()>> hooks_;
    std::vector<uint8_t> line_;
    size_t line_pos_ = 0;
    size_t delivered_ = 0;
    size_t scripted_ = 0;
};

// A frame whose values and timestamp derive from n, so each one is recognisable downstream.
inline SensorFrame numbered_frame(int n, uint16_t status = 0) {
    const float force[3] = {float(n) + 0.25f, float(n) + 0.5f, -float(n)};
    const float torque[3] = {float(n) * 0.5f, -float(n) - 0.75f, float(n) + 2.0f};
    return encode_frame(status, force, torque, uint32_t(1500 * n));
}

// What the controller receives for a frame with the filter off and no offset.
inline FakePort::Wrench mapped_of(const SensorFrame& f) {
    float m[6];
    map_sample(f, m);
    return {m[0], m[1], m[2], m[3], m[4], m[5]};
}
