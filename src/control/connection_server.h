// The control service's listening socket and its connections: each admitted connection
// is served by a thread of its own, with a stack that the XML-RPC library's deepest
// accepted request fits in, and within the request time limit.
#pragma once

#include <string>
#include <xmlrpc-c/registry.hpp>

// A client address may hold this many connections at once (fewer while others press: see
// ClientLimits), the service this many in all. Beyond either, a new connection is answered
// 503 and closed.
constexpr unsigned max_connections_per_client = 64;
constexpr unsigned max_connections = 256;

// Listens on every address at port (or on listener, a listening socket handed over) and
// serves registry there. Returns only on failure, with its cause.
std::string serve_connections(const xmlrpc_c::registry* registry, unsigned port, int listener = -1);
