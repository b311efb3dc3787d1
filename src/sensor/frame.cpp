#include "sensor/frame.h"

#include <cstring>

const uint8_t sync_header = 0xAA;

namespace {
// One step of CRC-16/X-25 with shifts only; it defines the checksum and builds the table.
constexpr unsigned crc16_step(unsigned crc, unsigned byte) {
    unsigned d = (byte ^ crc) & 0xFF;
    d = (d ^ (d << 4)) & 0xFF;
    return (crc >> 8) ^ (d << 8) ^ (d << 3) ^ (d >> 4);
}

// The step's effect depends only on the low byte of crc XOR the input byte, so one lookup
// and one shift replace it: the stream checks a frame in a third of the instructions.
struct Crc16Table {
    uint16_t entry[256];
    constexpr Crc16Table() : entry() {
        for (unsigned i = 0; i < 256; ++i) entry[i] = uint16_t(crc16_step(0, i));
    }
};
constexpr Crc16Table crc16_table;

inline unsigned crc16_table_step(unsigned crc, uint8_t byte) {
    return (crc >> 8) ^ crc16_table.entry[(crc ^ byte) & 0xFF];
}
}  // namespace

uint16_t crc16_update(uint16_t crc, uint8_t byte) {
    return uint16_t(crc16_step(crc, byte));
}

uint16_t crc16(const uint8_t* data, unsigned length) {
    unsigned crc = 0xFFFF;
    for (unsigned i = 0; i < length; ++i) crc = crc16_table_step(crc, data[i]);
    return uint16_t(~crc);
}

// Every frame of the stream passes here. The fixed length unrolls whole, and the CRC is held
// as its two bytes, so that a step is one lookup in each half of the table and no shift.
bool SensorFrame::crc_valid() const {
    uint8_t low = 0xFF, high = 0xFF;
#pragma GCC unroll 34
    for (int i = 1; i <= frame_payload_size; ++i) {
        const uint16_t entry = crc16_table.entry[low ^ bytes[i]];
        low = uint8_t(high ^ entry);
        high = uint8_t(entry >> 8);
    }
    return uint16_t(~(low | high << 8)) == this->crc();
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
