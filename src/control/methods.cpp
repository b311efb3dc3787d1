#include "control/methods.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "control/counters.h"
#include "driver/sensor_state.h"

namespace {
// The library lets "nan" through its double bounds; a NaN would poison the filter or,
// as a rate, be converted to int. Refused before anything changes.
double get_finite_double(const xmlrpc_c::paramList& params, unsigned i) {
    double value = params.getDouble(i, -DBL_MAX, DBL_MAX);
    if (std::isnan(value))
        throw xmlrpc_c::fault("Parameter " + std::to_string(i) + " is not a number",
                              xmlrpc_c::fault::CODE_TYPE);
    return value;
}

// The library formats an infinite double by recursing until the thread's stack overflows,
// which ends the process, and it sends NaN as 0: a value that is not finite is answered
// with a fault that names it, never handed over.
xmlrpc_c::value finite_double(double value, const std::string& what) {
    if (!std::isfinite(value))
        throw xmlrpc_c::fault(what + " is not finite", xmlrpc_c::fault::CODE_INTERNAL);
    return xmlrpc_c::value_double(value);
}

void get_wrench(const xmlrpc_c::paramList& params, double values[6]) {
    for (unsigned i = 0; i < 6; ++i) values[i] = get_finite_double(params, i);
    params.verifyEnd(6);
}

// The readers below take no lock and only load what the stream stores relaxed: a call never
// holds up the per-frame path. Members of one answer may therefore come from neighbouring frames.
const auto relaxed = std::memory_order_relaxed;

xmlrpc_c::value six_doubles(const std::atomic<double>* values, const char* name) {
    std::vector<xmlrpc_c::value> items;
    for (int k = 0; k < 6; ++k)
        items.push_back(finite_double(values[k].load(relaxed),
                                      std::string(name) + "[" + std::to_string(k) + "]"));
    return xmlrpc_c::value_array(items);
}

xmlrpc_c::value counter(uint64_t c) {
    // i8 is signed; a count since start-up stays far below 2^63.
    return xmlrpc_c::value_i8(static_cast<xmlrpc_int64>(c));
}
}  // namespace

void GetTitle::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    *result = xmlrpc_c::value_string(state->get_title());
}

void SetTitle::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    std::string text = params.getString(0);
    params.verifyEnd(1);
    state->set_title(text);
    *result = xmlrpc_c::value_string(text);
}

void SetBias::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    double values[6];
    get_wrench(params, values);
    *result = xmlrpc_c::value_int(state->set_bias(values));
}

void SetOutput::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    double values[6];
    get_wrench(params, values);
    *result = xmlrpc_c::value_int(state->set_output(values));
}

void GetSampleFreq::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    *result = finite_double(state->get_sample_freq(), "sample_freq_hz");
}

void ConfigureSensor::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    double rate = get_finite_double(params, 0);
    params.verifyEnd(1);
    *result = xmlrpc_c::value_int(state->reconfigure_sensor(rate));
}

void EnableFilter::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    bool enable = params.getBoolean(0);
    int type = params.getInt(1, INT_MIN, INT_MAX);
    params.verifyEnd(2);
    *result = xmlrpc_c::value_int(state->enable_filter(enable, type));
}

void GetIsRunning::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    *result = xmlrpc_c::value_boolean(state->is_running());
}

void GetStatistics::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    const SensorState::Statistics& s = state->stats;
    int64_t now = monotonic_ns();
    int64_t last = s.last_package_ns.load(relaxed);
    std::map<std::string, xmlrpc_c::value> members = {
        {"uptime_s", finite_double(double(now - state->started_ns) / 1e9, "uptime_s")},
        {"seconds_since_package",
         finite_double(last == 0 ? -1.0 : double(now - last) / 1e9, "seconds_since_package")},
    };
    for (const CounterRow& row : counter_rows)
        members.emplace(row.member, counter(row.value(*state)));
    *result = xmlrpc_c::value_struct(members);
}

void GetWrench::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    *result = six_doubles(state->stats.last_wrench, "wrench");
}

void GetSettings::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    std::map<std::string, xmlrpc_c::value> members = {
        {"bias_active", xmlrpc_c::value_boolean(state->bias_active.load(relaxed))},
        {"output_active", xmlrpc_c::value_boolean(state->output_active.load(relaxed))},
        {"filter_enabled", xmlrpc_c::value_boolean(state->filter_enabled.load(relaxed))},
        {"configuring", xmlrpc_c::value_boolean(state->configuring.load(relaxed))},
        {"filter_type", xmlrpc_c::value_int(state->filter_type.load(relaxed))},
        {"cutoff_hz", finite_double(state->cutoff_hz.load(relaxed), "cutoff_hz")},
        {"bias", six_doubles(state->bias, "bias")},
        {"desired_output", six_doubles(state->desired_output, "desired_output")},
        {"port", xmlrpc_c::value_string(state->get_port())},
        {"recipe_id", xmlrpc_c::value_int(state->recipe_id())},
    };
    *result = xmlrpc_c::value_struct(members);
}
