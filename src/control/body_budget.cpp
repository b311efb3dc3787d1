#include "control/body_budget.h"

#include <xmlrpc-c/base.h>

#include <cstdlib>

#include "control/client_limits.h"
#include "control/rpc_handler.h"

namespace {
ClientLimits budget(body_budget_bytes, body_budget_bytes);
thread_local size_t reserved = 0;  // by the request this connection thread serves

// Content-Length as the library reads it, or 0 where it reads none and refuses the request
// unread. It takes what strtoul takes, to the end of the value, without a range check:
// "+5", " 5" and "-18446744073709551611" are all 5 to it.
size_t request_body_length(const char* text) {
    if (!text || !*text)
        return 0;
    char* end = nullptr;
    unsigned long n = strtoul(text, &end, 10);
    return *end == '\0' ? size_t(n) : 0;
}

void reserve_body(void*, TSession* session, abyss_bool* handled) {
    *handled = false;
    release_request_body();
    const size_t n = request_body_length(RequestHeaderValue(session, "content-length"));
    // A body over the library's own limit is refused by it unread.
    if (n == 0 || n > xmlrpc_limit_get(XMLRPC_XML_SIZE_LIMIT_ID))
        return;
    if (budget.admit(rpc_client_address, n)) {
        reserved = n;
        return;
    }
    ResponseStatus(session, 503);
    ResponseError2(session, "Too many requests are being read at once; try again later.");
    *handled = true;
}
}  // namespace

bool add_body_budget(TServer* server) {
    ServerReqHandler3 handler = {};
    handler.handleReq = reserve_body;
    abyss_bool added = false;
    ServerAddHandler3(server, &handler, &added);
    return added;
}

void release_request_body() {
    if (reserved != 0)
        budget.release(rpc_client_address, reserved);
    reserved = 0;
}
