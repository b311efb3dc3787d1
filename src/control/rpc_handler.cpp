#include "control/rpc_handler.h"

#include <xmlrpc-c/server_abyss.h>

#include <cstring>
#include <exception>
#include <xmlrpc-c/xml.hpp>

#include "control/body_budget.h"
#include "control/deadline_watch.h"
#include "control/metrics.h"
#include "control/request_check.h"

thread_local int rpc_connection_fd = -1;
thread_local uint32_t rpc_client_address = 0;

namespace {
struct CallProcessor {
    const xmlrpc_c::registry* registry;
    DeadlineWatch* watch;
};

// Called by the library's handler with the whole body, which it read within its size
// limit; it refuses every other request itself (HTTP 4xx or 500).
void process_call(xmlrpc_env* env, void* arg, const char* body, size_t size, TSession*,
                  xmlrpc_mem_block** response) {
    const CallProcessor& processor = *static_cast<CallProcessor*>(arg);
    release_request_body();  // the body is in
    // A method may take its time (a reconfiguration waits its turn).
    processor.watch->disarm(rpc_connection_fd);
    try {
        std::string xml = answer_call(*processor.registry, body, size);
        *response = XMLRPC_MEMBLOCK_NEW(char, env, xml.size());
        if (!env->fault_occurred)
            memcpy(XMLRPC_MEMBLOCK_CONTENTS(char, *response), xml.data(), xml.size());
    } catch (const std::exception& e) {
        xmlrpc_env_set_fault(env, XMLRPC_INTERNAL_ERROR, e.what());  // HTTP 500 with the text
    }
    // A client that does not read its answer is cut off like one that does not send.
    processor.watch->arm(rpc_connection_fd, DeadlineWatch::clock::now() + request_time_limit);
}

// Everything off /RPC2. Without it Abyss would serve files from its document root.
// The path asked for is not echoed: the page is HTML.
abyss_bool not_found(TSession* session) {
    ResponseStatus(session, 404);
    ResponseError2(session, "This server answers XML-RPC calls at /RPC2 only.");
    return true;
}
}  // namespace

std::string answer_call(const xmlrpc_c::registry& registry, const char* body, size_t size) {
    std::string xml;
    BodyVerdict verdict = check_request_body(body, size);
    if (verdict == BodyVerdict::ok) {
        registry.processCall(std::string(body, size), &xml);
        return xml;
    }
    auto code = verdict == BodyVerdict::declaration ? xmlrpc_c::fault::CODE_REQUEST_REFUSED
                                                    : xmlrpc_c::fault::CODE_LIMIT_EXCEEDED;
    xmlrpc_c::xml::generateResponse(
        xmlrpc_c::rpcOutcome(xmlrpc_c::fault(body_verdict_text(verdict), code)), &xml);
    return xml;
}

const char* init_rpc_server(TServer* server, const xmlrpc_c::registry* registry,
                            DeadlineWatch* watch) {
    const char* error = nullptr;
    AbyssInit(&error);
    if (error) {
        xmlrpc_strfree(error);
        return "the HTTP library cannot be initialised";
    }
    if (!ServerCreateNoAccept(server, "ftbridge", nullptr, nullptr))
        return "the HTTP server cannot be created";
    ServerSetTimeout(server, request_time_limit.count());
    ServerUseSigchld(server);
    ServerDefaultHandler(server, not_found);
    xmlrpc_server_abyss_handler_parms parms = {};
    parms.xml_processor = process_call;
    // Lives as long as the server, which is the life of the process.
    parms.xml_processor_arg = new CallProcessor{registry, watch};
    parms.xml_processor_max_stack = registry->maxStackSize();
    parms.uri_path = "/RPC2";
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_server_abyss_set_handler3(&env, server, &parms, sizeof parms);
    bool failed = env.fault_occurred;
    xmlrpc_env_clean(&env);
    if (failed)
        return "the XML-RPC handler cannot be added";
    // GET /metrics beside /RPC2, on the same connections and limits.
    ServerReqHandler3 metrics = {};
    metrics.handleReq = metrics_handler;
    abyss_bool added = false;
    ServerAddHandler3(server, &metrics, &added);
    if (!added)
        return "the metrics handler cannot be added";
    // Abyss asks the handler added last first: this one runs before the body is read.
    return add_body_budget(server) ? nullptr : "the request body limit cannot be added";
}
