// The memory that request bodies being read may hold in all: each request reserves its
// Content-Length before the library reads its body, and one past the budget is refused
// with 503, so that many half-sent requests cannot take the process's memory.
#pragma once

#include <xmlrpc-c/abyss.h>

#include <atomic>
#include <cstddef>

// A few of the largest calls the library takes (512 KiB) at once; a real call has a few
// hundred bytes.
constexpr size_t body_budget_bytes = 4 << 20;

class BodyBudget {
  public:
    explicit BodyBudget(size_t limit) : limit_(limit) {}
    // Takes n bytes, or returns false (and takes nothing) when they do not fit. Thread-safe.
    bool reserve(size_t n);
    void release(size_t n);

  private:
    const size_t limit_;
    std::atomic<size_t> held_{0};
};

// Adds the handler that reserves each request's body to server. Abyss asks the handler
// added last first, so it is added after the one that reads bodies. False if the library
// cannot add it.
bool add_body_budget(TServer* server);

// Gives back what the calling connection thread reserved: once its body is in, and (again,
// harmlessly) when its connection ends.
void release_request_body();
