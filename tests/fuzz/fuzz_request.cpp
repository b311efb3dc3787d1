// Feeds arbitrary bytes to the control service as a request body, as its HTTP handler
// does: the pre-parse check, then, for what it lets through, the method registry with
// the XML parser behind it.
#include <cstdint>
#include <string>

#include "control/abyss_server.h"
#include "control/request_check.h"
#include "driver/sensor_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SensorState* state = new SensorState;
    static AbyssServer* server = new AbyssServer(state);
    const char* body = reinterpret_cast<const char*>(data);
    if (check_request_body(body, size) != BodyVerdict::ok) return 0;
    std::string response;
    server->registry.processCall(std::string(body, size), &response);
    return 0;
}
