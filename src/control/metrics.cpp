#include "control/metrics.h"

#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "control/counters.h"
#include "driver/sensor_state.h"

namespace {
const auto relaxed = std::memory_order_relaxed;
std::atomic<const SensorState*> shown_state{nullptr};

void header(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void counter(std::string& out, const char* name, const char* help, uint64_t value) {
    header(out, name, "counter", help);
    char line[128];
    snprintf(line, sizeof line, "%s %" PRIu64 "\n", name, value);
    out += line;
}

// Prometheus spells the values that are not finite NaN, +Inf and -Inf.
void gauge(std::string& out, const char* name, const char* help, double value) {
    header(out, name, "gauge", help);
    char line[128];
    if (std::isnan(value))
        snprintf(line, sizeof line, "%s NaN\n", name);
    else if (std::isinf(value))
        snprintf(line, sizeof line, "%s %cInf\n", name, value > 0 ? '+' : '-');
    else
        snprintf(line, sizeof line, "%s %.17g\n", name, value);
    out += line;
}
}  // namespace

void serve_metrics_of(const SensorState* state) {
    shown_state.store(state);
}

std::string metrics_text(const SensorState& state, int64_t now_ns) {
    const SensorState::Statistics& s = state.stats;
    std::string out;
    for (const CounterRow& row : counter_rows) counter(out, row.metric, row.help, row.value(state));
    gauge(out, "ftbridge_running", "1 while packages reach the controller, 0 otherwise.",
          state.is_running() ? 1 : 0);
    gauge(out, "ftbridge_sample_frequency_hertz", "Sample frequency measured from the sensor.",
          state.get_sample_freq());
    const int64_t last = s.last_package_ns.load(relaxed);
    if (last != 0)
        gauge(out, "ftbridge_last_package_age_seconds",
              "Seconds since the last data package was sent.", double(now_ns - last) / 1e9);
    gauge(out, "ftbridge_uptime_seconds", "Seconds since the daemon started.",
          double(now_ns - state.started_ns) / 1e9);
    header(out, "ftbridge_build_info", "gauge", "The daemon's version.");
    out += "ftbridge_build_info{version=\"" FTBRIDGE_VERSION "\"} 1\n";
    return out;
}

int metrics_request_status(TMethod method, const char* query, const char* content_length,
                           const char* transfer_encoding) {
    if (method != m_get)
        return 405;
    if (query)
        return 400;  // the page takes no parameters
    if (transfer_encoding || (content_length && strcmp(content_length, "0") != 0))
        return 400;  // a GET carries no body
    return 0;
}

void metrics_handler(void*, TSession* session, abyss_bool* handled) {
    const TRequestInfo* request;
    SessionGetRequestInfo(session, &request);
    const SensorState* state = shown_state.load();
    // Paths under /metrics are the default handler's 404.
    if (!state || strcmp(request->uri, "/metrics") != 0) {
        *handled = false;
        return;
    }
    *handled = true;
    int status = metrics_request_status(request->method, request->query,
                                        RequestHeaderValue(session, "content-length"),
                                        RequestHeaderValue(session, "transfer-encoding"));
    if (status != 0) {
        if (status == 405)
            ResponseAddField(session, "Allow", "GET");
        ResponseStatus(session, uint16_t(status));
        ResponseError2(session, status == 405 ? "The metrics page is read with GET only."
                                              : "The metrics page takes no query and no body.");
        return;
    }
    std::string text = metrics_text(*state, monotonic_ns());
    ResponseStatus(session, 200);
    ResponseContentType(session, metrics_content_type);
    ResponseContentLength(session, text.size());
    ResponseWriteStart(session);
    ResponseWriteBody(session, text.data(), uint32_t(text.size()));
    ResponseWriteEnd(session);
}
