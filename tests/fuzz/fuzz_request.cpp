// Feeds arbitrary bytes to the control service as a request body, as the library's HTTP
// handler hands it over: the pre-parse check, then, for what it lets through, the method
// registry with the XML parser behind it.
#include <cstdint>

#include "control/abyss_server.h"
#include "control/rpc_handler.h"
#include "driver/sensor_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SensorState* state = new SensorState;
    static AbyssServer* server = new AbyssServer(state);
    answer_call(server->registry, reinterpret_cast<const char*>(data), size);
    return 0;
}
