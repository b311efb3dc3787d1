#include "control/abyss_server.h"

#include <cstdio>
#include <string>

#include "control/connection_server.h"
#include "control/methods.h"
#include "driver/fatal_report.h"
#include "driver/interrupt.h"

namespace {
template <class Method>
void add(xmlrpc_c::registry& registry, const char* name, SensorState* state) {
    xmlrpc_c::methodPtr method(new Method(state));
    registry.addMethod(name, method);
}
}  // namespace

AbyssServer::AbyssServer(SensorState* state) : state(state) {
    add<GetTitle>(registry, "get_title", state);
    add<SetTitle>(registry, "set_title", state);
    add<SetBias>(registry, "set_bias", state);
    add<SetOutput>(registry, "set_output", state);
    add<GetSampleFreq>(registry, "get_sample_freq", state);
    add<ConfigureSensor>(registry, "configure_sensor", state);
    add<EnableFilter>(registry, "enable_filter", state);
    add<GetIsRunning>(registry, "is_running", state);
    add<GetStatistics>(registry, "get_statistics", state);
    add<GetWrench>(registry, "get_wrench", state);
    add<GetSettings>(registry, "get_settings", state);
}

void* server_thread(void* arg) {
    auto* server = static_cast<AbyssServer*>(arg);
    // Serves until the process ends; it comes back only when the port cannot be had or
    // the service fails.
    std::string failure = serve_connections(&server->registry, control_port);
    report_fatal("XML-RPC control service on port %u failed: %s\n", control_port, failure.c_str());
    fatal_exit(1);
}
