#include "control/abyss_server.h"

#include <string>

#include "control/connection_server.h"
#include "control/methods.h"
#include "control/metrics.h"
#include "driver/fatal_report.h"

AbyssServer::AbyssServer(SensorState* state) : state(state) {
    serve_metrics_of(state);
    // The registry holds the one reference to each method object.
    registry.addMethod("get_title", new GetTitle(state));
    registry.addMethod("set_title", new SetTitle(state));
    registry.addMethod("set_bias", new SetBias(state));
    registry.addMethod("set_output", new SetOutput(state));
    registry.addMethod("get_sample_freq", new GetSampleFreq(state));
    registry.addMethod("configure_sensor", new ConfigureSensor(state));
    registry.addMethod("enable_filter", new EnableFilter(state));
    registry.addMethod("is_running", new GetIsRunning(state));
    registry.addMethod("get_statistics", new GetStatistics(state));
    registry.addMethod("get_wrench", new GetWrench(state));
    registry.addMethod("get_settings", new GetSettings(state));
}

void* server_thread(void* arg) {
    auto* server = static_cast<AbyssServer*>(arg);
    // Serves until the process ends; it comes back only when the port cannot be had or
    // the service fails.
    std::string failure = serve_connections(&server->registry, control_port, server->listen_fd);
    fail(1, "XML-RPC control service on port %u failed: %s\n", control_port, failure.c_str());
}
