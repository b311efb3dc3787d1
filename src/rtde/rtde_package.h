// The controller protocol's packages: encoding what we send, checking what we receive.
#pragma once

#include <cstdint>

constexpr int rtde_header_size = 3;
constexpr int rtde_data_package_size = 52;
constexpr int rtde_buffer_size = 200;  // request, and reply payload with its terminating zero

// Writes size (big-endian) and type into the first 3 bytes of buf.
void rtde_write_header(uint8_t* buf, int size, int type);

// The 52-byte data package: header, recipe id, six big-endian IEEE 754 doubles.
void rtde_encode_data(uint8_t* out, uint8_t recipe_id, const double values[6]);

// Builds the setup-inputs request for names into buf (rtde_buffer_size bytes); returns
// its length, or -1 when the names do not fit.
int rtde_encode_setup_request(uint8_t* buf, const char* names);

// What became of a set-up reply: read whole, a part unreadable, or refused by its size.
enum class ReplyRead {
    ok,
    size_unreadable,
    type_unreadable,
    payload_unreadable,
    too_short,
    no_recipe_id,
    too_long
};
// Whether a reply with this size field and type fits what a set-up attempt can hold: ok,
// too_short, no_recipe_id or too_long.
ReplyRead rtde_check_reply(unsigned size, uint8_t type);
