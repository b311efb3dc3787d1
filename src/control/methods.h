// The control service's XML-RPC methods, one class each, over the shared state: the eight
// that steer the stream, then three that only read it back.
#pragma once

#include <xmlrpc-c/registry.hpp>

class SensorState;

#define FTBRIDGE_METHOD(Class)                                                          \
    class Class : public xmlrpc_c::method {                                             \
    public:                                                                             \
        explicit Class(SensorState* state);                                             \
        void execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) override; \
                                                                                        \
    private:                                                                            \
        SensorState* state;                                                             \
    }

FTBRIDGE_METHOD(GetTitle);
FTBRIDGE_METHOD(SetTitle);
FTBRIDGE_METHOD(SetBias);
FTBRIDGE_METHOD(SetOutput);
FTBRIDGE_METHOD(GetSampleFreq);
FTBRIDGE_METHOD(ConfigureSensor);
FTBRIDGE_METHOD(EnableFilter);
FTBRIDGE_METHOD(GetIsRunning);
FTBRIDGE_METHOD(GetStatistics);
FTBRIDGE_METHOD(GetWrench);
FTBRIDGE_METHOD(GetSettings);

#undef FTBRIDGE_METHOD
