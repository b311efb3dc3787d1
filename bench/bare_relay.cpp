// The floor: the least a bridge can do through this pipeline. It opens the port as the
// daemon does, sets up the controller's input recipe, then for every 37 bytes read sends
// one 52-byte data package carrying the frame's six floats as big-endian doubles. No CRC
// check, no processing, no statistics.
//
// With --fresh it is the floor of freshness instead: it skips a frame's package while the
// oldest package in its socket is over 10 ms old, or while the controller's advertised window
// is below three quarters of the largest seen with something in flight; one TCP_INFO per
// package. Nothing is kept back: a skipped package is gone.
//
// usage: bare_relay [--fresh] [PORT]

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/descriptor_io.h"
#include "sensor/frame.h"
#include "sensor/serial_port.h"

namespace {
void put_be_double(uint8_t* p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits = __builtin_bswap64(bits);
    std::memcpy(p, &bits, sizeof bits);
}
int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The packages in the socket not yet acknowledged: their last byte's offset and send time.
struct Waiting {
    static constexpr int size = 4096;
    uint64_t end[size];
    int64_t at[size];
    int head = 0, count = 0;
    bool started = false;
    uint64_t written = 0;
    uint32_t largest = 0;

    bool may_send(int sock, int64_t now) {
        tcp_info info{};
        socklen_t length = sizeof info;
        if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
            return true;
        if (!started) {  // the set-up was answered: all of it is acknowledged
            written = info.tcpi_bytes_acked;
            started = true;
        }
        while (count > 0 && end[head] <= info.tcpi_bytes_acked) {
            head = (head + 1) % size;
            --count;
        }
        if (info.tcpi_snd_wnd > largest)
            largest = info.tcpi_snd_wnd;
        if (count == 0)
            return true;
        if (count == size || now - at[head] > 10000000)
            return false;
        return uint64_t(info.tcpi_snd_wnd) * 4 >= uint64_t(largest) * 3;
    }
    void sent(int64_t now) {
        written += 52;
        const int tail = (head + count) % size;
        end[tail] = written;
        at[tail] = now;
        ++count;
    }
};
Waiting waiting;
}  // namespace

int main(int argc, char** argv) {
    const bool fresh = argc > 1 && std::strcmp(argv[1], "--fresh") == 0;
    if (fresh) {
        --argc;
        ++argv;
    }
    const char* path = argc > 1 ? argv[1] : "/dev/ttyUSB0";
    int port = init_serialport(path, 460800);
    if (port < 0)
        return 1;

    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(30004);
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (sock < 0 || connect(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        perror("bare_relay: connect");
        return 1;
    }
    const char request[] = "\x00\x18Iexternal_force_torque";
    uint8_t reply[200];
    if (write_fully(sock, request, 24) != 0 || read_fully(sock, reply, 3) != 0)
        return 1;
    int payload = (reply[0] << 8 | reply[1]) - 3;
    if (reply[2] != 'I' || payload < 1 || payload > 190 || read_fully(sock, reply, payload) != 0)
        return 1;
    const uint8_t recipe_id = reply[0];
    if (fresh) {
        int one = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    // Align once on a CRC-valid frame; the stream starts wherever the flush left it.
    SensorFrame frame{};
    do {
        if (read_fully(port, frame.bytes, 1) != 0)
            continue;
        if (frame.bytes[0] != sync_header)
            continue;
        if (read_fully(port, frame.bytes + 1, frame_rest_size) != 0)
            continue;
    } while (!frame.crc_valid());

    uint8_t package[52] = {0, 52, 'U', recipe_id};
    for (;;) {
        if (read_fully(port, frame.bytes, frame_size) != 0)
            continue;
        for (int k = 0; k < 6; ++k) {
            float v;
            std::memcpy(&v, frame.bytes + 3 + 4 * k, sizeof v);
            put_be_double(package + 4 + 8 * k, v);
        }
        const int64_t now = fresh ? now_ns() : 0;
        if (fresh && !waiting.may_send(sock, now))
            continue;
        if (write(sock, package, sizeof package) != ssize_t(sizeof package))
            return 1;
        if (fresh)
            waiting.sent(now);
    }
}
