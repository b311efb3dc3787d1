// ftbridge: streams a force/torque sensor's wrench to the robot controller's RTDE
// interface, with an XML-RPC control service beside it.

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "control/abyss_server.h"
#include "driver/debug_log.h"
#include "driver/diagnostics.h"
#include "driver/fatal_report.h"
#include "driver/interrupt.h"
#include "driver/listen_socket.h"
#include "driver/sensor_state.h"
#include "driver/service_notify.h"
#include "rtde/rtde_client.h"
#include "sensor/probe.h"
#include "sensor/serial_port.h"
#include "stream/stream_loop.h"

namespace {
constexpr int port_count = 256;  // /dev/ttyUSB0 .. /dev/ttyUSB255
constexpr double probe_limit_s = 5.0;
constexpr int streaming_rate = 460800;
// An argument the daemon does not know (EX_USAGE of sysexits.h).
constexpr int usage_status = 64;

const char usage[] =
    "Usage: ftbridge [-h | --help | -V | --version]\n"
    "Streams the force/torque sensor found on /dev/ttyUSB0..255 to the robot controller's\n"
    "RTDE input at 127.0.0.1:30004, steered over XML-RPC on TCP port 20202. Run it as the\n"
    "ftbridge service; see ftbridge(8).\n";

// An argument never starts the stream: help and version print and end, anything else is a
// usage error. Returns the exit status, or -1 when there are no arguments.
int handle_arguments(int argc, char** argv) {
    if (argc < 2)
        return -1;
    const std::string arg = argv[1];
    const bool help = arg == "-h" || arg == "--help";
    const bool version = arg == "-V" || arg == "--version";
    if (argc == 2 && help) {
        fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && version) {
        printf("ftbridge %s\n", FTBRIDGE_VERSION);
        return 0;
    }
    report_fatal("ftbridge: unexpected argument '%s'\n", help || version ? argv[2] : argv[1]);
    fputs(usage, stderr);
    return usage_status;
}

std::vector<std::string> scan_ports() {
    std::vector<std::string> candidates;
    for (int index = 0; index < port_count; ++index) {
        std::ostringstream path;
        path << "/dev/ttyUSB" << index;
        sensor_fd = open(path.str().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (sensor_fd != -1) {
            candidates.push_back(path.str());
            close(sensor_fd.exchange(-1));  // the number may be handed out again
            const std::string line = "Found port " + path.str() + "\n";
            stderr_line_bounded(line.c_str(), 1000);
        }
    }
    return candidates;
}
}  // namespace

int main(int argc, char** argv) {
    int status = handle_arguments(argc, argv);
    if (status >= 0)
        return status;
    diagnostics_start();  // before any thread: the writers read what it chooses
    debug_log_prepare();
    // Before any thread starts: taking the socket edits the environment.
    int listen_fd = -1;
    ListenTake taken = take_listen_socket(&listen_fd);
    if (taken != ListenTake::ok)
        fail(1, "Control port from the service manager unusable: %s\n", listen_take_text(taken));
    if (install_interrupt_handler() != 0)
        fail(1, "Couldn't create pthread\n");
    SensorState state;
    state.set_title("Vandrel");
    AbyssServer server(&state);
    server.listen_fd = listen_fd;
    pthread_t server_handle;
    if (pthread_create(&server_handle, nullptr, server_thread, &server) != 0) {
        // No thread reads the two yet: the return destroys the server, then the state.
        report_fatal("Couldn't create pthread\n");
        return 1;
    }
    // The notify thread reads the state: it starts once nothing can return and destroy that.
    if (service_notify_start(&state) != 0)
        fail(1, "Couldn't create pthread\n");

    std::vector<std::string> candidates = scan_ports();
    if (candidates.empty())
        fail(1, "No port found!\n");
    std::string chosen;
    for (const std::string& path : candidates) {
        service_phase(ServicePhase::probing, path.c_str());
        if (probe_serialport(path.c_str(), probe_limit_s)) {
            chosen = path;
            break;
        }
    }
    if (chosen.empty())
        fail(1, "No valid port found!\n");

    debug_log_start();

    uint8_t recipe_id = 0;
    service_phase(ServicePhase::connecting);
    rtde_connect(&recipe_id);
    state.set_recipe(&recipe_id);

    sensor_fd = init_serialport(chosen.c_str(), streaming_rate);
    if (sensor_fd == -1)
        fail(1, "Opening %s for streaming failed! Exiting...\n", chosen.c_str());
    state.serial_fd.store(sensor_fd);
    state.set_port(chosen);
    stream_loop(state, recipe_id);
}
