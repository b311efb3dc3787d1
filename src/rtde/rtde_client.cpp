#include "rtde/rtde_client.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include "driver/descriptor_io.h"
#include "driver/fatal_report.h"
#include "driver/interrupt.h"
#include "rtde/rtde_package.h"

namespace {
const char* const controller_address = "127.0.0.1";
const char* const controller_port = "30004";
const char* const input_variable = "external_force_torque";
constexpr double setup_limit_s = 20.0;
// A controller that accepts the connection but never answers would otherwise hold the
// start-up forever: a bounded read turns it into a reported failure. The stream's packages
// never wait (rtde_offer_data); the send timeout bounds only the rest of a partial one.
constexpr time_t reply_timeout_s = 20;
constexpr time_t send_timeout_s = 1;
// 32 packages, 40 ms at 800 frames/s: what a controller's delayed acknowledgement (up to 40 ms)
// holds back while the connection's congestion window is still small, never a backlog.
constexpr int queue_limit = 32 * rtde_data_package_size;
}  // namespace

ReplyRead rtde_read_reply(int sock, RtdeReply* reply) {
    uint8_t size_bytes[2];
    if (read_fully(sock, size_bytes, 2) != 0)
        return ReplyRead::size_unreadable;
    reply->size = unsigned(size_bytes[0]) << 8 | size_bytes[1];
    if (read_fully(sock, &reply->type, 1) != 0)
        return ReplyRead::type_unreadable;
    switch (rtde_check_reply(reply->size, reply->type)) {
        case ReplyCheck::ok:
            break;
        case ReplyCheck::too_short:
            return ReplyRead::too_short;
        case ReplyCheck::no_recipe_id:
            return ReplyRead::no_recipe_id;
        case ReplyCheck::too_long:
            return ReplyRead::too_long;
    }
    reply->payload_size = int(reply->size) - rtde_header_size;
    if (read_fully(sock, reply->payload, reply->payload_size) != 0)
        return ReplyRead::payload_unreadable;
    reply->payload[reply->payload_size] = 0;
    return ReplyRead::ok;
}

bool rtde_take_reply(const RtdeReply& reply, uint8_t* recipe_id) {
    const char* text = reinterpret_cast<const char*>(reply.payload);
    if (reply.type == 'I') {
        *recipe_id = reply.payload[0];
        if (*recipe_id != 0)
            printf("Successful setup: Recipe id = %u\n", unsigned(*recipe_id));
        else
            puts("Setup failed!");
        printf("Type of \"input recipe\": %s\n", text + 1);
        return true;
    }
    *recipe_id = 0;
    if (reply.type == 'M')
        printf("Message: %s\n", text);
    return false;
}

bool rtde_setup_inputs(int sock, const char* names, uint8_t* recipe_id) {
    uint8_t request[rtde_buffer_size];
    int length = rtde_encode_setup_request(request, names);
    if (length < 0)
        fail_logged("RTDE input names do not fit the set-up request!\n");
    (void)write_fully(sock, request, length);

    RtdeReply reply;
    switch (rtde_read_reply(sock, &reply)) {
        case ReplyRead::ok:
            return rtde_take_reply(reply, recipe_id);
        case ReplyRead::size_unreadable:
            fail_logged("Reading HEADER.size failed!\n");
        case ReplyRead::type_unreadable:
            fail_logged("Reading HEADER.type failed!\n");
        case ReplyRead::payload_unreadable:
            fail_logged("Reading PAYLOAD failed!\n");
        case ReplyRead::too_short:
            fail_logged("Invalid RTDE reply: size %u is below the 3-byte header\n", reply.size);
        case ReplyRead::no_recipe_id:
            fail_logged("Invalid RTDE reply: 'I' reply of size %u holds no recipe id\n",
                        reply.size);
        case ReplyRead::too_long:
            fail_logged(
                "Invalid RTDE reply: payload of %u bytes does not fit the 200-byte buffer\n",
                reply.size - rtde_header_size);
    }
    return false;
}

bool rtde_queue_has_room(int unsent_bytes) {
    return unsent_bytes >= 0 && unsent_bytes + rtde_data_package_size <= queue_limit;
}

int rtde_offer_data(int sock, uint8_t recipe_id, const double values[6]) {
    // Unsent, not unacknowledged: bytes the controller's side already holds are its own queue.
    int unsent = 0;
    if (ioctl(sock, SIOCOUTQNSD, &unsent) != 0)
        return rtde_failed;
    if (!rtde_queue_has_room(unsent))
        return rtde_skipped;
    uint8_t package[rtde_data_package_size];
    rtde_encode_data(package, recipe_id, values);
    ssize_t n = send(sock, package, rtde_data_package_size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == rtde_data_package_size)
        return rtde_sent;
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? rtde_skipped : rtde_failed;
    // Never seen with the queue this short, but a partial package would break the
    // controller's framing: the rest must follow, bounded by the send timeout.
    return write_fully(sock, package + n, int(rtde_data_package_size - n)) == 0 ? rtde_sent
                                                                                : rtde_failed;
}

void rtde_connect(uint8_t* recipe_id) {
    long port = strtol(controller_port, nullptr, 10);
    rtde_socket = socket(AF_INET, SOCK_STREAM, 0);
    if (rtde_socket < 0)
        fail(1, "socket: %s\n", strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = inet_addr(controller_address);
    if (connect(rtde_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail(1, "RTDE socket connection failed: %s\n", strerror(errno));
    timeval timeout{reply_timeout_s, 0};
    setsockopt(rtde_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    time_t t0 = time(nullptr);
    while (!rtde_setup_inputs(rtde_socket, input_variable, recipe_id)) {
        std::cout << "Could not yet setup RTDE connection." << std::endl;
        if (difftime(time(nullptr), t0) > setup_limit_s)
            fail_logged("Setup RTDE connection failed!\n");
        sleep(1);
    }
    timeval send_timeout{send_timeout_s, 0};
    setsockopt(rtde_socket, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    // Each package goes at once: Nagle would hold it back behind an unacknowledged one, and
    // the queue limit counts unsent bytes.
    int one = 1;
    setsockopt(rtde_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}
