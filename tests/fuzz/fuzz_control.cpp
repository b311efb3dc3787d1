// Calls the control methods with arbitrary parameter lists and checks that the shared
// state keeps its invariants whatever is accepted or refused.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/girerr.hpp>

#include "control/methods.h"
#include "driver/sensor_state.h"
#include "fuzz_reader.h"

namespace {
xmlrpc_c::value any_value(Reader& in, int depth) {
    switch (in.byte() % 7) {
        case 0:
            return xmlrpc_c::value_int(in.pod<int32_t>());
        case 1:
            return xmlrpc_c::value_boolean(in.byte() & 1);
        case 2: {
            static const double specials[] = {NAN, INFINITY, -INFINITY, -0.0, 1e308, 5e-324};
            uint8_t k = in.byte();
            return xmlrpc_c::value_double(k < 6 ? specials[k] : in.pod<double>());
        }
        case 3: {
            size_t n = in.byte() % 16;
            std::string s;
            for (size_t i = 0; i < n; ++i) s += char(in.byte() % 95 + 32);
            return xmlrpc_c::value_string(s);
        }
        case 4:
            return xmlrpc_c::value_i8(in.pod<int64_t>());
        case 5:
            return xmlrpc_c::value_nil();
        default: {
            std::vector<xmlrpc_c::value> items;
            if (depth < 2)
                for (int n = in.byte() % 4; n > 0; --n) items.push_back(any_value(in, depth + 1));
            return xmlrpc_c::value_array(items);
        }
    }
}

void check_invariants(const SensorState& s) {
    double cutoff = s.cutoff_hz.load();
    if (cutoff != 50.0 && cutoff != 40.0 && cutoff != 25.0 && cutoff != 12.5)
        abort();
    if (s.bias_active.load() && s.output_active.load())
        abort();
    for (int k = 0; k < 6; ++k)
        if (std::isnan(s.bias[k].load()) || std::isnan(s.desired_output[k].load()))
            abort();
    if (s.configuring.load())
        abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SensorState state;
    std::unique_ptr<xmlrpc_c::method> methods[] = {
        std::make_unique<GetTitle>(&state),      std::make_unique<SetTitle>(&state),
        std::make_unique<SetBias>(&state),       std::make_unique<SetOutput>(&state),
        std::make_unique<GetSampleFreq>(&state), std::make_unique<ConfigureSensor>(&state),
        std::make_unique<EnableFilter>(&state),  std::make_unique<GetIsRunning>(&state),
    };
    Reader in(data, size);
    for (int calls = 0; !in.empty() && calls < 32; ++calls) {
        xmlrpc_c::method& m = *methods[in.byte() % 8];
        xmlrpc_c::paramList params;
        for (int n = in.byte() % 9; n > 0; --n) params.add(any_value(in, 0));
        xmlrpc_c::value result;
        try {
            m.execute(params, &result);
        } catch (const girerr::error&) {
        } catch (const xmlrpc_c::fault&) {
        }
        check_invariants(state);
    }
    return 0;
}
