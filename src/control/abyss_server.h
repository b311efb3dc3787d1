// The XML-RPC control service: its method registry and the thread that serves it.
#pragma once

#include <xmlrpc-c/registry.hpp>

class SensorState;

constexpr unsigned control_port = 20202;

class AbyssServer {
  public:
    explicit AbyssServer(SensorState* state);
    virtual ~AbyssServer() = default;

    SensorState* state;
    xmlrpc_c::registry registry;
    int listen_fd = -1;  // the control port's socket when the service manager hands it over
};

// Start function of the server thread; arg is the AbyssServer. Serves for the life of
// the process; ends the process with status 1 when the server cannot be built or fails.
void* server_thread(void* arg);
