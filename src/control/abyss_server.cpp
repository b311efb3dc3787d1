#include "control/abyss_server.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <xmlrpc-c/server_abyss.hpp>

#include "control/methods.h"
#include "driver/interrupt.h"

namespace {
constexpr unsigned max_connections = 256;

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
    // The library reports a taken port or a failing listener by throwing; uncaught in this
    // thread that would abort the process without a word.
    try {
        // At its default connection limit the library stops accepting for a fixed 2 s, and
        // eight busy clients reach it: every caller then waits. The limit is raised well
        // above any plausible number of control clients.
        xmlrpc_c::serverAbyss abyss(xmlrpc_c::serverAbyss::constrOpt()
                                        .portNumber(control_port)
                                        .registryP(&server->registry)
                                        .serverOwnsSignals(false)
                                        .expectSigchld(true)
                                        .maxConn(max_connections));
        abyss.run();
    } catch (const std::exception& e) {
        fprintf(stderr, "XML-RPC control service on port %u failed: %s\n", control_port, e.what());
        fatal_exit(1);
    }
    return nullptr;
}
