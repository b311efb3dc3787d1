// The XML-RPC side of a call on the library's Abyss server: the library reads the request
// within its size limit; the call processor refuses what the XML parser must not see and
// hands the rest to the method registry.
#pragma once

#include <xmlrpc-c/abyss.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <xmlrpc-c/registry.hpp>

class DeadlineWatch;

// A request, headers and body, must be in within this time of the connection's opening,
// and the client must take its answer within this time too.
constexpr std::chrono::seconds request_time_limit{10};

// The connection the calling thread serves, and its client's IPv4 address, set by that
// thread while it serves: the library's session does not reveal its descriptor, the call
// processor lifts the connection's deadline while a method runs, and the body budget
// counts against the address's share.
extern thread_local int rpc_connection_fd;
extern thread_local uint32_t rpc_client_address;

// libxmlrpc_util frees the error texts of its libraries with it; no installed header has it.
extern "C" void xmlrpc_strfree(const char* text);

// Sets up server (created without a listening socket of its own) to answer calls at
// /RPC2 through registry, the metrics page at /metrics, and 404 elsewhere. Returns nullptr, or a
// static error text.
const char* init_rpc_server(TServer* server, const xmlrpc_c::registry* registry,
                            DeadlineWatch* watch);

// The response to one request body: a fault for a body the parser must not see, else the
// registry's answer.
std::string answer_call(const xmlrpc_c::registry& registry, const char* body, size_t size);
