// A whole session in one input: XML-RPC calls through the registry, as the server hands them
// over, interleaved with sensor frames through the stream's passes, on one shared state.
// Values at the edges (+-DBL_MAX, subnormals, NaN, infinities, huge strings, wrong types).
// Checks that nothing crashes, that every package is finite (every input that gets in is),
// and that get_wrench answers the last package sent.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/xml.hpp>

#include "control/abyss_server.h"
#include "driver/sensor_state.h"
#include "fake_port.h"
#include "fuzz_reader.h"
#include "stream/stream_pass.h"

namespace {
// What get_wrench should answer: the last package sent, zeros before the first.
FakePort::Wrench last_sent(const FakePort& port) {
    return port.sent.empty() ? FakePort::Wrench{} : port.sent.back();
}

const double max = DBL_MAX;
const char* const methods[] = {"get_title",       "set_title",        "set_bias",      "set_output",
                               "get_sample_freq", "configure_sensor", "enable_filter", "is_running",
                               "get_statistics",  "get_wrench",       "get_settings",  "no_such"};

std::string double_text(Reader& in) {
    static const char* const specials[] = {"1.7976931348623157e308",
                                           "-1.7976931348623157e308",
                                           "4.9406564584124654e-324",
                                           "-2.2250738585072014e-308",
                                           "nan",
                                           "inf",
                                           "-inf",
                                           "1e400",
                                           "-0",
                                           "0x10",
                                           "1,5",
                                           "179769313486231570000000000000000000000000000000"
                                           "000000000000000000000000000000000000000000000000"
                                           "000000000000000000000000000000000000000000000000"
                                           "000000000000000000000000000000000000000000000000"
                                           "000000000000000000000000000000000000000000000000"
                                           "000000000000000000000000000000000000000000000000"
                                           "00000000000000"};
    uint8_t k = in.byte();
    if (k < sizeof specials / sizeof *specials)
        return specials[k];
    char text[40];
    snprintf(text, sizeof text, "%.17g", k & 1 ? in.pod<double>() : double(in.pod<int16_t>()));
    return text;
}

std::string value_xml(Reader& in, int depth) {
    switch (in.byte() % 9) {
        case 0:
        case 1:
        case 2:
            return "<double>" + double_text(in) + "</double>";
        case 3:
            return "<int>" + std::to_string(in.pod<int32_t>()) + "</int>";
        case 4:
            return "<boolean>" + std::to_string(in.byte() % 3) + "</boolean>";
        case 5: {
            // Up to 64 KiB of text: the titles that are stored and echoed.
            size_t n = in.byte() == 0xFF ? size_t(in.pod<uint16_t>()) : in.byte() % 16;
            return "<string>" + std::string(n, char('a' + in.byte() % 26)) + "</string>";
        }
        case 6:
            return "<i8>" + std::to_string(in.pod<int64_t>()) + "</i8>";
        case 7: {
            std::string items;
            if (depth < 3)
                for (int n = in.byte() % 4; n > 0; --n)
                    items += "<value>" + value_xml(in, depth + 1) + "</value>";
            return "<array><data>" + items + "</data></array>";
        }
        default:
            return "<nil/>";
    }
}

std::string call_xml(Reader& in, const char* method) {
    std::string params;
    for (int n = in.byte() % 8; n > 0; --n)
        params += "<param><value>" + value_xml(in, 0) + "</value></param>";
    return std::string("<?xml version=\"1.0\"?><methodCall><methodName>") + method +
           "</methodName><params>" + params + "</params></methodCall>";
}

// Six values that a call most often makes extreme, so that the stream meets them.
std::string six_extremes(Reader& in, const char* method) {
    static const double edges[] = {max, -max, 5e-324, -5e-324, 1e308, -1e308, 0.0, 1.0};
    std::string params;
    for (int k = 0; k < 6; ++k) {
        char text[40];
        snprintf(text, sizeof text, "%.17g", edges[in.byte() % 8]);
        params += std::string("<param><value><double>") + text + "</double></value></param>";
    }
    return std::string("<?xml version=\"1.0\"?><methodCall><methodName>") + method +
           "</methodName><params>" + params + "</params></methodCall>";
}

float sample_value(Reader& in) {
    static const float edges[] = {0.0f, 1.0f, -1.0f, FLT_MAX, -FLT_MAX, FLT_MIN, 1e-45f};
    uint8_t k = in.byte();
    return k < 7 ? edges[k] : k < 200 ? float(int8_t(k)) : in.pod<float>();  // NaN, inf too
}

void add_frames(Reader& in, FakePort& port, uint32_t& timestamp) {
    for (int n = in.byte() % 8 + 1; n > 0; --n) {
        float force[3], torque[3];
        for (float& v : force) v = sample_value(in);
        for (float& v : torque) v = sample_value(in);
        uint8_t damage = in.byte();
        SensorFrame f = encode_frame(damage == 1 ? 258 : 0, force, torque, timestamp += 1500);
        if (damage == 2)
            f.bytes[5] ^= 0x40;  // a CRC error
        if (damage == 3)
            port.add({in.byte()});  // a stray byte: the stream must resynchronise
        if (damage == 4)
            port.silence();
        port.add(f);
    }
}

// The answer's values must be the last package, to within the 14 significant digits the
// library writes.
void check_wrench(const std::string& response, const FakePort& port) {
    xmlrpc_c::rpcOutcome outcome;
    xmlrpc_c::xml::parseResponse(response, &outcome);
    if (!outcome.succeeded())
        abort();  // every package is finite, so get_wrench always has an answer
    std::vector<xmlrpc_c::value> items =
        xmlrpc_c::value_array(outcome.getResult()).vectorValueValue();
    if (items.size() != 6)
        abort();
    for (int k = 0; k < 6; ++k) {
        double got = xmlrpc_c::value_double(items[k]);
        double want = last_sent(port)[k];
        if (std::fabs(got - want) > std::fabs(want) * 1e-14 + 1e-300) {
            fprintf(stderr, "get_wrench[%d] %.17g, last package %.17g\n", k, got, want);
            abort();
        }
    }
}

void check_answered(const std::string& response) {
    xmlrpc_c::rpcOutcome outcome;
    xmlrpc_c::xml::parseResponse(response, &outcome);
    if (!outcome.succeeded())
        abort();  // readers of finite state never fault
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SensorState state;  // serial_fd stays -1: configure_sensor answers 1 at once, sends nothing
    AbyssServer server(&state);
    StreamContext ctx;
    FakePort port;
    ctx.search_start = port.now();  // the clock stands still: the header timeout never fires
    port.on_send = [](const double* wrench) {
        for (int k = 0; k < 6; ++k)
            if (!std::isfinite(wrench[k]))
                abort();  // inputs that got in are finite: so must every package be
    };
    uint32_t timestamp = 0;
    Reader in(data, size);
    for (int steps = 0; !in.empty() && steps < 64; ++steps) {
        uint8_t op = in.byte() % 5;
        if (op >= 3) {
            add_frames(in, port, timestamp);
            try {
                for (int guard = 0; !port.dry() && guard < 4096; ++guard)
                    stream_pass(ctx, state, port);
            } catch (const PortDead&) {
                return 0;  // where the daemon's read_byte ends the process
            }
            for (int k = 0; k < 6; ++k)
                if (state.stats.last_wrench[k].load() != last_sent(port)[k])
                    abort();
            continue;
        }
        uint8_t m = in.byte() % (sizeof methods / sizeof *methods);
        std::string request =
            op == 2 && (m == 2 || m == 3) ? six_extremes(in, methods[m]) : call_xml(in, methods[m]);
        std::string response;
        try {
            server.registry.processCall(request, &response);
        } catch (const std::exception&) {
            continue;  // a request the library cannot parse; the server answers it with a 500
        }
        if (strcmp(methods[m], "get_wrench") == 0 && request.find("<param>") == std::string::npos)
            check_wrench(response, port);
        if ((strcmp(methods[m], "get_settings") == 0 || strcmp(methods[m], "get_statistics") == 0 ||
             strcmp(methods[m], "get_sample_freq") == 0) &&
            request.find("<param>") == std::string::npos)
            check_answered(response);
    }
    return 0;
}
