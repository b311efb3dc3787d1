#include "control/methods.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <string>

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

void get_wrench(const xmlrpc_c::paramList& params, double values[6]) {
    for (unsigned i = 0; i < 6; ++i) values[i] = get_finite_double(params, i);
    params.verifyEnd(6);
}
}  // namespace

GetTitle::GetTitle(SensorState* state) : state(state) { _signature = "s:"; }
void GetTitle::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    *result = xmlrpc_c::value_string(state->get_title());
}

SetTitle::SetTitle(SensorState* state) : state(state) { _signature = "s:s"; }
void SetTitle::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    std::string text = params.getString(0);
    params.verifyEnd(1);
    state->set_title(text);
    *result = xmlrpc_c::value_string(text);
}

SetBias::SetBias(SensorState* state) : state(state) { _signature = "i:dddddd"; }
void SetBias::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    double values[6];
    get_wrench(params, values);
    *result = xmlrpc_c::value_int(state->set_bias(values));
}

SetOutput::SetOutput(SensorState* state) : state(state) { _signature = "i:dddddd"; }
void SetOutput::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    double values[6];
    get_wrench(params, values);
    *result = xmlrpc_c::value_int(state->set_output(values));
}

GetSampleFreq::GetSampleFreq(SensorState* state) : state(state) { _signature = "d:"; }
void GetSampleFreq::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    *result = xmlrpc_c::value_double(state->get_sample_freq());
}

ConfigureSensor::ConfigureSensor(SensorState* state) : state(state) { _signature = "i:d"; }
void ConfigureSensor::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    double rate = get_finite_double(params, 0);
    params.verifyEnd(1);
    *result = xmlrpc_c::value_int(state->reconfigure_sensor(rate));
}

EnableFilter::EnableFilter(SensorState* state) : state(state) { _signature = "i:bi"; }
void EnableFilter::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    bool enable = params.getBoolean(0);
    int type = params.getInt(1, INT_MIN, INT_MAX);
    params.verifyEnd(2);
    *result = xmlrpc_c::value_int(state->enable_filter(enable, type));
}

GetIsRunning::GetIsRunning(SensorState* state) : state(state) { _signature = "b:"; }
void GetIsRunning::execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) {
    params.verifyEnd(0);
    *result = xmlrpc_c::value_boolean(state->is_running());
}
