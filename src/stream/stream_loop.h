// The endless loop that keeps frame synchronisation and feeds the controller.
#pragma once

#include <cstdint>

class SensorState;

// Streams from sensor_fd to rtde_socket with recipe_id for the life of the process.
[[noreturn]] void stream_loop(SensorState& state, const uint8_t& recipe_id);
