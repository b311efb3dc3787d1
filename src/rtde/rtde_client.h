// The client side of the controller's RTDE interface: set-up and data packages.
#pragma once

#include <cstdint>

#include "rtde/rtde_package.h"

// One reply package of the set-up, its payload zero-terminated.
struct RtdeReply {
    unsigned size = 0;  // the size field: header and payload
    uint8_t type = 0;
    int payload_size = 0;
    uint8_t payload[rtde_buffer_size];
};

// Reads one reply, refusing sizes the buffer cannot hold; prints nothing.
enum class ReplyRead {
    ok,
    size_unreadable,
    type_unreadable,
    payload_unreadable,
    too_short,
    no_recipe_id,
    too_long
};
ReplyRead rtde_read_reply(int sock, RtdeReply* reply);

// Acts on a reply that was read: true for an 'I' reply (recipe id stored and reported),
// false for any other type (recipe id 0; an 'M' text is printed).
bool rtde_take_reply(const RtdeReply& reply, uint8_t* recipe_id);

// One set-up attempt for the input variables names: true on an 'I' reply (recipe id stored,
// 0 for a refused set-up), false on any other reply (recipe id 0). Ends the process when
// the reply cannot be read or does not fit.
bool rtde_setup_inputs(int sock, const char* names, uint8_t* recipe_id);

// What became of a data package offered to the controller.
enum RtdeOffer { rtde_sent = 0, rtde_failed = 1, rtde_skipped = 2 };

// True when a package may join the bytes still unsent in our socket. The controller acts on
// the last input only, so a package waiting behind others is stale by the time it arrives:
// at most 40 ms of them wait, and the newest is worth more than a queue of old ones.
bool rtde_queue_has_room(int unsent_bytes);

// Offers one data package without waiting: rtde_skipped (nothing written) when the socket
// already holds a few unsent packages or cannot take the whole package now, rtde_failed on
// a write error. A package is never left half-written.
int rtde_offer_data(int sock, uint8_t recipe_id, const double values[6]);

// Connects to the controller and registers external_force_torque, retrying once a second
// until more than 20 seconds have passed. Returns only on success; else ends the process.
void rtde_connect(uint8_t* recipe_id);
