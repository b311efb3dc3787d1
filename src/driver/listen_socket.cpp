#include "driver/listen_socket.h"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>

ListenTake take_listen_socket(int* fd) {
    *fd = -1;
    int count = sd_listen_fds(1);
    if (count < 0)
        return ListenTake::unreadable;
    if (count == 0)
        return ListenTake::ok;
    if (count != 1)
        return ListenTake::not_one;
    // The per-client limits key on IPv4 addresses: a dual-stack or IPv6 socket would let
    // every client through as one address.
    if (sd_is_socket_inet(SD_LISTEN_FDS_START, AF_INET, SOCK_STREAM, 1, 0) <= 0)
        return ListenTake::not_ipv4_listening;
    *fd = SD_LISTEN_FDS_START;
    return ListenTake::ok;
}

const char* listen_take_text(ListenTake result) {
    switch (result) {
        case ListenTake::ok:
            return "ok";
        case ListenTake::unreadable:
            return "LISTEN_FDS cannot be read";
        case ListenTake::not_one:
            return "more than one socket handed over";
        case ListenTake::not_ipv4_listening:
            return "the socket handed over is not a listening IPv4 TCP socket";
    }
    return "unknown";
}
