// The sensor's 37-byte frame and the CRC that guards it.
#pragma once

#include <cstdint>
#include <cstring>

constexpr int frame_size = 37;          // header, payload, CRC
constexpr int frame_payload_size = 34;  // bytes 1..34, the CRC's span
constexpr int frame_rest_size = 36;     // what follows the header: payload and CRC

// Header value of every frame; compared against every received header byte.
extern const uint8_t sync_header;

uint16_t crc16_update(uint16_t crc, uint8_t byte);
uint16_t crc16(const uint8_t* data, unsigned length);

// The frame exactly as it travels on the line. Fields are little-endian at fixed offsets,
// so they are decoded from the bytes rather than overlaid with a packed struct.
struct SensorFrame {
    uint8_t bytes[frame_size];

    uint8_t header() const { return bytes[0]; }
    uint16_t status() const { return u16_at(1); }
    float force(int axis) const { return f32_at(3 + 4 * axis); }
    float torque(int axis) const { return f32_at(15 + 4 * axis); }
    uint32_t timestamp_us() const { return u32_at(27); }
    uint16_t crc() const { return u16_at(35); }

    // Valid when the CRC of the payload matches; the header byte is not covered.
    bool crc_valid() const;
    // All six measured values are finite. A float is finite unless all its exponent bits are
    // set (infinity or NaN): a mask and a compare per value, inline on the per-frame path.
    bool values_finite() const {
        constexpr uint32_t exponent = 0x7F800000;
        for (int i = 3; i < 27; i += 4)
            if ((u32_at(i) & exponent) == exponent)
                return false;
        return true;
    }

  private:
    // One load each on a little-endian host, where the compiler does not merge byte loads.
    template <class Uint>
    Uint little_endian_at(int i) const {
        Uint v;
        std::memcpy(&v, bytes + i, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = sizeof v == 2 ? Uint(__builtin_bswap16(v)) : Uint(__builtin_bswap32(v));
#endif
        return v;
    }
    uint16_t u16_at(int i) const {
        return little_endian_at<uint16_t>(i);
    }
    uint32_t u32_at(int i) const {
        return little_endian_at<uint32_t>(i);
    }
    // Inline: the stream decodes twelve values a frame, and a call each cost more than the
    // load itself.
    float f32_at(int i) const {
        uint32_t bits = u32_at(i);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
};

// Builds a well-formed frame (header 0xAA, correct CRC); for simulators, tests and benchmarks.
SensorFrame encode_frame(uint16_t status, const float force[3], const float torque[3],
                         uint32_t timestamp_us);
