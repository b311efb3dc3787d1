#include "control/body_budget.h"

#include <xmlrpc-c/base.h>

#include <cerrno>
#include <cstdlib>

namespace {
BodyBudget budget(body_budget_bytes);
thread_local size_t reserved = 0;  // by the request this connection thread serves

// Content-Length as a count, or 0 when absent or not a plain decimal number (the library
// refuses such a request without reading a body).
size_t content_length(TSession* session) {
    const char* text = RequestHeaderValue(session, "content-length");
    if (!text || *text < '0' || *text > '9')
        return 0;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' ? size_t(n) : 0;
}

void reserve_body(void*, TSession* session, abyss_bool* handled) {
    *handled = false;
    release_request_body();
    const size_t n = content_length(session);
    // A body over the library's own limit is refused by it unread.
    if (n == 0 || n > xmlrpc_limit_get(XMLRPC_XML_SIZE_LIMIT_ID))
        return;
    if (budget.reserve(n)) {
        reserved = n;
        return;
    }
    ResponseStatus(session, 503);
    ResponseError2(session, "Too many requests are being read at once; try again later.");
    *handled = true;
}
}  // namespace

bool BodyBudget::reserve(size_t n) {
    size_t held = held_.load(std::memory_order_relaxed);
    do {
        if (n > limit_ - held)
            return false;
    } while (!held_.compare_exchange_weak(held, held + n, std::memory_order_relaxed));
    return true;
}

void BodyBudget::release(size_t n) {
    held_.fetch_sub(n, std::memory_order_relaxed);
}

bool add_body_budget(TServer* server) {
    ServerReqHandler3 handler = {};
    handler.handleReq = reserve_body;
    abyss_bool added = false;
    ServerAddHandler3(server, &handler, &added);
    return added;
}

void release_request_body() {
    budget.release(reserved);
    reserved = 0;
}
