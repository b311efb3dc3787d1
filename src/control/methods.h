// The control service's XML-RPC methods, one class each, over the shared state: the eight
// that steer the stream, then three that only read it back.
#pragma once

#include <xmlrpc-c/registry.hpp>

class SensorState;

#define FTBRIDGE_METHOD(Class, signature)                                                  \
    class Class : public xmlrpc_c::method {                                                \
      public:                                                                              \
        explicit Class(SensorState* state) : state(state) { _signature = signature; }      \
        void execute(const xmlrpc_c::paramList& params, xmlrpc_c::value* result) override; \
                                                                                           \
      private:                                                                             \
        SensorState* state;                                                                \
    }

FTBRIDGE_METHOD(GetTitle, "s:");
FTBRIDGE_METHOD(SetTitle, "s:s");
FTBRIDGE_METHOD(SetBias, "i:dddddd");
FTBRIDGE_METHOD(SetOutput, "i:dddddd");
FTBRIDGE_METHOD(GetSampleFreq, "d:");
FTBRIDGE_METHOD(ConfigureSensor, "i:d");
FTBRIDGE_METHOD(EnableFilter, "i:bi");
FTBRIDGE_METHOD(GetIsRunning, "b:");
FTBRIDGE_METHOD(GetStatistics, "S:");
FTBRIDGE_METHOD(GetWrench, "A:");
FTBRIDGE_METHOD(GetSettings, "S:");

#undef FTBRIDGE_METHOD
