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

// What the socket shows of the packages that wait for the controller, from one TCP_INFO.
struct RtdeQueueView {
    bool in_flight = false;        // some package is not yet acknowledged
    int64_t oldest_unsent_ns = 0;  // when the oldest package not yet on the wire went; 0: none
    uint32_t unsent_bytes = 0;     // not yet on the wire (tcpi_notsent_bytes)
    uint32_t window = 0;           // the controller's advertised window (tcpi_snd_wnd)
    uint32_t largest_window = 0;   // the largest window seen on this connection
};

// True when a package may join what waits in our socket. The controller acts on the last
// input only, so what matters is the age of what waits, not its length: a package goes while
// nothing is unacknowledged, or while what waits unsent is at most 10 ms old and the
// controller's window shows it is not sitting on unread data of its own (three quarters of
// the largest seen or more); once that window narrows, at most a few packages may wait
// unsent, since those go out late whatever their age. With
// nothing unacknowledged a package always goes: only a package sent brings the window's news.
bool rtde_queue_has_room(const RtdeQueueView& view, int64_t now_ns);

// The packages of one connection that the controller has not acknowledged yet: when each
// went, by the stream offset of its last byte (as tcpi_bytes_acked counts them). In a burst
// that fills the ring, its newest entry stands for the rest as well.
struct RtdeFlow {
    static constexpr int ring_size = 256;
    uint64_t end[ring_size];
    int64_t sent_ns[ring_size];
    int head = 0;  // the oldest unacknowledged package
    int count = 0;
    bool started = false;  // offsets aligned with the socket's count
    uint64_t written = 0;  // stream offset of the next byte we write
    uint64_t acked = 0;    // tcpi_bytes_acked at the last look
    uint32_t largest_window = 0;
    bool took = false;  // at the last look, acknowledged bytes advanced or none waited
};

// Offers one data package without waiting, after one TCP_INFO on the socket: rtde_skipped
// (nothing written) when rtde_queue_has_room refuses it or the socket cannot take the whole
// package now, rtde_failed on an error. A package is never left half-written.
int rtde_offer_data(int sock, uint8_t recipe_id, const double values[6], RtdeFlow& flow);

// Connects to the controller and registers external_force_torque, retrying once a second
// until more than 20 seconds have passed. Returns only on success; else ends the process.
void rtde_connect(uint8_t* recipe_id);
