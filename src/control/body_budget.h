// The memory that request bodies being read may hold in all: each request reserves its
// Content-Length before the library reads its body, and one past the budget, or past its
// client address's share of it, is refused with 503, so that many half-sent requests cannot
// take the process's memory, nor one address the budget.
#pragma once

#include <xmlrpc-c/abyss.h>

#include <cstddef>

// A few of the largest calls the library takes (512 KiB) at once; a real call has a few
// hundred bytes. One address alone may hold half of it (see ClientLimits).
constexpr size_t body_budget_bytes = 4 << 20;

// Adds the handler that reserves each request's body to server. Abyss asks the handler
// added last first, so it is added after the one that reads bodies. False if the library
// cannot add it.
bool add_body_budget(TServer* server);

// Gives back what the calling connection thread reserved: once its body is in, and (again,
// harmlessly) when its connection ends.
void release_request_body();
