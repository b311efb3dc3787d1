#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sensor/frame.h"

TEST(Crc16, KnownVectors) {
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x906E);
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>("abc"), 3), 0x9E25);
    uint8_t zeros[34] = {};
    EXPECT_EQ(crc16(zeros, 34), 0xE26A);
    EXPECT_EQ(crc16(zeros, 0), 0);
}

// The whole-buffer CRC is table-driven: every length must give the same value as the single
// shift steps, checked against a plain bitwise reference.
TEST(Crc16, EveryLengthMatchesTheBitwiseDefinition) {
    uint8_t data[41];
    for (unsigned i = 0; i < sizeof data; ++i) data[i] = uint8_t(i * 37 + 11);
    for (unsigned n = 0; n <= sizeof data; ++n) {
        unsigned reference = 0xFFFF;
        uint16_t stepped = 0xFFFF;
        for (unsigned i = 0; i < n; ++i) {
            reference ^= data[i];
            for (int bit = 0; bit < 8; ++bit)
                reference = reference & 1 ? (reference >> 1) ^ 0x8408 : reference >> 1;
            stepped = crc16_update(stepped, data[i]);
        }
        EXPECT_EQ(crc16(data, n), uint16_t(~reference)) << "length " << n;
        EXPECT_EQ(uint16_t(~stepped), uint16_t(~reference)) << "length " << n;
    }
}

TEST(SensorFrame, LayoutAndValidity) {
    const float force[3] = {1.5f, -2.25f, 3.0f};
    const float torque[3] = {-0.5f, 0.125f, 7.0f};
    SensorFrame f = encode_frame(258, force, torque, 0x01020304);
    EXPECT_EQ(f.header(), 0xAA);
    EXPECT_EQ(f.bytes[1], 0x02);  // little-endian status
    EXPECT_EQ(f.bytes[2], 0x01);
    EXPECT_EQ(f.status(), 258);
    for (int axis = 0; axis < 3; ++axis) {
        EXPECT_EQ(f.force(axis), force[axis]);
        EXPECT_EQ(f.torque(axis), torque[axis]);
    }
    EXPECT_EQ(f.timestamp_us(), 0x01020304u);
    EXPECT_EQ(f.bytes[27], 0x04);
    uint16_t crc = crc16(f.bytes + 1, 34);
    EXPECT_EQ(f.bytes[35], crc & 0xFF);  // CRC low byte first
    EXPECT_EQ(f.bytes[36], crc >> 8);
    EXPECT_TRUE(f.crc_valid());

    SensorFrame other_header = f;
    other_header.bytes[0] = 0x55;  // the header is not covered
    EXPECT_TRUE(other_header.crc_valid());
    for (int i = 1; i <= 36; ++i) {
        SensorFrame broken = f;
        broken.bytes[i] ^= 0x01;
        EXPECT_FALSE(broken.crc_valid()) << "byte " << i;
    }
}

TEST(SensorFrame, NonFiniteValues) {
    float force[3] = {0, 0, 0};
    const float torque[3] = {0, 0, 0};
    EXPECT_TRUE(encode_frame(0, force, torque, 0).values_finite());
    force[2] = NAN;
    EXPECT_FALSE(encode_frame(0, force, torque, 0).values_finite());
    force[2] = -INFINITY;
    EXPECT_FALSE(encode_frame(0, force, torque, 0).values_finite());
}
