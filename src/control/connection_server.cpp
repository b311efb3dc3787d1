#include "control/connection_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "control/body_budget.h"
#include "control/client_limits.h"
#include "control/deadline_watch.h"
#include "control/lingering_close.h"
#include "control/rpc_handler.h"

namespace {
// Room for every connection a client may have in flight: a full queue drops new
// connections, and their clients retry only a second later.
constexpr int listen_backlog = 1024;
// Far more than the library needs for a request nested max_xml_depth deep; only the pages
// a thread touches take memory.
constexpr size_t stack_margin = 1024 * 1024;
// What a connection reset before it was served may still hand over; a socket pair takes
// this much without a reader.
constexpr size_t replay_limit = 160 * 1024;
// How long connections are accepted one after another, while they queue up, before the
// lingering ones are served again: a flood then costs a poll of them a burst, not a connection.
constexpr std::chrono::milliseconds burst_time{10};

struct Service {
    TServer server;
    DeadlineWatch watch;
    ClientLimits limits{max_connections_per_client, max_connections};
    LingeringSet lingering;  // the accept loop's own
    size_t stack_size;
};

// An admitted connection, from its opening to its end: the descriptor and the library's
// channel on it are this record's alone.
struct Connection {
    Service* service;
    uint32_t address;
    int fd;
    TChannel* channel;
    abyss_unix_chaninfo* info;
};

std::string failure(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

int listen_on(unsigned port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, listen_backlog) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Answers 503 without waiting: the client's socket may be full.
void turn_away(int fd) {
    static const char busy[] =
        "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

// To be made right after accept: the library refuses a socket whose peer has gone, even
// with a whole request waiting in it.
bool open_channel(Connection* c) {
    const char* error = nullptr;
    ChannelUnixCreateFd(c->fd, &c->channel, &c->info, &error);
    if (error)
        xmlrpc_strfree(error);
    return !error;
}

// Ends an opened connection, served or not. Its place is held while it lingers in its own
// thread; the accept loop hands it to its lingering set instead.
void end_connection(Connection* c, bool in_accept_loop) {
    ChannelDestroy(c->channel);  // leaves the descriptor open
    free(c->info);
    c->service->watch.disarm(c->fd);
    if (in_accept_loop)
        c->service->lingering.add(c->fd);
    else
        close_lingering(c->fd);
    c->service->limits.release(c->address);
    delete c;
}

// Serves the connection's one request (Abyss keeps no connection alive that it did not
// accept itself), then ends it.
void* connection_thread(void* arg) {
    auto* c = static_cast<Connection*>(arg);
    const char* error = nullptr;
    rpc_connection_fd = c->fd;
    rpc_client_address = c->address;
    ServerRunChannel(&c->service->server, c->channel, c->info, &error);
    if (error)
        xmlrpc_strfree(error);
    release_request_body();  // a body that never came in whole
    end_connection(c, false);
    return nullptr;
}

// A client may send its whole call and reset the connection at once. The kernel still
// holds the bytes, but the library refuses a socket without a peer: hand them over through
// a socket pair whose other end is closed, so the call runs as it would have. A call larger
// than the pair takes is dropped whole, as an over-limit body: a truncated one must never
// run. Returns the pair's end to serve instead of fd (which it closes), or -1.
int replay_reset_connection(int fd) {
    std::string bytes;
    char buffer[16384];
    ssize_t n;
    while (bytes.size() <= replay_limit && (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        bytes.append(buffer, n);
    close(fd);
    int pair[2];
    if (bytes.empty() || bytes.size() > replay_limit ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    ssize_t sent = send(pair[1], bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(pair[1]);
    if (sent != ssize_t(bytes.size())) {
        close(pair[0]);
        return -1;
    }
    return pair[0];
}

void start_connection(Service* service, int fd, uint32_t address) {
    if (!service->limits.admit(address)) {
        turn_away(fd);
        service->lingering.add(fd);
        return;
    }
    auto* c = new Connection{service, address, fd, nullptr, nullptr};
    // A client may send its call and reset at once.
    if (!open_channel(c) && ((c->fd = replay_reset_connection(fd)) < 0 || !open_channel(c))) {
        if (c->fd >= 0)
            close(c->fd);
        service->limits.release(address);
        delete c;
        return;
    }
    service->watch.arm(c->fd, DeadlineWatch::clock::now() + request_time_limit);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, service->stack_size);
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, connection_thread, c);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        turn_away(c->fd);
        end_connection(c, true);
    }
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

// Accepts a connection on listener and starts it. False only when the listener is broken.
bool accept_connection(Service* service, int listener) {
    sockaddr_in peer{};
    socklen_t peer_size = sizeof peer;
    int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peer_size, SOCK_CLOEXEC);
    if (fd >= 0) {
        start_connection(service, fd, peer.sin_addr.s_addr);
        return true;
    }
    // A connection that failed on the way in is simply the next one; anything else (a
    // shortage of descriptors or memory) waits a moment rather than become a busy loop.
    if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK || errno == EFAULT)
        return false;
    if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN && errno != EWOULDBLOCK) {
        timespec pause{0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return true;
}
}  // namespace

std::string serve_connections(const xmlrpc_c::registry* registry, unsigned port, int listener) {
    // Never freed: connection threads may still use it while the process exits.
    auto* service = new Service;
    service->stack_size = registry->maxStackSize() + stack_margin;
    int error = service->watch.start();
    if (error != 0)
        return std::string("cannot start its deadline thread: ") + strerror(error);
    if (const char* failed = init_rpc_server(&service->server, registry, &service->watch))
        return failed;
    if (listener < 0)
        listener = listen_on(port);
    if (listener < 0)
        return failure("cannot listen");
    for (;;) {
        // A listening socket handed over may be non-blocking: the wait is poll's.
        service->lingering.wait_for(listener);
        const auto burst_end = std::chrono::steady_clock::now() + burst_time;
        do {
            if (!accept_connection(service, listener))
                return failure("accept failed");
        } while (readable(listener) && std::chrono::steady_clock::now() < burst_end);
    }
}
