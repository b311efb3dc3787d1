#include "rtde/rtde_client.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
// Alone, not with <netinet/tcp.h>: glibc's tcp_info lacks tcpi_notsent_bytes and tcpi_snd_wnd.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "driver/debug_log.h"
#include "driver/descriptor_io.h"
#include "driver/fatal_report.h"
#include "driver/interrupt.h"
#include "driver/sensor_state.h"
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
// What may wait unsent for the controller: a few of its cycles (2 to 8 ms). What is in our
// socket goes out late whatever its age, so at 800 frames/s that is a few packages; in a
// burst, more, but they drain as fast as they came. What is on the wire is the loopback's:
// a busy loopback delays its acknowledgements, not its delivery to a reading controller.
constexpr int64_t queue_age_limit_ns = 10000000;
constexpr uint32_t unsent_limit = 4 * rtde_data_package_size;

// Brings the flow up to the socket's news: acknowledged packages leave the ring.
RtdeQueueView take_news(RtdeFlow& flow, const tcp_info& info) {
    flow.took = info.tcpi_bytes_acked != flow.acked || flow.count == 0;
    flow.acked = info.tcpi_bytes_acked;
    while (flow.count > 0 && flow.end[flow.head] <= flow.acked) {
        flow.head = (flow.head + 1) % RtdeFlow::ring_size;
        --flow.count;
    }
    if (info.tcpi_snd_wnd > flow.largest_window)
        flow.largest_window = info.tcpi_snd_wnd;
    RtdeQueueView view;
    view.in_flight = flow.count > 0;
    if (info.tcpi_notsent_bytes > 0 && flow.count > 0) {
        // The oldest entry holding an unsent byte: the ring's offsets only grow.
        const uint64_t first_unsent = flow.written - info.tcpi_notsent_bytes;
        int low = 0, high = flow.count - 1;
        while (low < high) {
            const int mid = (low + high) / 2;
            if (flow.end[(flow.head + mid) % RtdeFlow::ring_size] > first_unsent)
                high = mid;
            else
                low = mid + 1;
        }
        view.oldest_unsent_ns = flow.sent_ns[(flow.head + low) % RtdeFlow::ring_size];
    }
    view.unsent_bytes = info.tcpi_notsent_bytes;
    view.window = info.tcpi_snd_wnd;
    view.largest_window = flow.largest_window;
    return view;
}

void note_written(RtdeFlow& flow, int64_t now_ns) {
    flow.written += rtde_data_package_size;
    if (flow.count == RtdeFlow::ring_size) {
        // A burst: the newest entry takes this package too, aged as its first, so an age
        // read from it is never too young.
        flow.end[(flow.head + flow.count - 1) % RtdeFlow::ring_size] = flow.written;
        return;
    }
    const int tail = (flow.head + flow.count) % RtdeFlow::ring_size;
    flow.end[tail] = flow.written;
    flow.sent_ns[tail] = now_ns;
    ++flow.count;
}
}  // namespace

ReplyRead rtde_read_reply(int sock, RtdeReply* reply) {
    uint8_t size_bytes[2];
    if (read_fully(sock, size_bytes, 2) != 0)
        return ReplyRead::size_unreadable;
    reply->size = unsigned(size_bytes[0]) << 8 | size_bytes[1];
    if (read_fully(sock, &reply->type, 1) != 0)
        return ReplyRead::type_unreadable;
    const ReplyRead fits = rtde_check_reply(reply->size, reply->type);
    if (fits != ReplyRead::ok)
        return fits;
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
            stream_logf("Successful setup: Recipe id = %u\n", unsigned(*recipe_id));
        else
            stream_log("Setup failed!\n");
        stream_logf("Type of \"input recipe\": %s\n", text + 1);
        return true;
    }
    *recipe_id = 0;
    if (reply.type == 'M')
        stream_logf("Message: %s\n", text);
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

bool rtde_queue_has_room(const RtdeQueueView& view, int64_t now_ns) {
    if (!view.in_flight)
        return true;
    if (view.oldest_unsent_ns != 0 && now_ns - view.oldest_unsent_ns > queue_age_limit_ns)
        return false;
    // Unsent while the window is not at its widest: the controller holds them back, not
    // the congestion window of a burst.
    if (view.window < view.largest_window &&
        view.unsent_bytes + rtde_data_package_size > unsent_limit)
        return false;
    return uint64_t(view.window) * 4 >= uint64_t(view.largest_window) * 3;
}

int rtde_offer_data(int sock, uint8_t recipe_id, const double values[6], RtdeFlow& flow) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return rtde_failed;
    if (!flow.started) {
        // Once: the stream offset of our next byte, past whatever the set-up left unacknowledged.
        int outstanding = 0;
        if (ioctl(sock, SIOCOUTQ, &outstanding) != 0)
            return rtde_failed;
        flow.written = info.tcpi_bytes_acked + uint64_t(outstanding);
        flow.acked = info.tcpi_bytes_acked;
        flow.started = true;
    }
    const int64_t now = precise_ns();
    const RtdeQueueView view = take_news(flow, info);
    if (!rtde_queue_has_room(view, now))
        return rtde_skipped;
    uint8_t package[rtde_data_package_size];
    rtde_encode_data(package, recipe_id, values);
    ssize_t n = send(sock, package, rtde_data_package_size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? rtde_skipped : rtde_failed;
    // Never seen with the queue this short, but a partial package would break the
    // controller's framing: the rest must follow, bounded by the send timeout.
    if (n != rtde_data_package_size &&
        write_fully(sock, package + n, int(rtde_data_package_size - n)) != 0)
        return rtde_failed;
    note_written(flow, now);
    return rtde_sent;
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
        stream_log("Could not yet setup RTDE connection.\n");
        if (difftime(time(nullptr), t0) > setup_limit_s)
            fail_logged("Setup RTDE connection failed!\n");
        sleep(1);
    }
    timeval send_timeout{send_timeout_s, 0};
    setsockopt(rtde_socket, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    // Each package goes at once: Nagle would hold it back behind an unacknowledged one, and
    // its age in our socket would be Nagle's, not the controller's.
    int one = 1;
    setsockopt(rtde_socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}
