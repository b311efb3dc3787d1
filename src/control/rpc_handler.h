// The HTTP side of one XML-RPC call on the library's Abyss server: reads the body within
// the size limit, refuses what the XML parser must not see, hands the rest to the method
// registry and writes its answer.
#pragma once

#include <xmlrpc-c/abyss.h>

#include <chrono>
#include <xmlrpc-c/registry.hpp>

class DeadlineWatch;

// A request, headers and body, must be in within this time of the connection's opening,
// and the client must take its answer within this time too.
constexpr std::chrono::seconds request_time_limit{10};

// Sets up server (created without a listening socket of its own) to answer calls at
// /RPC2 through registry and 404 elsewhere. Returns nullptr, or a static error text.
const char* init_rpc_server(TServer* server, const xmlrpc_c::registry* registry,
                            DeadlineWatch* watch);

// The library's hold on an accepted connection on fd, which stays the caller's to close.
struct RpcChannel {
    int fd;
    TChannel* channel;
    struct abyss_unix_chaninfo* info;
};

// To be made right after accept: the library refuses a socket whose peer has gone, even
// with a whole request waiting in it, and a client may send its call and reset at once.
// Returns false when even that is too late.
bool open_rpc_channel(int fd, RpcChannel* out);

// Serves the one request of the channel in the calling thread (Abyss keeps no connection
// alive that it did not accept itself), then frees the channel. The deadline for the
// request must already be armed.
void serve_rpc_channel(TServer* server, RpcChannel* channel);
