#include "sensor/frame.h"

#include <cmath>
#include <cstring>

const uint8_t sync_header = 0xAA;

// CRC-16/X-25, one byte at a time with shifts only: no table to keep in cache.
uint16_t crc16_update(uint16_t crc, uint8_t byte) {
    uint8_t d = byte ^ uint8_t(crc & 0xFF);
    d = uint8_t(d ^ (d << 4));
    return uint16_t(((uint16_t(d) << 8) | (crc >> 8)) ^ uint8_t(d >> 4) ^ (uint16_t(d) << 3));
}

uint16_t crc16(const uint8_t* data, unsigned length) {
    uint16_t crc = 0xFFFF;
    for (unsigned i = 0; i < length; ++i) crc = crc16_update(crc, data[i]);
    return uint16_t(~crc);
}

float SensorFrame::f32_at(int i) const {
    uint32_t bits = u32_at(i);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool SensorFrame::values_finite() const {
    for (int axis = 0; axis < 3; ++axis)
        if (!std::isfinite(force(axis)) || !std::isfinite(torque(axis))) return false;
    return true;
}

static void put_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

static void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

static void put_f32(uint8_t* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_u32(p, bits);
}

SensorFrame encode_frame(uint16_t status, const float force[3], const float torque[3],
                         uint32_t timestamp_us) {
    SensorFrame f{};
    f.bytes[0] = sync_header;
    put_u16(f.bytes + 1, status);
    for (int axis = 0; axis < 3; ++axis) {
        put_f32(f.bytes + 3 + 4 * axis, force[axis]);
        put_f32(f.bytes + 15 + 4 * axis, torque[axis]);
    }
    put_u32(f.bytes + 27, timestamp_us);
    put_u16(f.bytes + 35, crc16(f.bytes + 1, frame_payload_size));
    return f;
}
