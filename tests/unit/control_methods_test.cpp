// The control service's methods, called in process: through their objects with parameter
// lists, and through the registry with XML, as the server would. No server runs.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <map>
#include <regex>
#include <string>
#include <vector>
#include <xmlrpc-c/base.hpp>

#include "control/abyss_server.h"
#include "control/methods.h"
#include "driver/diagnostics.h"
#include "driver/sensor_state.h"
#include "pty_pair.h"

using namespace std::chrono_literals;

namespace {

xmlrpc_c::value call(xmlrpc_c::method& method, const xmlrpc_c::paramList& params) {
    xmlrpc_c::value result;
    method.execute(params, &result);
    return result;
}

xmlrpc_c::paramList doubles(std::vector<double> values) {
    xmlrpc_c::paramList params;
    for (double v : values) params.add(xmlrpc_c::value_double(v));
    return params;
}

// Everything the methods may change, to check that a refused call changed nothing.
struct Snapshot {
    bool bias_active, output_active, output_pending, configuring, filter_enabled;
    int32_t filter_type;
    double bias[6], desired_output[6], cutoff_hz;
    std::string title;

    explicit Snapshot(const SensorState& s)
        : bias_active(s.bias_active),
          output_active(s.output_active),
          output_pending(s.output_pending),
          configuring(s.configuring),
          filter_enabled(s.filter_enabled),
          filter_type(s.filter_type),
          cutoff_hz(s.cutoff_hz),
          title(s.get_title()) {
        for (int k = 0; k < 6; ++k) {
            bias[k] = s.bias[k];
            desired_output[k] = s.desired_output[k];
        }
    }
    bool operator==(const Snapshot& o) const {
        for (int k = 0; k < 6; ++k)
            if (bias[k] != o.bias[k] || desired_output[k] != o.desired_output[k])
                return false;
        return bias_active == o.bias_active && output_active == o.output_active &&
               output_pending == o.output_pending && configuring == o.configuring &&
               filter_enabled == o.filter_enabled && filter_type == o.filter_type &&
               cutoff_hz == o.cutoff_hz && title == o.title;
    }
};

// A state with every field away from its default, so that any change shows.
void populate(SensorState& s) {
    const double b[6] = {1, 2, 3, 4, 5, 6};
    const double o[6] = {7, 8, 9, 10, 11, 12};
    s.set_output(o);
    s.set_bias(b);
    s.enable_filter(false, 3);
    s.set_title("before");
}

void expect_refused(SensorState& state, xmlrpc_c::method& method, const xmlrpc_c::paramList& params,
                    const char* what) {
    SCOPED_TRACE(what);
    Snapshot before(state);
    EXPECT_THROW(call(method, params), xmlrpc_c::fault);
    EXPECT_TRUE(Snapshot(state) == before);
}

// The registry as the server uses it: an XML call in, an XML response out.
std::string process(const AbyssServer& server, const std::string& name,
                    const std::string& params_xml = "") {
    std::string call_xml = "<?xml version=\"1.0\"?><methodCall><methodName>" + name +
                           "</methodName><params>" + params_xml + "</params></methodCall>";
    std::string response;
    server.registry.processCall(call_xml, &response);
    return response;
}

std::vector<std::string> strings_in(const std::string& xml) {
    std::vector<std::string> found;
    std::regex string_value("<string>([^<]*)</string>");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), string_value);
         it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1]);
    return found;
}

bool is_fault(const std::string& xml) {
    return xml.find("<fault>") != std::string::npos;
}

std::string param(const std::string& type, const std::string& text) {
    return "<param><value><" + type + ">" + text + "</" + type + "></value></param>";
}

}  // namespace

TEST(ControlMethods, Registry) {
    SensorState state;
    AbyssServer server(&state);
    EXPECT_EQ(server.state, &state);

    std::vector<std::string> names = strings_in(process(server, "system.listMethods"));
    std::vector<std::string> ours;
    for (const std::string& n : names)
        if (n.rfind("system.", 0) != 0)
            ours.push_back(n);
    EXPECT_EQ(ours, (std::vector<std::string>{"get_title", "set_title", "set_bias", "set_output",
                                              "get_sample_freq", "configure_sensor",
                                              "enable_filter", "is_running", "get_statistics",
                                              "get_wrench", "get_settings"}));

    const std::pair<const char*, std::vector<std::string>> signatures[] = {
        {"get_title", {"string"}},
        {"set_title", {"string", "string"}},
        {"set_bias", {"int", "double", "double", "double", "double", "double", "double"}},
        {"set_output", {"int", "double", "double", "double", "double", "double", "double"}},
        {"get_sample_freq", {"double"}},
        {"configure_sensor", {"int", "double"}},
        {"enable_filter", {"int", "boolean", "int"}},
        {"is_running", {"boolean"}},
        {"get_statistics", {"struct"}},
        {"get_wrench", {"array"}},
        {"get_settings", {"struct"}},
    };
    for (const auto& [name, types] : signatures) {
        std::string response = process(server, "system.methodSignature", param("string", name));
        EXPECT_FALSE(is_fault(response)) << name << ": " << response;
        EXPECT_EQ(strings_in(response), types) << name;
    }

    EXPECT_TRUE(is_fault(process(server, "no_such_method")));
}

TEST(ControlMethods, Title) {
    SensorState state;
    GetTitle get(&state);
    SetTitle set(&state);

    xmlrpc_c::value r = call(get, xmlrpc_c::paramList());
    ASSERT_EQ(r.type(), xmlrpc_c::value::TYPE_STRING);
    EXPECT_EQ(std::string(xmlrpc_c::value_string(r)), "No title set (C++)");

    xmlrpc_c::value r1 = call(set, xmlrpc_c::paramList().add(xmlrpc_c::value_string("abc")));
    ASSERT_EQ(r1.type(), xmlrpc_c::value::TYPE_STRING);
    EXPECT_EQ(std::string(xmlrpc_c::value_string(r1)), "abc");  // as received, no suffix
    EXPECT_EQ(std::string(xmlrpc_c::value_string(call(get, xmlrpc_c::paramList()))), "abc (C++)");

    xmlrpc_c::value r2 = call(set, xmlrpc_c::paramList().add(xmlrpc_c::value_string("")));
    EXPECT_EQ(std::string(xmlrpc_c::value_string(r2)), "");
    EXPECT_EQ(std::string(xmlrpc_c::value_string(call(get, xmlrpc_c::paramList()))),
              "No title set (C++)");

    populate(state);
    expect_refused(state, set, xmlrpc_c::paramList(), "set_title without text");
    expect_refused(state, set, xmlrpc_c::paramList().add(xmlrpc_c::value_int(5)),
                   "set_title with an int");
    expect_refused(
        state, set,
        xmlrpc_c::paramList().add(xmlrpc_c::value_string("x")).add(xmlrpc_c::value_string("y")),
        "set_title with two strings");
    expect_refused(state, get, xmlrpc_c::paramList().add(xmlrpc_c::value_string("x")),
                   "get_title with a parameter");
}

TEST(ControlMethods, BiasAndOutput) {
    SensorState state;
    SetBias set_bias(&state);
    SetOutput set_output(&state);

    xmlrpc_c::value r = call(set_bias, doubles({1.5, -2, 3, -4, 5, -6}));
    ASSERT_EQ(r.type(), xmlrpc_c::value::TYPE_INT);
    EXPECT_EQ(int(xmlrpc_c::value_int(r)), 0);
    EXPECT_TRUE(state.bias_active.load());
    EXPECT_FALSE(state.output_active.load());
    const double bias[6] = {1.5, -2, 3, -4, 5, -6};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(state.bias[k].load(), bias[k]);

    xmlrpc_c::value r3 = call(set_output, doubles({10, 20, 30, 40, 50, -DBL_MAX}));
    ASSERT_EQ(r3.type(), xmlrpc_c::value::TYPE_INT);
    EXPECT_EQ(int(xmlrpc_c::value_int(r3)), 0);
    EXPECT_FALSE(state.bias_active.load());
    EXPECT_TRUE(state.output_active.load());
    EXPECT_TRUE(state.output_pending.load());
    EXPECT_EQ(state.desired_output[0].load(), 10.0);
    EXPECT_EQ(state.desired_output[5].load(), -DBL_MAX);

    for (xmlrpc_c::method* m :
         {static_cast<xmlrpc_c::method*>(&set_bias), static_cast<xmlrpc_c::method*>(&set_output)}) {
        populate(state);
        expect_refused(state, *m, doubles({1, 2, 3, 4, 5}), "five doubles");
        expect_refused(state, *m, doubles({1, 2, 3, 4, 5, 6, 7}), "seven doubles");
        expect_refused(state, *m, xmlrpc_c::paramList(), "no parameter");
        for (int bad = 0; bad < 6; ++bad) {
            xmlrpc_c::paramList with_nan, with_string, with_int, with_inf;
            for (int i = 0; i < 6; ++i) {
                bool here = i == bad;
                with_nan.add(xmlrpc_c::value_double(here ? NAN : 1.0));
                with_inf.add(xmlrpc_c::value_double(here ? -INFINITY : 1.0));
                if (here) {
                    with_string.add(xmlrpc_c::value_string("1.0"));
                    with_int.add(xmlrpc_c::value_int(1));
                } else {
                    with_string.add(xmlrpc_c::value_double(1.0));
                    with_int.add(xmlrpc_c::value_double(1.0));
                }
            }
            SCOPED_TRACE(testing::Message() << "parameter " << bad);
            expect_refused(state, *m, with_nan, "NaN");
            expect_refused(state, *m, with_inf, "infinity");
            expect_refused(state, *m, with_string, "string");
            expect_refused(state, *m, with_int, "int");
        }
    }
}

TEST(ControlMethods, NanThroughTheRegistryIsRefused) {
    SensorState state;
    AbyssServer server(&state);
    populate(state);
    Snapshot before(state);
    std::string six;
    for (int i = 0; i < 6; ++i) six += param("double", i == 2 ? "nan" : "1.0");
    EXPECT_TRUE(is_fault(process(server, "set_bias", six)));
    EXPECT_TRUE(is_fault(process(server, "set_output", six)));
    EXPECT_TRUE(is_fault(process(server, "configure_sensor", param("double", "nan"))));
    EXPECT_TRUE(Snapshot(state) == before);

    std::string response =
        process(server, "set_bias",
                param("double", "1") + param("double", "2") + param("double", "3") +
                    param("double", "4") + param("double", "5") + param("double", "6"));
    EXPECT_FALSE(is_fault(response)) << response;
    EXPECT_EQ(state.bias[5].load(), 6.0);
}

// The library formats an infinite double by recursing until the stack overflows, and sends
// NaN as 0: every reader answers a fault that names the value instead. The largest finite
// values go out as they are.
TEST(ControlMethods, NonFiniteReadingsAreFaults) {
    const double max = 1.7976931348623157e308;
    const struct {
        const char* method;
        double value;
        const char* fault;  // nullptr: answered
    } rows[] = {
        {"get_wrench", -INFINITY, "wrench[3] is not finite"},
        {"get_wrench", NAN, "wrench[3] is not finite"},
        {"get_wrench", -max, nullptr},
        {"get_wrench", 5e-324, nullptr},
        {"get_sample_freq", INFINITY, "sample_freq_hz is not finite"},
        {"get_sample_freq", max, nullptr},
        {"get_settings", INFINITY, "bias[3] is not finite"},
        {"get_settings", -max, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.method << " with " << row.value);
        SensorState state;
        AbyssServer server(&state);
        state.stats.last_wrench[3] = row.value;
        state.sample_freq_hz = row.value;
        state.bias[3] = row.value;
        std::string response = process(server, row.method);
        if (row.fault) {
            EXPECT_TRUE(is_fault(response)) << response;
            EXPECT_NE(response.find(row.fault), std::string::npos) << response;
        } else {
            EXPECT_FALSE(is_fault(response)) << response;
        }
    }
}

TEST(ControlMethods, EnableFilter) {
    SensorState state;
    EnableFilter method(&state);
    auto params = [](bool enable, int type) {
        return xmlrpc_c::paramList()
            .add(xmlrpc_c::value_boolean(enable))
            .add(xmlrpc_c::value_int(type));
    };

    xmlrpc_c::value r = call(method, params(true, 3));
    ASSERT_EQ(r.type(), xmlrpc_c::value::TYPE_INT);
    EXPECT_EQ(int(xmlrpc_c::value_int(r)), 0);
    EXPECT_TRUE(state.filter_enabled.load());
    EXPECT_EQ(state.filter_type.load(), 3);

    xmlrpc_c::value r4 = call(method, params(false, 9));
    EXPECT_EQ(int(xmlrpc_c::value_int(r4)), 1);  // not a fault
    EXPECT_FALSE(state.filter_enabled.load());
    EXPECT_EQ(state.filter_type.load(), 9);

    EXPECT_EQ(int(xmlrpc_c::value_int(call(method, params(true, INT32_MIN)))), 1);
    EXPECT_EQ(state.filter_type.load(), INT32_MIN);

    populate(state);
    expect_refused(
        state, method,
        xmlrpc_c::paramList().add(xmlrpc_c::value_int(3)).add(xmlrpc_c::value_boolean(true)),
        "int first");
    expect_refused(state, method, xmlrpc_c::paramList().add(xmlrpc_c::value_boolean(true)),
                   "type missing");
    expect_refused(
        state, method,
        xmlrpc_c::paramList().add(xmlrpc_c::value_boolean(true)).add(xmlrpc_c::value_double(2.0)),
        "double type");
    expect_refused(state, method, params(true, 2).add(xmlrpc_c::value_int(0)), "extra");
}

TEST(ControlMethods, Readers) {
    SensorState state;
    GetSampleFreq freq(&state);
    GetIsRunning running(&state);

    xmlrpc_c::value r = call(freq, xmlrpc_c::paramList());
    ASSERT_EQ(r.type(), xmlrpc_c::value::TYPE_DOUBLE);
    EXPECT_EQ(double(xmlrpc_c::value_double(r)), 0.0);
    state.set_sample_freq(999.25);
    EXPECT_EQ(double(xmlrpc_c::value_double(call(freq, xmlrpc_c::paramList()))), 999.25);

    xmlrpc_c::value r5 = call(running, xmlrpc_c::paramList());
    ASSERT_EQ(r5.type(), xmlrpc_c::value::TYPE_BOOLEAN);
    EXPECT_FALSE(bool(xmlrpc_c::value_boolean(r5)));
    state.running = true;
    EXPECT_TRUE(bool(xmlrpc_c::value_boolean(call(running, xmlrpc_c::paramList()))));

    populate(state);
    expect_refused(state, freq, xmlrpc_c::paramList().add(xmlrpc_c::value_int(1)), "freq + 1");
    expect_refused(state, running, xmlrpc_c::paramList().add(xmlrpc_c::value_boolean(true)),
                   "running + 1");
}

TEST(ControlMethods, ConfigureSensor) {
    SensorState state;
    ConfigureSensor method(&state);
    {
        SCOPED_TRACE("before the streaming port is open");
        auto start = std::chrono::steady_clock::now();
        xmlrpc_c::value r = call(method, doubles({100.0}));
        ASSERT_EQ(r.type(), xmlrpc_c::value::TYPE_INT);
        EXPECT_EQ(int(xmlrpc_c::value_int(r)), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }

    testutil::PtyPair pty;
    state.serial_fd = pty.slave;
    populate(state);
    expect_refused(state, method, xmlrpc_c::paramList(), "no rate");
    expect_refused(state, method, doubles({100.0, 1.0}), "two rates");
    expect_refused(state, method, xmlrpc_c::paramList().add(xmlrpc_c::value_int(100)), "int rate");
    expect_refused(state, method, doubles({NAN}), "NaN rate");
    EXPECT_TRUE(testutil::read_master(pty.master, 1, 50ms).empty()) << "a refused call sent bytes";

    testing::internal::CaptureStdout();
    xmlrpc_c::value r = call(method, doubles({250.0}));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(r.type(), xmlrpc_c::value::TYPE_INT);
    EXPECT_EQ(int(xmlrpc_c::value_int(r)), 0);
    std::string sent;
    for (const auto& b : testutil::read_master(pty.master, 100, 100ms))
        sent.push_back(char(b.value));
    EXPECT_EQ(sent, "Cf,190,0,0,1\ns#R");  // filter off after populate()
}

namespace {
xmlrpc_c::value member(const xmlrpc_c::value& st, const std::string& name) {
    std::map<std::string, xmlrpc_c::value> m = xmlrpc_c::value_struct(st);
    auto it = m.find(name);
    EXPECT_NE(it, m.end()) << name;
    return it == m.end() ? xmlrpc_c::value_nil() : it->second;
}

std::vector<double> six(const xmlrpc_c::value& v) {
    std::vector<double> out;
    for (const xmlrpc_c::value& item : xmlrpc_c::value_array(v).vectorValueValue())
        out.push_back(xmlrpc_c::value_double(item));
    return out;
}
}  // namespace

// The three readers, from a state filled by hand: every member, its XML-RPC type, and the
// values before the stream has sent anything.
TEST(ControlMethods, StatisticsWrenchAndSettings) {
    SensorState state;
    GetStatistics statistics(&state);
    GetWrench wrench(&state);
    GetSettings settings(&state);

    xmlrpc_c::value st = call(statistics, xmlrpc_c::paramList());
    ASSERT_EQ(st.type(), xmlrpc_c::value::TYPE_STRUCT);
    EXPECT_EQ(xmlrpc_c::value_struct(st).cvalue().size(), 13u);
    EXPECT_EQ(double(xmlrpc_c::value_double(member(st, "seconds_since_package"))), -1.0);
    EXPECT_EQ(six(call(wrench, xmlrpc_c::paramList())), std::vector<double>(6, 0.0));
    xmlrpc_c::value se = call(settings, xmlrpc_c::paramList());
    EXPECT_EQ(std::string(xmlrpc_c::value_string(member(se, "port"))), "");

    // Counters above 2^32 must survive: an int would wrap.
    const uint64_t big = (uint64_t(1) << 40) + 3;
    SensorState::Statistics& s = state.stats;
    std::atomic<uint64_t>* counters[] = {&s.frames,        &s.packages,         &s.crc_errors,
                                         &s.lost_sync,     &s.synchronisations, &s.non_finite,
                                         &s.read_failures, &s.reconfigurations, &s.skipped_packages,
                                         &lines_dropped,   &lines_left_out};
    const char* names[] = {"frames",           "packages",      "crc_errors",    "lost_sync",
                           "synchronisations", "non_finite",    "read_failures", "reconfigurations",
                           "skipped_packages", "lines_dropped", "lines_left_out"};
    const uint64_t saved[] = {lines_dropped.load(), lines_left_out.load()};
    for (int k = 0; k < 11; ++k) counters[k]->store(big + k);
    const double last[6] = {1.5, -2.25, 30.0, 0.5, -0.75, 1e300};
    for (int k = 0; k < 6; ++k) s.last_wrench[k].store(last[k]);
    s.last_package_ns.store(monotonic_ns() - 2000000000);  // two seconds ago

    xmlrpc_c::value filled = call(statistics, xmlrpc_c::paramList());
    for (int k = 0; k < 11; ++k) {
        xmlrpc_c::value v = member(filled, names[k]);
        ASSERT_EQ(v.type(), xmlrpc_c::value::TYPE_I8) << names[k];
        EXPECT_EQ(uint64_t(xmlrpc_c::value_i8(v).cvalue()), big + k) << names[k];
    }
    lines_dropped.store(saved[0]);  // process-wide: other tests count on from there
    lines_left_out.store(saved[1]);
    double since = xmlrpc_c::value_double(member(filled, "seconds_since_package"));
    EXPECT_GE(since, 1.9);
    EXPECT_LT(since, 3.0);
    double uptime = xmlrpc_c::value_double(member(filled, "uptime_s"));
    EXPECT_GE(uptime, 0.0);
    EXPECT_LT(uptime, 60.0);
    EXPECT_EQ(six(call(wrench, xmlrpc_c::paramList())), std::vector<double>(last, last + 6));

    const double bias[6] = {1, 2, 3, 4, 5, 6};
    const double desired[6] = {-1, -2, -3, -4, -5, -6.5};
    state.set_bias(bias);
    state.set_output(desired);
    state.enable_filter(false, 9);  // the type is kept although the cut-off is not changed
    state.configuring = true;
    const uint8_t recipe_id = 7;
    state.set_recipe(&recipe_id);
    state.set_port("/dev/ttyUSB3");
    xmlrpc_c::value set = call(settings, xmlrpc_c::paramList());
    ASSERT_EQ(set.type(), xmlrpc_c::value::TYPE_STRUCT);
    EXPECT_EQ(xmlrpc_c::value_struct(set).cvalue().size(), 10u);
    EXPECT_FALSE(bool(xmlrpc_c::value_boolean(member(set, "bias_active"))));
    EXPECT_TRUE(bool(xmlrpc_c::value_boolean(member(set, "output_active"))));
    EXPECT_FALSE(bool(xmlrpc_c::value_boolean(member(set, "filter_enabled"))));
    EXPECT_TRUE(bool(xmlrpc_c::value_boolean(member(set, "configuring"))));
    EXPECT_EQ(int(xmlrpc_c::value_int(member(set, "filter_type"))), 9);
    EXPECT_EQ(double(xmlrpc_c::value_double(member(set, "cutoff_hz"))), 50.0);
    EXPECT_EQ(six(member(set, "bias")), std::vector<double>(bias, bias + 6));
    EXPECT_EQ(six(member(set, "desired_output")), std::vector<double>(desired, desired + 6));
    EXPECT_EQ(std::string(xmlrpc_c::value_string(member(set, "port"))), "/dev/ttyUSB3");
    EXPECT_EQ(int(xmlrpc_c::value_int(member(set, "recipe_id"))), 7);

    for (xmlrpc_c::method* m :
         {static_cast<xmlrpc_c::method*>(&statistics), static_cast<xmlrpc_c::method*>(&wrench),
          static_cast<xmlrpc_c::method*>(&settings)})
        expect_refused(state, *m, xmlrpc_c::paramList().add(xmlrpc_c::value_int(1)), "a parameter");
}
