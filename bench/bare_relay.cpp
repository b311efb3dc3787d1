// The floor: the least a bridge can do through this pipeline. It opens the port as the
// daemon does, sets up the controller's input recipe, then for every 37 bytes read sends
// one 52-byte data package carrying the frame's six floats as big-endian doubles. No CRC
// check, no processing, no statistics.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

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
}  // namespace

int main(int argc, char** argv) {
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
        if (write(sock, package, sizeof package) != ssize_t(sizeof package))
            return 1;
    }
}
