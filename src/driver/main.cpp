// ftbridge: streams a force/torque sensor's wrench to the robot controller's RTDE
// interface, with an XML-RPC control service beside it.

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "control/abyss_server.h"
#include "driver/debug_log.h"
#include "driver/interrupt.h"
#include "driver/sensor_state.h"
#include "rtde/rtde_client.h"
#include "sensor/probe.h"
#include "sensor/serial_io.h"
#include "sensor/serial_port.h"
#include "stream/stream_loop.h"

namespace {
constexpr int port_count = 256;  // /dev/ttyUSB0 .. /dev/ttyUSB255
constexpr double probe_limit_s = 5.0;
constexpr int streaming_rate = 460800;

std::vector<std::string> scan_ports() {
    std::vector<std::string> candidates;
    for (int index = 0; index < port_count; ++index) {
        std::ostringstream path;
        path << "/dev/ttyUSB" << index;
        sensor_fd = open(path.str().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (sensor_fd != -1) {
            candidates.push_back(path.str());
            close(sensor_fd);
            fprintf(stderr, "Found port %s\n", path.str().c_str());
        }
    }
    return candidates;
}
}  // namespace

int main() {
    if (install_interrupt_handler() != 0) {
        std::cerr << "Couldn't create pthread" << std::endl;
        return 1;
    }
    SensorState state;
    state.set_title("Vandrel");
    AbyssServer server(&state);

    pthread_t server_handle;
    if (pthread_create(&server_handle, nullptr, server_thread, &server) != 0) {
        std::cerr << "Couldn't create pthread" << std::endl;
        return 1;  // destroys the server, then the state
    }

    std::vector<std::string> candidates = scan_ports();
    if (candidates.empty()) {
        fprintf(stderr, "No port found!\n");
        fatal_exit(1);
    }
    std::string chosen;
    for (const std::string& path : candidates) {
        if (probe_serialport(path.c_str(), probe_limit_s)) {
            chosen = path;
            break;
        }
    }
    if (chosen.empty()) {
        fprintf(stderr, "No valid port found!\n");
        fatal_exit(1);
    }

    debug_log_start();

    uint8_t recipe_id = 0;
    rtde_connect(&recipe_id);
    state.recipe_id.store(recipe_id, std::memory_order_relaxed);

    sensor_fd = init_serialport(chosen.c_str(), streaming_rate);
    if (sensor_fd == -1)
        fatal_exit(1);
    state.serial_fd.store(sensor_fd);
    state.set_port(chosen);
    stream_loop(state, recipe_id);
}
