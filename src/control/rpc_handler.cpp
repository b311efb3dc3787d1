#include "control/rpc_handler.h"

#include <xmlrpc-c/base.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <xmlrpc-c/server_abyss.hpp>
#include <xmlrpc-c/xml.hpp>

#include "control/deadline_watch.h"
#include "control/request_check.h"

// Exported by libxmlrpc_util for the error texts its libraries hand out, but declared in
// no installed header.
extern "C" void xmlrpc_strfree(const char* text);

namespace {
constexpr char rpc_path[] = "/RPC2";

struct RpcHandler {
    const xmlrpc_c::registry* registry;
    DeadlineWatch* watch;
};

// The connection this thread serves: Abyss calls the handler on the thread that runs
// the connection, and its session does not reveal the descriptor.
thread_local int connection_fd = -1;

void refuse(TSession* session, uint16_t status, const char* text) {
    ResponseStatus(session, status);
    ResponseError2(session, text);
}

void answer_options(TSession* session) {
    ResponseAddField(session, "Allow", "POST");
    ResponseContentLength(session, 0);
    ResponseStatus(session, 200);
    ResponseWriteStart(session);
    ResponseWriteEnd(session);
}

// Content-Length as a number no larger than limit; false (after answering) otherwise.
bool content_length(TSession* session, size_t limit, size_t* length) {
    const char* text = RequestHeaderValue(session, "content-length");
    if (!text) {
        refuse(session, 411, "You must send a content-length HTTP header in an XML-RPC call.");
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE) {
        refuse(session, 400, "The content-length HTTP header is not a number.");
        return false;
    }
    if (n > limit) {
        char message[80];
        snprintf(message, sizeof message, "XML-RPC request too large (%llu bytes)", n);
        refuse(session, 500, message);
        return false;
    }
    *length = n;
    return true;
}

// Reads length bytes of body; false (after answering) when the client stops first.
bool read_body(TSession* session, size_t length, std::string* body) {
    body->reserve(length);
    for (;;) {
        const char* chunk;
        size_t size;
        SessionGetReadData(session, length - body->size(), &chunk, &size);
        body->append(chunk, size);
        if (body->size() >= length)
            return true;
        if (!SessionRefillBuffer(session)) {
            refuse(session, 408, "Timed out waiting for client to send its POST data");
            return false;
        }
    }
}

std::string fault_response(const char* text, xmlrpc_c::fault::code_t code) {
    std::string xml;
    xmlrpc_c::xml::generateResponse(xmlrpc_c::rpcOutcome(xmlrpc_c::fault(text, code)), &xml);
    return xml;
}

void handle_request(void* userdata, TSession* session, abyss_bool* handled) {
    const RpcHandler& handler = *static_cast<RpcHandler*>(userdata);
    const TRequestInfo* info;
    SessionGetRequestInfo(session, &info);
    if (strcmp(info->uri, rpc_path) != 0) {
        *handled = false;
        return;
    }
    *handled = true;
    if (info->method == m_options)
        return answer_options(session);
    if (info->method != m_post)
        return refuse(session, 405, "POST is the only HTTP method this server understands");

    size_t length;
    std::string body;
    if (!content_length(session, xmlrpc_limit_get(XMLRPC_XML_SIZE_LIMIT_ID), &length) ||
        !read_body(session, length, &body))
        return;
    // The request is in; a method may take its time (a reconfiguration waits its turn).
    handler.watch->disarm(connection_fd);

    std::string response;
    BodyVerdict verdict = check_request_body(body.data(), body.size());
    if (verdict != BodyVerdict::ok) {
        response =
            fault_response(body_verdict_text(verdict), verdict == BodyVerdict::declaration
                                                           ? xmlrpc_c::fault::CODE_REQUEST_REFUSED
                                                           : xmlrpc_c::fault::CODE_LIMIT_EXCEEDED);
    } else {
        try {
            xmlrpc_c::callInfo_abyss call_info(session);
            handler.registry->processCall(body, &call_info, &response);
        } catch (const std::exception& e) {
            handler.watch->arm(connection_fd, DeadlineWatch::clock::now() + request_time_limit);
            return refuse(session, 500, e.what());
        }
    }
    // A client that does not read its answer is cut off like one that does not send.
    handler.watch->arm(connection_fd, DeadlineWatch::clock::now() + request_time_limit);
    ResponseStatus(session, 200);
    ResponseContentType(session, "text/xml; charset=utf-8");
    ResponseContentLength(session, response.size());
    ResponseWriteStart(session);
    ResponseWriteBody(session, response.data(), response.size());
    ResponseWriteEnd(session);
}

// Everything off /RPC2. Without it Abyss would serve files from its document root.
// The path asked for is not echoed: the page is HTML.
abyss_bool not_found(TSession* session) {
    refuse(session, 404, "This server answers XML-RPC calls at /RPC2 only.");
    return true;
}
}  // namespace

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
    // Lives as long as the server, which is the life of the process.
    struct ServerReqHandler3 handler = {};
    handler.handleReq = handle_request;
    handler.userdata = new RpcHandler{registry, watch};
    abyss_bool added = false;
    ServerAddHandler3(server, &handler, &added);
    if (!added)
        return "the XML-RPC handler cannot be added";
    return nullptr;
}

bool open_rpc_channel(int fd, RpcChannel* out) {
    const char* error = nullptr;
    out->fd = fd;
    ChannelUnixCreateFd(fd, &out->channel, &out->info, &error);
    if (error) {
        xmlrpc_strfree(error);
        return false;
    }
    return true;
}

void serve_rpc_channel(TServer* server, RpcChannel* channel) {
    const char* error = nullptr;
    connection_fd = channel->fd;
    ServerRunChannel(server, channel->channel, channel->info, &error);
    if (error)
        xmlrpc_strfree(error);
    connection_fd = -1;
    ChannelDestroy(channel->channel);
    free(channel->info);
}
