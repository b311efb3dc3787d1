// GET /metrics on the control port: the statistics and state the XML-RPC getters read, in
// Prometheus's text exposition format.
#pragma once

#include <xmlrpc-c/abyss.h>

#include <cstdint>
#include <string>

class SensorState;

constexpr const char* metrics_content_type = "text/plain; version=0.0.4";

// The state the page shows; set once, before the service starts.
void serve_metrics_of(const SensorState* state);

// The page's text at now_ns (monotonic_ns()).
std::string metrics_text(const SensorState& state, int64_t now_ns);

// What a request for the page gets: 0 for the page, else the HTTP error status.
int metrics_request_status(TMethod method, const char* query, const char* content_length,
                           const char* transfer_encoding);

// Abyss's handler for /metrics: answers it, and leaves every other path to the next handler.
void metrics_handler(void* userdata, TSession* session, abyss_bool* handled);
