// What the daemon tells its service manager and its scrapers: when the watchdog is fed,
// the status line, and the metrics page and the requests it refuses.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "control/metrics.h"
#include "driver/sensor_state.h"
#include "driver/service_notify.h"

namespace {
constexpr int64_t s = 1000000000;

NotifyView view(ServicePhase phase, int64_t phase_ns, uint64_t passes = 0) {
    NotifyView v;
    v.phase = phase;
    v.phase_ns = phase_ns;
    v.passes = passes;
    return v;
}
}  // namespace

TEST(ServiceNotify, WatchdogFedOnlyWhileProgressing) {
    NotifyView configuring = view(ServicePhase::streaming, 0, 2);
    configuring.configuring = true;
    configuring.configuring_ns = 2 * s;
    NotifyView stuck_configuring = configuring;
    stuck_configuring.configuring_ns = 6 * s;
    struct Row {
        NotifyView now;
        uint64_t last_passes;
        bool alive;
    } rows[] = {
        {view(ServicePhase::scanning, 1 * s), 0, true},
        {view(ServicePhase::scanning, 6 * s), 0, false},
        {view(ServicePhase::probing, 5 * s), 0, true},  // the probe's own 5 s end comes first
        {view(ServicePhase::probing, 8 * s), 0, false},
        {view(ServicePhase::connecting, 60 * s), 0, true},
        {view(ServicePhase::connecting, 91 * s), 0, false},
        {view(ServicePhase::streaming, 0, 5), 4, true},
        {view(ServicePhase::streaming, 0, 5), 5, false},  // no pass since the last tick
        {configuring, 1, true},
        {stuck_configuring, 1, false},
    };
    for (const Row& r : rows) {
        NotifyView last = r.now;
        last.passes = r.last_passes;
        EXPECT_EQ(notify_alive(r.now, last), r.alive)
            << int(r.now.phase) << " " << r.now.phase_ns << " " << r.now.configuring_ns;
    }
}

TEST(ServiceNotify, StatusSaysWhatTheStreamDoes) {
    NotifyView last = view(ServicePhase::streaming, 0);
    NotifyView now = last;
    now.running = true;
    now.sample_freq_hz = 999.6;
    EXPECT_EQ(notify_status(now, last), "Streaming at 1000 Hz");
    now.skipped = 3;
    EXPECT_EQ(notify_status(now, last), "Skipping packages: the controller takes none now");
    now.configuring = true;
    EXPECT_EQ(notify_status(now, last), "Configuring the sensor");
    NotifyView probing = view(ServicePhase::probing, 0);
    probing.port = "/dev/ttyUSB7";
    EXPECT_EQ(notify_status(probing, probing), "Probing /dev/ttyUSB7 for the sensor");
}

TEST(Metrics, PageCarriesTheGettersValues) {
    SensorState state;
    std::string text = metrics_text(state, state.started_ns + 2 * s);
    EXPECT_EQ(text.find("ftbridge_last_package_age_seconds"), std::string::npos);  // none yet
    EXPECT_NE(text.find("\nftbridge_uptime_seconds 2\n"), std::string::npos);
    state.stats.packages.store(41);
    state.stats.last_package_ns.store(state.started_ns + s / 2);
    state.set_sample_freq(NAN);
    text = metrics_text(state, state.started_ns + 2 * s);
    EXPECT_NE(text.find("# TYPE ftbridge_packages_total counter\nftbridge_packages_total 41\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nftbridge_last_package_age_seconds 1.5\n"), std::string::npos);
    EXPECT_NE(text.find("\nftbridge_sample_frequency_hertz NaN\n"), std::string::npos);
}

TEST(Metrics, RefusedRequests) {
    struct Row {
        TMethod method;
        const char* query;
        const char* length;
        const char* encoding;
        int status;
    } rows[] = {
        {m_get, nullptr, nullptr, nullptr, 0},    {m_get, nullptr, "0", nullptr, 0},
        {m_post, nullptr, nullptr, nullptr, 405}, {m_head, nullptr, nullptr, nullptr, 405},
        {m_get, "", nullptr, nullptr, 400},       {m_get, "a=1", nullptr, nullptr, 400},
        {m_get, nullptr, "5", nullptr, 400},      {m_get, nullptr, nullptr, "chunked", 400},
    };
    for (const Row& r : rows)
        EXPECT_EQ(metrics_request_status(r.method, r.query, r.length, r.encoding), r.status)
            << int(r.method) << " " << (r.query ? r.query : "-") << " "
            << (r.length ? r.length : "-");
}
